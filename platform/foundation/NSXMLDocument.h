// NSXMLDocument: a declaration and one root element, written as UTF-8 data.
#pragma once

#include "platform/foundation/NSXMLElement.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ns {

class NSXMLDocument {
  public:
    explicit NSXMLDocument(std::shared_ptr<NSXMLElement> root);
    static std::shared_ptr<NSXMLDocument> documentWithRootElement(std::shared_ptr<NSXMLElement> root);

    const std::shared_ptr<NSXMLElement>& rootElement() const { return m_root; }
    void setVersion(std::string version) { m_version = std::move(version); }
    void setCharacterEncoding(std::string encoding) { m_encoding = std::move(encoding); }
    void setStandalone(bool standalone) { m_standalone = standalone; }

    // <?xml version=".." encoding=".." standalone="yes|no"?> then the root element, as UTF-8.
    // Encoding and standalone appear only when set; the version defaults to "1.0".
    std::vector<uint8_t> XMLDataWithOptions(unsigned long options) const;
    std::string XMLString() const;

  private:
    std::shared_ptr<NSXMLElement> m_root;
    std::string m_version = "1.0";
    std::optional<std::string> m_encoding;
    std::optional<bool> m_standalone;
};

} // namespace ns
