#include "platform/foundation/NSXMLDocument.h"

namespace ns {

NSXMLDocument::NSXMLDocument(std::shared_ptr<NSXMLElement> root) : m_root(std::move(root)) {}

std::shared_ptr<NSXMLDocument> NSXMLDocument::documentWithRootElement(std::shared_ptr<NSXMLElement> root) {
    return std::make_shared<NSXMLDocument>(std::move(root));
}

std::string NSXMLDocument::XMLString() const {
    std::string out = "<?xml version=\"" + m_version + "\"";
    if (m_encoding) out += " encoding=\"" + *m_encoding + "\"";
    if (m_standalone) out += *m_standalone ? " standalone=\"yes\"" : " standalone=\"no\"";
    out += "?>";
    if (m_root) out += m_root->XMLString();
    return out;
}

std::vector<uint8_t> NSXMLDocument::XMLDataWithOptions(unsigned long) const {
    std::string text = XMLString();
    return std::vector<uint8_t>(text.begin(), text.end());
}

} // namespace ns
