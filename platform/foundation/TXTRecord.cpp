#include "platform/foundation/TXTRecord.h"

#include "platform/foundation/NSString.h"

namespace ns {

std::optional<cf::Value> dictionaryFromTXTRecordData(const cf::Bytes& data) {
    cf::Dictionary entries;
    size_t at = 0;
    while (at < data.size()) {
        const size_t length = data[at++];
        if (length > data.size() - at) return std::nullopt;
        const auto* begin = reinterpret_cast<const char*>(data.data() + at);
        std::string_view entry(begin, length);
        at += length;
        const size_t equals = entry.find('=');
        std::string_view key = entry.substr(0, equals);
        if (key.empty() || !isValidUTF8(key)) continue;
        std::string_view value =
            equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
        entries.try_emplace(std::string(key), cf::Value::data(value.data(), value.size()));
    }
    return cf::Value(std::move(entries));
}

std::optional<cf::Bytes> dataFromTXTRecordDictionary(const cf::Value& dictionary) {
    const cf::Dictionary* entries = dictionary.asDictionary();
    if (!entries) return std::nullopt;
    if (entries->empty()) return cf::Bytes{0};
    cf::Bytes out;
    for (const auto& [key, value] : *entries) {
        if (key.empty() || key.find('=') != std::string::npos) return std::nullopt;
        std::string_view bytes;
        if (const auto* data = value.asData())
            bytes = std::string_view(reinterpret_cast<const char*>(data->data()), data->size());
        else if (const auto* text = value.asString())
            bytes = *text;
        else
            return std::nullopt;
        const size_t length = key.size() + 1 + bytes.size();
        if (length > kMaxTXTEntryBytes) return std::nullopt;
        out.push_back(static_cast<uint8_t>(length));
        out.insert(out.end(), key.begin(), key.end());
        out.push_back('=');
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

} // namespace ns
