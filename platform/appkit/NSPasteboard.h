// The general pasteboard: platformd state with one item (type to bytes, in write order) and a
// change count. Clearing (or declaring types) bumps the count; writing data does not.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace appkit {

inline constexpr char NSPasteboardTypeString[] = "public.utf8-plain-text";
// Little-endian UTF-16: the one type that carries half of a surrogate pair.
inline constexpr char NSPasteboardTypeUTF16String[] = "public.utf16-plain-text";

class NSPasteboard {
  public:
    static std::shared_ptr<NSPasteboard> generalPasteboard();

    // The new change count; -1 when the window server cannot be reached.
    int64_t clearContents();
    int64_t declareTypes(const std::vector<std::string>& types, const void* owner);
    bool setData(const cf::Bytes& data, const std::string& type);
    bool setString(const std::string& string, const std::string& type);
    // Strings only, written as NSPasteboardTypeString; a string holding half of a surrogate
    // pair (typing gets a character beyond the basic plane one half at a time) goes as
    // NSPasteboardTypeUTF16String instead, since UTF-8 would turn the half into U+FFFD.
    bool writeObjects(const std::vector<std::u16string>& strings);

    // Empty when the pasteboard holds nothing or cannot be read.
    std::vector<std::string> types();
    std::optional<cf::Bytes> dataForType(const std::string& type);
    std::optional<std::string> stringForType(const std::string& type);
    int64_t changeCount();
};

} // namespace appkit
