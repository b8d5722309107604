#include "platform/corefoundation/PlistBounds.h"

#include "platform/corefoundation/PropertyList.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace cf::detail {

namespace {

// Position after the first `terminator` at or after `from`; npos when there is none.
size_t skipPast(std::string_view text, size_t from, std::string_view terminator) {
    size_t at = text.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
}

bool isContainerTag(std::string_view name) { return name == "array" || name == "dict"; }

// A numeric character reference to U+0000 ("&#0;", "&#x00;"): libplist would build a text
// with a NUL inside, which its own accessors refuse by aborting.
bool isNulReference(std::string_view text) {
    size_t i = 2;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] == '0') ++i, ++digits;
    return digits > 0 && i < text.size() && text[i] == ';';
}

} // namespace

bool xmlWithinBounds(std::string_view xml) {
    if (xml.find('\0') != std::string_view::npos) return false;
    for (size_t at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2))
        if (isNulReference(xml.substr(at, 16))) return false;
    int depth = 0;
    size_t i = 0;
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        std::string_view rest = xml.substr(i);
        if (rest.starts_with("<!--")) i = skipPast(xml, i + 4, "-->");
        else if (rest.starts_with("<![CDATA[")) i = skipPast(xml, i + 9, "]]>");
        else if (rest.starts_with("<?")) i = skipPast(xml, i + 2, "?>");
        else if (rest.starts_with("<!")) i = skipPast(xml, i + 2, ">");
        else {
            size_t end = xml.find('>', i);
            if (end == std::string_view::npos) return true; // unterminated: libplist refuses it
            std::string_view tag = xml.substr(i + 1, end - i - 1);
            bool closing = tag.starts_with("/");
            if (closing) tag.remove_prefix(1);
            bool selfClosing = tag.ends_with("/");
            size_t nameEnd = tag.find_first_of(" \t\r\n/");
            std::string_view name = tag.substr(0, nameEnd);
            if (isContainerTag(name) && !selfClosing) {
                depth += closing ? -1 : 1;
                if (depth > kMaxPropertyListDepth) return false;
            }
            i = end + 1;
        }
        if (i == std::string_view::npos) return true;
    }
    return true;
}

namespace {

// The binary format: "bplist00", objects, an offset table, and a 32-byte trailer.
class BinaryScanner {
public:
    explicit BinaryScanner(std::string_view bytes) : m_bytes(bytes) {}

    bool scan() {
        if (!readTrailer() || !stringsHaveNoNul()) return false;
        if (!isContainer(m_root)) return objectAt(m_root).has_value();
        return walkFrom(m_root);
    }

private:
    struct Container {
        uint64_t refCount = 0; // keys and values for a dict
        uint64_t refsAt = 0;
    };
    struct Frame {
        uint64_t object = 0;
        Container container;
        uint64_t next = 0;
        uint32_t deepestChild = 0;
        uint64_t nodes = 1;
    };
    enum : uint8_t { kUnseen = 0, kOnPath = 1, kDone = 2 };

    uint64_t readBE(uint64_t at, unsigned size) const {
        uint64_t v = 0;
        for (unsigned k = 0; k < size; ++k) v = (v << 8) | static_cast<uint8_t>(m_bytes[at + k]);
        return v;
    }

    bool readTrailer() {
        if (m_bytes.size() < 8 + 32 || std::memcmp(m_bytes.data(), "bplist00", 8) != 0) return false;
        uint64_t t = m_bytes.size() - 32;
        m_offsetSize = static_cast<uint8_t>(m_bytes[t + 6]);
        m_refSize = static_cast<uint8_t>(m_bytes[t + 7]);
        m_count = readBE(t + 8, 8);
        m_root = readBE(t + 16, 8);
        m_tableAt = readBE(t + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8) return false;
        // More objects than the expansion limit could ever use is refused outright; it also bounds
        // the scanner's own tables.
        if (m_count == 0 || m_count > kMaxPropertyListNodes || m_root >= m_count) return false;
        if (m_tableAt < 8 || m_tableAt > t || (t - m_tableAt) / m_offsetSize < m_count) return false;
        m_state.assign(m_count, kUnseen);
        m_depth.assign(m_count, 0);
        m_nodes.assign(m_count, 0);
        return true;
    }

    // Offset of an object; nullopt when it lies outside the object area.
    std::optional<uint64_t> objectAt(uint64_t index) const {
        uint64_t offset = readBE(m_tableAt + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_tableAt) return std::nullopt;
        return offset;
    }

    bool isContainer(uint64_t index) const {
        auto at = objectAt(index);
        if (!at) return false;
        uint8_t type = static_cast<uint8_t>(m_bytes[*at]) >> 4;
        return type == 0xA || type == 0xB || type == 0xC || type == 0xD;
    }

    std::optional<Container> containerAt(uint64_t index) const {
        auto at = objectAt(index);
        if (!at) return std::nullopt;
        uint8_t marker = static_cast<uint8_t>(m_bytes[*at]);
        auto length = lengthAt(*at);
        if (!length) return std::nullopt;
        auto [count, refsAt] = *length;
        uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
        if (count > m_bytes.size() || (m_tableAt - refsAt) / m_refSize / refs < count) return std::nullopt;
        return Container{count * refs, refsAt};
    }

    // Every text object (ASCII 0x5n, UTF-16 0x6n) lies inside the object area and holds no NUL
    // unit: libplist keeps texts as C strings and aborts on one with a NUL inside.
    bool stringsHaveNoNul() const {
        for (uint64_t index = 0; index < m_count; ++index) {
            auto at = objectAt(index);
            if (!at) return false;
            uint8_t marker = static_cast<uint8_t>(m_bytes[*at]);
            uint8_t type = marker >> 4;
            if (type != 0x5 && type != 0x6) continue;
            auto length = lengthAt(*at);
            if (!length) return false;
            unsigned unit = type == 0x5 ? 1 : 2;
            if ((m_tableAt - length->second) / unit < length->first) return false;
            for (uint64_t k = 0; k < length->first; ++k)
                if (readBE(length->second + k * unit, unit) == 0) return false;
        }
        return true;
    }

    // An object's element count (low nibble, or an integer object after 0x_F) and where its
    // contents start.
    std::optional<std::pair<uint64_t, uint64_t>> lengthAt(uint64_t at) const {
        uint64_t count = static_cast<uint8_t>(m_bytes[at]) & 0x0f;
        uint64_t contentsAt = at + 1;
        if (count == 0x0f) {
            if (contentsAt >= m_tableAt) return std::nullopt;
            uint8_t intMarker = static_cast<uint8_t>(m_bytes[contentsAt]);
            unsigned size = 1u << (intMarker & 0x0f);
            if ((intMarker >> 4) != 0x1 || size > 8 || contentsAt + 1 + size > m_tableAt) return std::nullopt;
            count = readBE(contentsAt + 1, size);
            contentsAt += 1 + size;
        }
        return std::make_pair(count, contentsAt);
    }

    bool push(std::vector<Frame>& path, uint64_t object) {
        if (path.size() >= static_cast<size_t>(kMaxPropertyListDepth)) return false;
        auto container = containerAt(object);
        if (!container) return false;
        m_state[object] = kOnPath;
        path.push_back(Frame{object, *container});
        return true;
    }

    // Depth-first over containers with an explicit stack; finished objects remember their
    // depth and expanded size so shared ones are scanned once.
    bool walkFrom(uint64_t root) {
        std::vector<Frame> path;
        if (!push(path, root)) return false;
        while (!path.empty()) {
            Frame& top = path.back();
            if (top.next < top.container.refCount) {
                uint64_t child = readBE(top.container.refsAt + top.next * m_refSize, m_refSize);
                ++top.next;
                if (child >= m_count) return false;
                if (isContainer(child) && m_state[child] != kDone) {
                    // A cycle, or nested too deep. (push invalidates `top`.)
                    if (m_state[child] == kOnPath || !push(path, child)) return false;
                    continue;
                }
                if (!objectAt(child)) return false;
                top.nodes += m_state[child] == kDone ? m_nodes[child] : 1;
                if (m_state[child] == kDone) top.deepestChild = std::max(top.deepestChild, m_depth[child]);
                if (top.nodes > kMaxPropertyListNodes) return false;
                continue;
            }
            Frame done = top;
            path.pop_back();
            m_state[done.object] = kDone;
            m_depth[done.object] = done.deepestChild + 1;
            m_nodes[done.object] = done.nodes;
            if (m_depth[done.object] > static_cast<uint32_t>(kMaxPropertyListDepth)) return false;
            if (!path.empty()) {
                Frame& parent = path.back();
                parent.nodes += done.nodes;
                parent.deepestChild = std::max(parent.deepestChild, m_depth[done.object]);
                if (parent.nodes > kMaxPropertyListNodes) return false;
            }
        }
        return true;
    }

    std::string_view m_bytes;
    uint8_t m_offsetSize = 0;
    uint8_t m_refSize = 0;
    uint64_t m_count = 0;
    uint64_t m_root = 0;
    uint64_t m_tableAt = 0;
    std::vector<uint8_t> m_state;
    std::vector<uint32_t> m_depth;
    std::vector<uint64_t> m_nodes;
};

} // namespace

bool binaryWithinBounds(std::string_view bplist) { return BinaryScanner(bplist).scan(); }

} // namespace cf::detail
