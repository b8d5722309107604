#include "platform/textinputsources/KeyLayouts.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayoutData.h"

#include <map>
#include <mutex>

namespace tis {

namespace {

constexpr uint32_t kMaxKeyCode = 127;
// No key of a layout types more than a short cluster; longer is a broken description.
constexpr size_t kMaxOutputUnits = 16;
constexpr std::string_view kLayerNames[kUchrLayerCount] = {"none",   "shift",       "caps",
                                                           "option", "shiftOption", "control"};

struct Refuse {
    std::string* why;
    bool operator()(const std::string& text) const {
        if (why) *why = text;
        return false;
    }
};

// A text output: a string, or a number standing for one UTF-16 unit (control characters
// cannot be written in an XML property list).
std::optional<std::u16string> outputText(const cf::Value& v) {
    if (const std::string* s = v.asString()) {
        std::u16string u = cf::utf16FromUTF8(*s);
        if (u.size() > kMaxOutputUnits) return std::nullopt;
        return u;
    }
    if (v.isNumber() && !v.isFloatNumber()) {
        auto n = v.storedInteger();
        if (n && *n >= 0 && *n < 0xFFFE) return std::u16string(1, static_cast<char16_t>(*n));
    }
    return std::nullopt;
}

bool parseDeadKeys(const cf::Value& plist, LayoutDescription& out, std::map<std::string, int>& names,
                   const Refuse& refuse) {
    const cf::Value* dead = plist.find("DeadKeys");
    if (!dead) return true;
    if (!dead->asDictionary()) return refuse("DeadKeys is not a dictionary");
    for (const auto& [name, body] : *dead->asDictionary()) {
        const cf::Value* terminator = body.find("Terminator");
        const cf::Value* results = body.find("Results");
        auto term = terminator ? outputText(*terminator) : std::nullopt;
        if (!term || !results || !results->asDictionary())
            return refuse("dead key " + name + " is malformed");
        UchrDeadKey key{*term, {}};
        for (const auto& [base, result] : *results->asDictionary()) {
            std::u16string b = cf::utf16FromUTF8(base);
            auto r = outputText(result);
            if (b.size() != 1 || !r || r->empty())
                return refuse("dead key " + name + " has a malformed result");
            key.results.emplace_back(b[0], *r);
        }
        names[name] = static_cast<int>(out.uchr.deadKeys.size());
        out.uchr.deadKeys.push_back(std::move(key));
    }
    return true;
}

bool parseKey(const std::string& code, const cf::Value& layers, LayoutDescription& out,
              const std::map<std::string, int>& names, const Refuse& refuse) {
    char* end = nullptr;
    unsigned long key = std::strtoul(code.c_str(), &end, 10);
    if (code.empty() || *end != '\0' || key > kMaxKeyCode)
        return refuse("key code \"" + code + "\" is out of range");
    if (!layers.asDictionary()) return refuse("key " + code + " is not a dictionary");
    for (const auto& [layerName, value] : *layers.asDictionary()) {
        int layer = -1;
        for (int i = 0; i < kUchrLayerCount; ++i)
            if (kLayerNames[i] == layerName) layer = i;
        if (layer < 0) return refuse("key " + code + " has an unknown layer \"" + layerName + "\"");
        UchrKeyOutput output;
        if (const cf::Value* dead = value.find("dead")) {
            const std::string* name = dead->asString();
            auto it = name ? names.find(*name) : names.end();
            if (it == names.end()) return refuse("key " + code + " names an unknown dead key");
            output.deadKey = it->second;
        } else if (auto text = outputText(value)) {
            output.text = *text;
        } else {
            return refuse("key " + code + " has a malformed output");
        }
        auto& table = out.uchr.layers[layer];
        if (table.size() <= key) table.resize(key + 1);
        table[key] = output;
    }
    return true;
}

} // namespace

std::optional<LayoutDescription> parseLayoutDescription(const cf::Value& plist, std::string* why) {
    Refuse refuse{why};
    LayoutDescription out;
    const cf::Value* id = plist.find("InputSourceID");
    const cf::Value* name = plist.find("LocalizedName");
    const cf::Value* keys = plist.find("Keys");
    if (!id || !id->asString() || !name || !name->asString() || !keys || !keys->asDictionary()) {
        refuse("a layout needs InputSourceID, LocalizedName and Keys");
        return std::nullopt;
    }
    out.sourceID = *id->asString();
    out.localizedName = *name->asString();
    if (const cf::Value* types = plist.find("KeyboardTypes")) {
        if (!types->asArray() || types->count() == 0 || types->count() > 256) {
            refuse("KeyboardTypes is malformed");
            return std::nullopt;
        }
        out.uchr.keyboardTypes.clear();
        for (const cf::Value& t : *types->asArray()) {
            const cf::Value* first = t.find("First");
            const cf::Value* last = t.find("Last");
            std::optional<int64_t> f, l;
            if (first) f = first->storedInteger();
            if (last) l = last->storedInteger();
            if (!f || !l || *f < 0 || *l < *f || *l > 0xFFFF) {
                refuse("a keyboard type range is malformed");
                return std::nullopt;
            }
            out.uchr.keyboardTypes.push_back({static_cast<uint32_t>(*f), static_cast<uint32_t>(*l)});
        }
    }
    std::map<std::string, int> names;
    if (!parseDeadKeys(plist, out, names, refuse)) return std::nullopt;
    for (const auto& [code, layers] : *keys->asDictionary())
        if (!parseKey(code, layers, out, names, refuse)) return std::nullopt;
    return out;
}

std::vector<std::string> builtInKeyboardLayoutIDs() {
    std::vector<std::string> ids;
    for (const EmbeddedLayout& e : embeddedLayouts())
        ids.emplace_back(e.sourceID);
    return ids;
}

std::shared_ptr<const KeyboardLayout> builtInKeyboardLayout(std::string_view sourceID) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const KeyboardLayout>, std::less<>> built;
    std::lock_guard lock(mutex);
    if (auto it = built.find(sourceID); it != built.end()) return it->second;
    for (const EmbeddedLayout& e : embeddedLayouts()) {
        if (e.sourceID != sourceID) continue;
        std::string why;
        auto plist =
            cf::propertyListFromData(std::string_view(reinterpret_cast<const char*>(e.bytes), e.size));
        auto description = plist ? parseLayoutDescription(*plist, &why) : std::nullopt;
        if (!description) {
            platform::log("keyboard layout %s is unreadable: %s", std::string(sourceID), why);
            return nullptr;
        }
        auto layout = std::make_shared<KeyboardLayout>(
            KeyboardLayout{description->sourceID, description->localizedName, buildUchr(description->uchr)});
        built.emplace(std::string(sourceID), layout);
        return layout;
    }
    return nullptr;
}

} // namespace tis
