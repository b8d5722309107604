#include "platform/textinputsources/TextInputSources.h"

#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/windowserver/EventProtocol.h"

namespace tis {

namespace {

constexpr char kTestInputMethodID[] = "com.example.inputmethod.Test";
constexpr uint8_t kDefaultKeyboardType = 40;

std::optional<std::string> stringIn(const std::optional<cf::Value>& reply, std::string_view key) {
    const cf::Value* v = reply ? reply->find(key) : nullptr;
    if (!v || !v->asString()) return std::nullopt;
    return *v->asString();
}

} // namespace

TISInputSourceRef TISInputSourceForID(const std::string& id) {
    if (id == kTestInputMethodID)
        return std::make_shared<TISInputSource>(
            TISInputSource{id, "Test Input Method", kTISTypeKeyboardInputMode, {}});
    auto layout = builtInKeyboardLayout(id);
    if (!layout) return nullptr;
    return std::make_shared<TISInputSource>(TISInputSource{id, layout->localizedName, kTISTypeKeyboardLayout,
                                                           cf::Value(cf::Bytes(layout->uchr))});
}

TISInputSourceRef TISCopyCurrentKeyboardInputSource() {
    auto id = stringIn(cg::CGSRequest(windowserver::eventop::currentInputSource), "current");
    return id ? TISInputSourceForID(*id) : nullptr;
}

TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource() {
    auto id = stringIn(cg::CGSRequest(windowserver::eventop::currentInputSource), "layout");
    return id ? TISInputSourceForID(*id) : nullptr;
}

std::optional<cf::Value> TISGetInputSourceProperty(const TISInputSourceRef& source, std::string_view key) {
    if (!source) return std::nullopt;
    if (key == kTISPropertyInputSourceID) return cf::Value(source->inputSourceID);
    if (key == kTISPropertyLocalizedName) return cf::Value(source->localizedName);
    if (key == kTISPropertyInputSourceType) return cf::Value(source->type);
    if (key == kTISPropertyUnicodeKeyLayoutData) return source->unicodeKeyLayoutData;
    return std::nullopt;
}

int32_t TISSelectInputSource(const TISInputSourceRef& source) {
    if (!source) return -50;
    auto reply = cg::CGSRequest(windowserver::eventop::selectInputSource, {{"id", source->inputSourceID}});
    return reply ? 0 : -50;
}

uint8_t LMGetKbdType() {
    auto type =
        cg::CGSReplyInteger(cg::CGSRequest(windowserver::eventop::currentInputSource), "kbdType", 0, 255);
    return type ? static_cast<uint8_t>(*type) : kDefaultKeyboardType;
}

void LMSetKbdType(uint8_t type) {
    cg::CGSRequest(windowserver::eventop::setKeyboardType, {{"type", type}});
}

} // namespace tis
