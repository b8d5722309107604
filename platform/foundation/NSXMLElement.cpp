#include "platform/foundation/NSXMLElement.h"

#include "platform/core/Log.h"

namespace ns {

namespace {

// Deeper trees than this are not documents this facade is for; the guard keeps a cycle made
// by addChild from recursing for ever.
constexpr int kMaxDepth = 64;

void appendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
}

} // namespace

NSXMLElement::NSXMLElement(std::string name, std::string stringValue)
    : m_name(std::move(name)), m_text(std::move(stringValue)) {}

std::shared_ptr<NSXMLElement> NSXMLElement::elementWithName(std::string name, std::string stringValue) {
    return std::make_shared<NSXMLElement>(std::move(name), std::move(stringValue));
}

void NSXMLElement::addChild(std::shared_ptr<NSXMLElement> child) {
    if (child && child.get() != this) m_children.push_back(std::move(child));
}

void NSXMLElement::append(std::string& out, int depth) const {
    if (depth > kMaxDepth) {
        platform::log("NSXMLElement: elements nested deeper than %d are left out", kMaxDepth);
        return;
    }
    out += '<';
    out += m_name;
    out += '>';
    appendEscaped(out, m_text);
    for (const auto& child : m_children)
        child->append(out, depth + 1);
    out += "</";
    out += m_name;
    out += '>';
}

std::string NSXMLElement::XMLString() const {
    std::string out;
    append(out, 0);
    return out;
}

} // namespace ns
