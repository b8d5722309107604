// NSXMLElement: as much of an XML element as a small document of text-only elements needs
// (no attributes, namespaces or parsing).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ns {

// Output option values; none changes the output here.
inline constexpr unsigned long NSXMLNodeOptionsNone = 0;
inline constexpr unsigned long NSXMLDocumentTidyXML = 1 << 10;

class NSXMLElement {
  public:
    explicit NSXMLElement(std::string name, std::string stringValue = {});
    static std::shared_ptr<NSXMLElement> elementWithName(std::string name, std::string stringValue = {});

    const std::string& name() const { return m_name; }
    const std::string& stringValue() const { return m_text; }
    void setStringValue(std::string text) { m_text = std::move(text); }
    void addChild(std::shared_ptr<NSXMLElement> child);
    const std::vector<std::shared_ptr<NSXMLElement>>& children() const { return m_children; }

    // <name>escaped text, then the children</name>, unindented.
    std::string XMLString() const;

  private:
    void append(std::string& out, int depth) const;

    std::string m_name;
    std::string m_text;
    std::vector<std::shared_ptr<NSXMLElement>> m_children;
};

} // namespace ns
