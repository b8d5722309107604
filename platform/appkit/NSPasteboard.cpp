#include "platform/appkit/NSPasteboard.h"

#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/windowserver/EventProtocol.h"

namespace appkit {

namespace op = windowserver::eventop;

std::shared_ptr<NSPasteboard> NSPasteboard::generalPasteboard() {
    static const auto general = std::make_shared<NSPasteboard>();
    return general;
}

int64_t NSPasteboard::clearContents() {
    return cg::CGSReplyInteger(cg::CGSRequest(op::pasteboardClear), "changeCount").value_or(-1);
}

int64_t NSPasteboard::declareTypes(const std::vector<std::string>& types, const void*) {
    cf::Array list(types.begin(), types.end());
    auto reply = cg::CGSRequest(op::pasteboardDeclare, {{"types", cf::Value(std::move(list))}});
    return cg::CGSReplyInteger(reply, "changeCount").value_or(-1);
}

bool NSPasteboard::setData(const cf::Bytes& data, const std::string& type) {
    return cg::CGSRequest(op::pasteboardSet, {{"type", type}, {"data", cf::Value(data)}}).has_value();
}

bool NSPasteboard::setString(const std::string& string, const std::string& type) {
    return setData(cf::Bytes(string.begin(), string.end()), type);
}

bool NSPasteboard::writeObjects(const std::vector<std::u16string>& strings) {
    bool ok = true;
    for (const auto& s : strings) {
        if (cf::hasUnpairedSurrogate(s))
            ok = setData(cf::utf16LEBytes(s), NSPasteboardTypeUTF16String) && ok;
        else
            ok = setString(cf::utf8FromUTF16(s), NSPasteboardTypeString) && ok;
    }
    return ok;
}

std::vector<std::string> NSPasteboard::types() {
    auto reply = cg::CGSRequest(op::pasteboardRead);
    std::vector<std::string> out;
    const cf::Value* list = reply ? reply->find("types") : nullptr;
    for (size_t i = 0; list && i < list->count(); ++i)
        if (const std::string* t = list->at(i)->asString()) out.push_back(*t);
    return out;
}

std::optional<cf::Bytes> NSPasteboard::dataForType(const std::string& type) {
    auto reply = cg::CGSRequest(op::pasteboardRead);
    const cf::Value* items = reply ? reply->find("items") : nullptr;
    const cf::Value* data = items ? items->find(type) : nullptr;
    if (!data || !data->asData()) return std::nullopt;
    return *data->asData();
}

std::optional<std::string> NSPasteboard::stringForType(const std::string& type) {
    auto data = dataForType(type);
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

int64_t NSPasteboard::changeCount() {
    return cg::CGSReplyInteger(cg::CGSRequest(op::pasteboardRead), "changeCount").value_or(-1);
}

} // namespace appkit
