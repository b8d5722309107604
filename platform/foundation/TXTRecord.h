// The TXT record of a Bonjour service: entries of one length byte followed by "key=value".
// Reading is bounds-checked: an entry whose length runs past the end makes the record
// unreadable (nil), never an over-read. "key=value" splits at the first "="; an entry without
// "=" is a key with empty data; empty keys, keys that are not UTF-8 and later duplicates are
// skipped; empty data or one zero byte is an empty dictionary.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>

namespace ns {

inline constexpr size_t kMaxTXTEntryBytes = 255;

// A dictionary of keys to data values; nil when an entry's length runs past the end.
std::optional<cf::Value> dictionaryFromTXTRecordData(const cf::Bytes& data);
// Keys sorted; values data or text (written as UTF-8). nil for a value of another kind, an
// empty key or one holding "=", or an entry over 255 bytes. An empty dictionary is one zero
// byte, as DNS-SD writes it.
std::optional<cf::Bytes> dataFromTXTRecordDictionary(const cf::Value& dictionary);

} // namespace ns
