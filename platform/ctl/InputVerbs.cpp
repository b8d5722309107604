// platformctl's input verbs: the window server's input state, keyboard layout, pasteboard,
// text sink and event taps.
#include "platform/core/Format.h"
#include "platform/ctl/Platformctl.h"
#include "platform/windowserver/EventProtocol.h"

#include <cmath>
#include <ostream>

namespace ctl {

namespace op = windowserver::eventop;

namespace {

constexpr char kPlainTextType[] = "public.utf8-plain-text";

int64_t integerIn(const cf::Value& v, std::string_view key) {
    const cf::Value* n = v.find(key);
    return n && n->isNumber() ? n->integerValue() : 0;
}

double realIn(const cf::Value& v, std::string_view key) {
    const cf::Value* n = v.find(key);
    return n && n->isNumber() ? n->doubleValue() : 0;
}

std::string stringIn(const cf::Value& v, std::string_view key) {
    const cf::Value* s = v.find(key);
    return s && s->asString() ? *s->asString() : "";
}

} // namespace

int Platformctl::inputState(const std::vector<std::string>& args) {
    if (!parse(args, {}, 0, 0)) return kUsage;
    int code;
    auto result = request(op::inputState, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    m_out << platform::format("cursor=%g,%g buttons=%lld modifiers=0x%llx\n", realIn(*result, "cursorX"),
                              realIn(*result, "cursorY"),
                              static_cast<long long>(integerIn(*result, "buttons")),
                              static_cast<unsigned long long>(integerIn(*result, "modifiers")));
    return kSuccess;
}

int Platformctl::keyboardLayout(const std::vector<std::string>& args) {
    auto a = parse(args, {}, 0, 1);
    if (!a) return kUsage;
    int code;
    if (!a->positionals().empty()) {
        auto result = request(op::selectInputSource, cf::Dictionary{{"id", a->positionals()[0]}}, code);
        return result ? changed("keyboard layout " + a->positionals()[0]) : code;
    }
    auto result = request(op::currentInputSource, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    m_out << stringIn(*result, "current") << "\n";
    return kSuccess;
}

int Platformctl::pasteboard(const std::vector<std::string>& args) {
    auto a = parse(args, {{"set"}}, 0, 0);
    if (!a) return kUsage;
    int code;
    if (auto text = a->value("set")) {
        if (!request(op::pasteboardClear, cf::Value::emptyDictionary(), code)) return code;
        cf::Bytes data(text->begin(), text->end());
        auto result = request(op::pasteboardSet,
                              cf::Dictionary{{"type", kPlainTextType}, {"data", cf::Value(data)}}, code);
        return result ? changed(platform::format("pasteboard set: %zu bytes of text", data.size())) : code;
    }
    auto result = request(op::pasteboardRead, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    const cf::Value* items = result->find("items");
    const cf::Value* text = items ? items->find(kPlainTextType) : nullptr;
    if (text && text->asData()) m_out << std::string(text->asData()->begin(), text->asData()->end());
    m_out << "\n";
    return kSuccess;
}

int Platformctl::textSink(const std::vector<std::string>& args) {
    auto a = parse(args, {{"clear", false}}, 0, 0);
    if (!a) return kUsage;
    int code;
    auto result = request(op::textSink, cf::Dictionary{{"action", a->has("clear") ? "clear" : "read"}}, code);
    if (!result) return code;
    if (a->has("clear")) return changed("text sink cleared");
    m_out << stringIn(*result, "text") << "\n";
    return kSuccess;
}

int Platformctl::eventTap(const std::vector<std::string>& args) {
    auto a = parse(args, {{"disabled", false}}, 2, 2);
    if (!a) return kUsage;
    if (a->positionals()[0] != "add") return usage("event-tap knows only \"add\"");
    char* end = nullptr;
    long pid = std::strtol(a->positionals()[1].c_str(), &end, 10);
    if (a->positionals()[1].empty() || *end != '\0' || pid <= 0 || pid > INT32_MAX)
        return usage("a pid is a positive number");
    int code;
    auto result =
        request(op::tapAdd,
                cf::Dictionary{{"pid", static_cast<int64_t>(pid)}, {"enabled", !a->has("disabled")}}, code);
    if (!result) return code;
    m_out << integerIn(*result, "id") << "\n";
    return kSuccess;
}

} // namespace ctl
