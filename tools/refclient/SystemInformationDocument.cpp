#include "tools/refclient/SystemInformationDocument.h"

namespace refclient {

namespace {

class Cursor {
public:
    explicit Cursor(std::string_view text) : m_text(text) {}
    void skipSpace() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r' ||
                                         m_text[m_pos] == '\t'))
            ++m_pos;
    }
    bool take(std::string_view s) {
        if (m_text.substr(m_pos, s.size()) != s) return false;
        m_pos += s.size();
        return true;
    }
    bool skipPast(std::string_view s) {
        size_t at = m_text.find(s, m_pos);
        if (at == std::string_view::npos) return false;
        m_pos = at + s.size();
        return true;
    }
    bool peek(std::string_view s) const { return m_text.substr(m_pos, s.size()) == s; }
    bool atEnd() const { return m_pos == m_text.size(); }
    // Text up to the next '<', which must exist.
    bool text() {
        size_t lt = m_text.find('<', m_pos);
        if (lt == std::string_view::npos) return false;
        m_pos = lt;
        return true;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

// One text-only element: <name>text</name> or <name/>.
bool element(Cursor& c, std::string_view name) {
    c.skipSpace();
    std::string open = "<" + std::string(name);
    if (!c.take(open)) return false;
    if (c.take("/>")) return true;
    if (!c.take(">")) return false;
    return c.text() && c.take("</" + std::string(name) + ">");
}

} // namespace

bool isSystemInformationDocument(std::string_view doc, std::string& why) {
    Cursor c(doc);
    c.skipSpace();
    if (!c.take("<?xml") || !c.skipPast("?>")) {
        why = "no XML declaration";
        return false;
    }
    c.skipSpace();
    if (!c.take("<si>")) {
        why = "root is not si";
        return false;
    }
    for (const char* name : {"os", "release", "revision", "clock", "cpus", "memory"}) {
        if (!element(c, name)) {
            why = std::string("missing or malformed ") + name;
            return false;
        }
    }
    for (;;) {
        c.skipSpace();
        if (!c.peek("<chipset")) break;
        if (!element(c, "chipset")) {
            why = "malformed chipset";
            return false;
        }
    }
    c.skipSpace();
    if (!c.take("</si>")) {
        why = "si is not closed";
        return false;
    }
    c.skipSpace();
    if (!c.atEnd()) {
        why = "bytes after the root element";
        return false;
    }
    return true;
}

} // namespace refclient
