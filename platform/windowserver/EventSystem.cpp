#include "platform/windowserver/EventSystem.h"

#include "platform/core/Log.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/textinputsources/UnicodeUtilities.h"
#include "platform/windowserver/EventProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace windowserver {

namespace {

constexpr char kTestInputMethodID[] = "com.example.inputmethod.Test";
constexpr char kPlainTextType[] = "public.utf8-plain-text";
constexpr char kUTF16PlainTextType[] = "public.utf16-plain-text"; // little-endian units
constexpr size_t kMaxTypeBytes = 1024;
constexpr size_t kMaxFields = 256;

// Modifier flags of event records, and the keys that hold them.
constexpr uint64_t kCommand = 0x100000, kShift = 0x20000, kOption = 0x80000, kControl = 0x40000,
                   kFn = 0x800000, kCapsLock = 0x10000;

uint64_t flagOfKey(uint16_t key) {
    switch (key) {
    case 54:
    case 55:
        return kCommand;
    case 56:
    case 60:
        return kShift;
    case 58:
    case 61:
        return kOption;
    case 59:
    case 62:
        return kControl;
    case 63:
        return kFn;
    default:
        return 0;
    }
}

bool isModifierKey(uint16_t key) {
    return key >= 54 && key <= 63;
}

bool isMouseType(int64_t type) {
    return (type >= 1 && type <= 7) || (type >= 25 && type <= 27);
}

bool isKnownEventType(int64_t type) {
    switch (type) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 10:
    case 11:
    case 12:
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
        return true;
    default:
        return false;
    }
}

EventSystem::Reply refused(std::string why) {
    EventSystem::Reply r;
    r.ok = false;
    r.refusal = std::move(why);
    return r;
}

EventSystem::Reply answer(cf::Dictionary result) {
    EventSystem::Reply r;
    r.result = cf::Value(std::move(result));
    return r;
}

// Kind- and range-checked readers of a request's arguments; the first failure is kept.
class Args {
  public:
    explicit Args(const cf::Value& args) : m_args(args) {
        if (!args.isDictionary()) m_error = "the arguments are not a dictionary";
    }
    const std::string& error() const { return m_error; }
    bool ok() const { return m_error.empty(); }

    std::optional<int64_t> integer(std::string_view key, int64_t min, int64_t max, bool required = true) {
        const cf::Value* v = find(key, required);
        if (!v) return std::nullopt;
        auto n = v->isNumber() && !v->isFloatNumber() ? v->storedInteger() : std::nullopt;
        if (!n || *n < min || *n > max) return fail(key, "an integer in range");
        return n;
    }
    std::optional<double> real(std::string_view key, bool required = true) {
        const cf::Value* v = find(key, required);
        if (!v) return std::nullopt;
        if (!v->isNumber() || !std::isfinite(v->doubleValue())) return fail(key, "a finite number");
        return v->doubleValue();
    }
    std::optional<bool> boolean(std::string_view key, bool required = true) {
        const cf::Value* v = find(key, required);
        if (!v) return std::nullopt;
        if (!v->asBool()) return fail(key, "a boolean");
        return v->asBool();
    }
    const std::string* string(std::string_view key, size_t maxBytes, bool required = true) {
        const cf::Value* v = find(key, required);
        if (!v) return nullptr;
        if (!v->asString() || v->asString()->size() > maxBytes) {
            fail(key, "a string");
            return nullptr;
        }
        return v->asString();
    }
    const cf::Value* of(std::string_view key, cf::Value::Kind kind, bool required = true) {
        const cf::Value* v = find(key, required);
        if (v && v->kind() != kind) {
            fail(key, "of another kind");
            return nullptr;
        }
        return v;
    }

  private:
    const cf::Value* find(std::string_view key, bool required) {
        if (!ok()) return nullptr;
        const cf::Value* v = m_args.find(key);
        if (!v && required) m_error = "missing \"" + std::string(key) + "\"";
        return v;
    }
    std::nullopt_t fail(std::string_view key, const char* what) {
        if (ok()) m_error = "\"" + std::string(key) + "\" is not " + what;
        return std::nullopt;
    }

    const cf::Value& m_args;
    std::string m_error;
};

uint8_t layoutModifiers(uint64_t flags) {
    uint8_t m = 0;
    if (flags & kCommand) m |= 0x01;
    if (flags & kShift) m |= 0x02;
    if (flags & kCapsLock) m |= 0x04;
    if (flags & kOption) m |= 0x08;
    if (flags & kControl) m |= 0x10;
    return m;
}

// The key whose unmodified output on the layout is this character.
std::optional<uint16_t> keyTyping(const tis::KeyboardLayout& layout, uint8_t keyboardType, char16_t c) {
    for (uint16_t key = 0; key < 128; ++key) {
        uint32_t dead = 0;
        size_t n = 0;
        char16_t out[4];
        if (tis::UCKeyTranslate(layout.uchr.data(), layout.uchr.size(), key, tis::kUCKeyActionDisplay, 0,
                                keyboardType, 0, &dead, 4, &n, out) == tis::noErr &&
            n == 1 && out[0] == c)
            return key;
    }
    return std::nullopt;
}

} // namespace

// Hosts.

StandaloneEventHost::StandaloneEventHost(std::vector<cg::CGRect> displays) : m_displays(std::move(displays)) {
    if (!m_displays.empty())
        m_cursor = cg::CGPointMake(cg::CGRectGetMidX(m_displays[0]), cg::CGRectGetMidY(m_displays[0]));
}

void StandaloneEventHost::perform(const std::function<void()>& task) {
    std::lock_guard lock(m_mutex);
    task();
}

cg::CGPoint StandaloneEventHost::moveCursor(cg::CGPoint to) {
    m_cursor = clampOntoDisplays(to, m_displays);
    return m_cursor;
}

void StandaloneEventHost::setDisplays(std::vector<cg::CGRect> displays) {
    std::lock_guard lock(m_mutex);
    m_displays = std::move(displays);
    m_cursor = clampOntoDisplays(m_cursor, m_displays);
}

cg::CGPoint clampOntoDisplays(cg::CGPoint point, const std::vector<cg::CGRect>& displays) {
    if (displays.empty()) return point;
    cg::CGPoint best = point;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const cg::CGRect& d : displays) {
        if (d.size.width <= 0 || d.size.height <= 0) continue;
        if (cg::CGRectContainsPoint(d, point)) return point;
        // The last point inside is one point short of the far edges (bounds are half-open).
        cg::CGPoint p = cg::CGPointMake(std::clamp(point.x, d.origin.x, d.origin.x + d.size.width - 1),
                                        std::clamp(point.y, d.origin.y, d.origin.y + d.size.height - 1));
        double distance = std::hypot(p.x - point.x, p.y - point.y);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = p;
        }
    }
    return best;
}

// The event system.

EventSystem::EventSystem(EventHost& host, Recorder recorder, ProcessTable processes, EventSystemConfig config)
    : m_host(host), m_recorder(std::move(recorder)), m_processes(std::move(processes)),
      m_config(std::move(config)) {
    m_keyboardType = m_config.keyboardType;
    m_inputSource = m_config.keyboardLayout;
    if (m_inputSource != kTestInputMethodID && !tis::builtInKeyboardLayout(m_inputSource)) {
        platform::log("window server: no keyboard layout \"%s\"; using U.S.", m_inputSource);
        m_inputSource = tis::kUSKeyboardLayoutID;
    }
    m_layoutSource = m_inputSource == kTestInputMethodID ? tis::kUSKeyboardLayoutID : m_inputSource;
}

EventSystem::Reply EventSystem::handle(std::string_view op, const cf::Value& args,
                                       const EventPoster& poster) {
    Reply reply = refused("unknown request");
    m_host.perform([&] {
        namespace o = eventop;
        if (op == o::post)
            reply = post(args, poster);
        else if (op == o::postKeyboard)
            reply = postKeyboard(args, poster);
        else if (op == o::bracket)
            reply = bracket(args, poster);
        else if (op == o::inputState)
            reply = inputState();
        else if (op == o::clearLog) {
            if (m_clearLog) m_clearLog();
            reply = Reply{};
        } else if (op == o::textSink)
            reply = textSink(args);
        else if (op == o::buttonEventNumber)
            reply = buttonEventNumberRequest(args);
        else if (op.starts_with("pasteboard."))
            reply = pasteboard(op, args, poster);
        else if (op.starts_with("taps."))
            reply = taps(op, args, poster);
        else if (op.starts_with("process."))
            reply = processes(op, args);
        else if (op.starts_with("tis."))
            reply = inputSources(op, args, poster);
    });
    if (!reply.ok) platform::log("window server: refusing %s: %s", std::string(op), reply.refusal);
    return reply;
}

void EventSystem::record(std::string_view kind, std::string api, const EventPoster& poster,
                         cf::Dictionary fields) {
    cg::CGPoint cursor = m_host.cursorLocation();
    fields.insert_or_assign("cursorX", cursor.x);
    fields.insert_or_assign("cursorY", cursor.y);
    fields.insert_or_assign("buttons", static_cast<int64_t>(m_buttons));
    fields.insert_or_assign("modifiers", static_cast<int64_t>(modifierFlags()));
    if (m_recorder) m_recorder(EventRecord{std::string(kind), std::move(api), poster, std::move(fields)});
}

// Input state.

uint64_t EventSystem::modifierFlags() const {
    uint64_t flags = m_capsLock ? kCapsLock : 0;
    for (uint16_t key : m_heldModifierKeys)
        flags |= flagOfKey(key);
    return flags;
}

void EventSystem::keyChanged(uint16_t key, bool down) {
    if (!isModifierKey(key)) return;
    if (key == 57) {
        if (down) m_capsLock = !m_capsLock;
        return;
    }
    if (down)
        m_heldModifierKeys.insert(key);
    else
        m_heldModifierKeys.erase(key);
}

void EventSystem::pressButton(uint32_t button, bool down) {
    if (button >= 32) return;
    if (down)
        m_buttons |= 1u << button;
    else
        m_buttons &= ~(1u << button);
}

EventSystem::Reply EventSystem::inputState() {
    cg::CGPoint cursor = m_host.cursorLocation();
    cf::Array numbers;
    for (uint32_t n : m_eventNumbers)
        numbers.push_back(static_cast<int64_t>(n));
    return answer({{"cursorX", cursor.x},
                   {"cursorY", cursor.y},
                   {"buttons", static_cast<int64_t>(m_buttons)},
                   {"modifiers", static_cast<int64_t>(modifierFlags())},
                   {"eventNumbers", cf::Value(std::move(numbers))},
                   {"inputSource", m_inputSource},
                   {"keyboardLayout", m_layoutSource},
                   {"kbdType", static_cast<int64_t>(m_keyboardType)}});
}

// Posting.

EventSystem::Reply EventSystem::post(const cf::Value& args, const EventPoster& poster) {
    Args a(args);
    auto tap = a.integer("tap", 0, 1);
    const cf::Value* event = a.of("event", cf::Value::Kind::Dictionary);
    if (!a.ok()) return refused(a.error());
    Args e(*event);
    auto type = e.integer("type", 0, 0xFFFF);
    auto x = e.real("x");
    auto y = e.real("y");
    auto flags = e.integer("flags", 0, std::numeric_limits<int64_t>::max(), false);
    auto timestamp = e.integer("timestamp", 0, std::numeric_limits<int64_t>::max(), false);
    auto timestampSet = e.boolean("timestampSet", false);
    auto sourceState = e.integer("sourceState", -1, 0xFFFFFFFF, false);
    const cf::Value* fields = e.of("fields", cf::Value::Kind::Dictionary, false);
    auto key = e.integer("key", 0, 0xFFFF, false);
    const std::string* unicode = e.string("unicode", 4096, false);
    const cf::Value* unicodeUnits = e.of("unicodeUnits", cf::Value::Kind::Data, false);
    if (!e.ok()) return refused(e.error());
    if (unicodeUnits && unicodeUnits->count() > kMaxUnicodeUnitBytes)
        return refused("too many Unicode units");
    if (!isKnownEventType(*type)) return refused("unknown event type " + std::to_string(*type));
    if (fields && fields->count() > kMaxFields) return refused("too many event fields");

    cf::Dictionary entry{{"tap", *tap},
                         {"type", *type},
                         {"x", *x},
                         {"y", *y},
                         {"flags", flags.value_or(0)},
                         {"timestamp", timestamp.value_or(0)},
                         {"timestampSet", timestampSet.value_or(false)},
                         {"sourceState", sourceState.value_or(0)}};
    if (fields) entry.insert_or_assign("fields", *fields);
    auto fieldInteger = [&](int number) -> std::optional<int64_t> {
        const cf::Value* f = fields ? fields->find(std::to_string(number)) : nullptr;
        const cf::Value* i = f ? f->find("integer") : nullptr;
        return i ? i->storedInteger() : std::nullopt;
    };

    if (isMouseType(*type) || *type == 23) { // tablet points reach global monitors only
        cg::CGPoint at = *type == 23 ? cg::CGPointMake(*x, *y) : m_host.moveCursor(cg::CGPointMake(*x, *y));
        m_host.routeMouse(*type, at, uint64_t(flags.value_or(0)), fieldReal(fields, 2));
    }
    switch (*type) {
    case 1:
    case 2:
        pressButton(0, *type == 1);
        break;
    case 3:
    case 4:
        pressButton(1, *type == 3);
        break;
    case 25:
    case 26: {
        auto button = fieldInteger(3);
        if (button && *button >= 0) pressButton(static_cast<uint32_t>(*button), *type == 25);
        break;
    }
    default:
        break;
    }
    if (*type == 10 || *type == 11) {
        uint16_t k = static_cast<uint16_t>(key.value_or(fieldInteger(9).value_or(0)));
        entry.insert_or_assign("key", static_cast<int64_t>(k));
        entry.insert_or_assign("down", *type == 10);
        bool unicodeSet = e.boolean("unicodeSet", false).value_or(false);
        // The units when given (they carry half of a surrogate pair), else the UTF-8 text.
        std::u16string text = unicodeUnits ? cf::utf16FromLEBytes(*unicodeUnits->asData())
                                           : cf::utf16FromUTF8(unicode ? *unicode : "");
        if (unicodeSet) {
            entry.insert_or_assign("unicode", unicode ? *unicode : std::string());
            entry.insert_or_assign("unicodeUnits", cf::Value(cf::utf16LEBytes(text)));
            entry.insert_or_assign("unicodeSet", true);
        }
        keyChanged(k, *type == 10);
        const uint64_t keyFlags = static_cast<uint64_t>(flags.value_or(0));
        if (!routeKey(*type, k, keyFlags, unicodeSet ? &text : nullptr) && *type == 10)
            typeIntoSink(k, keyFlags, unicodeSet ? &text : nullptr);
    }
    record(eventKind::cgEvent, "CGEventPost", poster, std::move(entry));
    return Reply{};
}

EventSystem::Reply EventSystem::postKeyboard(const cf::Value& args, const EventPoster& poster) {
    Args a(args);
    auto charCode = a.integer("charCode", 0, 0xFFFF);
    auto key = a.integer("key", 0, 0xFFFF);
    auto down = a.boolean("down");
    if (!a.ok()) return refused(a.error());
    auto k = static_cast<uint16_t>(*key);
    keyChanged(k, *down);
    if (!routeKey(*down ? 10 : 11, k, 0, nullptr) && *down) typeIntoSink(k, 0, nullptr);
    record(eventKind::cgKeyboard, "CGPostKeyboardEvent", poster,
           {{"charCode", *charCode}, {"key", *key}, {"down", *down}});
    return answer({{"status", 0}});
}

EventSystem::Reply EventSystem::bracket(const cf::Value& args, const EventPoster& poster) {
    Args a(args);
    const std::string* call = a.string("call", 128);
    const cf::Value* arguments = a.of("arguments", cf::Value::Kind::Array);
    if (!a.ok()) return refused(a.error());
    if (*call != "CGEnableEventStateCombining" && *call != "CGSetLocalEventsFilterDuringSuppressionState" &&
        *call != "CGSetLocalEventsSuppressionInterval")
        return refused("unknown bracket call");
    if (arguments->count() > 4) return refused("too many bracket arguments");
    record(eventKind::eventBracket, *call, poster, {{"call", *call}, {"arguments", *arguments}});
    return Reply{};
}

EventSystem::Reply EventSystem::buttonEventNumberRequest(const cf::Value& args) {
    Args a(args);
    auto button = a.integer("button", 0, std::numeric_limits<uint32_t>::max());
    if (!a.ok()) return refused(a.error());
    uint32_t count = 0;
    int32_t status = buttonEventNumber(static_cast<uint32_t>(*button), &count);
    return answer({{"status", status}, {"count", static_cast<int64_t>(count)}});
}

int32_t EventSystem::buttonEventNumber(uint32_t button, uint32_t* count) {
    if (!count || button >= kHIDButtons) return static_cast<int32_t>(0xE00002C2); // kIOReturnBadArgument
    m_host.perform([&] { *count = m_eventNumbers[button]; });
    return 0;
}

int32_t EventSystem::postHID(const EventPoster& poster, uint32_t type, kernel::IOGPoint location,
                             const void* data, size_t dataSize, uint32_t version, uint32_t flags,
                             uint32_t options) {
    constexpr int32_t kBadArgument = static_cast<int32_t>(0xE00002C2);
    if (version != kernel::kNXEventDataVersion || !data || dataSize != sizeof(kernel::NXEventData)) {
        platform::log("window server: refusing an HID event of version %u with %zu bytes of data", version,
                      dataSize);
        return kBadArgument;
    }
    if (type > 0xFF || !isKnownEventType(type)) {
        platform::log("window server: refusing an HID event of unknown type %u", type);
        return kBadArgument;
    }
    kernel::NXEventData event;
    std::memcpy(&event, data, sizeof event);
    int32_t status = 0;
    m_host.perform([&] {
        cf::Dictionary fields{{"type", type},       {"x", location.x}, {"y", location.y},
                              {"options", options}, {"flags", flags},  {"version", version}};
        auto tablet = [](const kernel::NXTabletPointData& t) {
            return cf::Value(
                cf::Dictionary{{"x", t.x}, {"y", t.y}, {"buttons", t.buttons}, {"pressure", t.pressure}});
        };
        bool mouseForm = (type >= 1 && type <= 4) || type == 25 || type == 26 || type == 5 || type == 22;
        bool moveForm = type == 6 || type == 7 || type == 27 || type == 5 || type == 22;
        if (mouseForm) {
            const auto& m = event.mouse;
            fields.insert_or_assign("mouse", cf::Dictionary{{"subx", m.subx},
                                                            {"suby", m.suby},
                                                            {"eventNum", m.eventNum},
                                                            {"click", m.click},
                                                            {"pressure", m.pressure},
                                                            {"buttonNumber", m.buttonNumber},
                                                            {"subType", m.subType},
                                                            {"tablet", tablet(m.tablet)}});
        }
        if (moveForm) {
            const auto& m = event.mouseMove;
            fields.insert_or_assign("mouseMove", cf::Dictionary{{"dx", m.dx},
                                                                {"dy", m.dy},
                                                                {"subx", m.subx},
                                                                {"suby", m.suby},
                                                                {"subType", m.subType},
                                                                {"tablet", tablet(m.tablet)}});
        }
        if (type == 23) fields.insert_or_assign("tablet", tablet(event.tablet));
        if (type == 24) {
            const auto& p = event.proximity;
            fields.insert_or_assign("proximity",
                                    cf::Dictionary{{"vendorID", p.vendorID},
                                                   {"tabletID", p.tabletID},
                                                   {"vendorPointerType", p.vendorPointerType},
                                                   {"pointerSerialNumber", p.pointerSerialNumber},
                                                   {"uniqueID", static_cast<int64_t>(p.uniqueID)},
                                                   {"capabilityMask", p.capabilityMask},
                                                   {"pointerType", p.pointerType},
                                                   {"enterProximity", p.enterProximity}});
        }
        if (options & kernel::kIOHIDSetCursorPosition)
            m_host.moveCursor(cg::CGPointMake(location.x, location.y));
        if (type == 1 || type == 3 || type == 25) {
            uint8_t button = event.mouse.buttonNumber;
            if (button < kHIDButtons) ++m_eventNumbers[button];
        }
        switch (type) {
        case 1:
        case 2:
            pressButton(0, type == 1);
            break;
        case 3:
        case 4:
            pressButton(1, type == 3);
            break;
        case 25:
        case 26:
            pressButton(event.mouse.buttonNumber, type == 25);
            break;
        default:
            break;
        }
        routeHID(type, location, event, flags);
        record(eventKind::hidEvent, "IOHIDPostEvent", poster, std::move(fields));
    });
    return status;
}

// The text sink.

void EventSystem::typeIntoSink(uint16_t key, uint64_t eventFlags, const std::u16string* unicode) {
    if (isModifierKey(key)) return;
    if (unicode) {
        m_sinkDeadKeyState = 0;
        if (m_sinkText.size() + unicode->size() <= kMaxTextSinkUnits) m_sinkText += *unicode;
        return;
    }
    uint8_t modifiers = layoutModifiers(modifierFlags() | eventFlags);
    auto layout = tis::builtInKeyboardLayout(m_layoutSource);
    if (!layout) return;
    if (modifiers & (0x01 | 0x10)) {
        if ((modifiers & 0x01) && !(modifiers & 0x10) && keyTyping(*layout, m_keyboardType, u'v') == key) {
            if (m_pasteDelay > 0 && m_config.scheduler)
                m_config.scheduler(m_pasteDelay, [this] { m_host.perform([this] { paste(); }); });
            else
                paste();
        }
        return;
    }
    char16_t out[16];
    size_t n = 0;
    if (tis::UCKeyTranslate(layout->uchr.data(), layout->uchr.size(), key, tis::kUCKeyActionDown, modifiers,
                            m_keyboardType, 0, &m_sinkDeadKeyState, 16, &n, out) != tis::noErr)
        return;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = out[i];
        if (c == 0x0D || c == 0x03) {
            m_sinkText += u'\n';
        } else if (c == 0x09) {
            m_sinkText += u'\t';
        } else if (c == 0x08) {
            if (m_sinkText.empty()) continue;
            auto last = cf::CFStringGetRangeOfComposedCharactersAtIndex(
                m_sinkText, static_cast<int64_t>(m_sinkText.size()) - 1);
            m_sinkText.erase(static_cast<size_t>(last.location));
        } else if (c >= 0x20 && c != 0x7F && m_sinkText.size() < kMaxTextSinkUnits) {
            m_sinkText += c;
        }
    }
}

// The item's text as UTF-16 when it has one; the units win over UTF-8, which cannot carry half
// of a surrogate pair.
void EventSystem::paste() {
    auto item = [this](const char* type) {
        return std::find_if(m_pasteboard.begin(), m_pasteboard.end(),
                            [&](auto& i) { return i.first == type; });
    };
    std::u16string text;
    if (auto units = item(kUTF16PlainTextType); units != m_pasteboard.end())
        text = cf::utf16FromLEBytes(units->second);
    else if (auto utf8 = item(kPlainTextType); utf8 != m_pasteboard.end())
        text = cf::utf16FromUTF8(
            std::string_view(reinterpret_cast<const char*>(utf8->second.data()), utf8->second.size()));
    if (m_sinkText.size() + text.size() <= kMaxTextSinkUnits) m_sinkText += text;
}

EventSystem::Reply EventSystem::textSink(const cf::Value& args) {
    Args a(args);
    const std::string* action = a.string("action", 32);
    if (!a.ok()) return refused(a.error());
    if (*action == "clear") {
        m_sinkText.clear();
        m_sinkDeadKeyState = 0;
    } else if (*action == "focus" || *action == "unfocus") {
        m_sinkFocused = *action == "focus";
    } else if (*action == "pasteDelay") {
        auto seconds = a.real("value");
        if (!a.ok()) return refused(a.error());
        if (*seconds < 0 || *seconds > 60) return refused("a paste delay lies between 0 and 60 s");
        if (*seconds > 0 && !m_config.scheduler) return refused("this window server cannot delay a paste");
        m_pasteDelay = *seconds;
    } else if (*action != "read") {
        return refused("unknown text-sink action");
    }
    return answer(
        {{"text", cf::utf8FromUTF16(m_sinkText)}, {"focused", m_sinkFocused}, {"pasteDelay", m_pasteDelay}});
}

// The pasteboard.

EventSystem::Reply EventSystem::pasteboard(std::string_view op, const cf::Value& args,
                                           const EventPoster& poster) {
    Args a(args);
    if (op == eventop::pasteboardClear || op == eventop::pasteboardDeclare) {
        std::vector<std::string> types;
        if (op == eventop::pasteboardDeclare) {
            const cf::Value* list = a.of("types", cf::Value::Kind::Array);
            if (!a.ok()) return refused(a.error());
            for (const cf::Value& t : *list->asArray()) {
                if (!t.asString() || t.asString()->empty() || t.asString()->size() > kMaxTypeBytes ||
                    types.size() >= 64)
                    return refused("a declared type is malformed");
                types.push_back(*t.asString());
            }
        }
        m_pasteboard.clear();
        ++m_changeCount;
        record(eventKind::pasteboard,
               op == eventop::pasteboardClear ? "clearContents" : "declareTypes:owner:", poster,
               {{"action", "clear"}, {"changeCount", m_changeCount}});
        return answer({{"changeCount", m_changeCount}});
    }
    if (op == eventop::pasteboardSet) {
        const std::string* type = a.string("type", kMaxTypeBytes);
        const cf::Value* data = a.of("data", cf::Value::Kind::Data);
        if (!a.ok()) return refused(a.error());
        if (type->empty()) return refused("a pasteboard type is empty");
        size_t total = data->count();
        for (const auto& [t, d] : m_pasteboard)
            if (t != *type) total += d.size();
        if (total > kMaxPasteboardBytes) return refused("the pasteboard holds at most 8 MiB");
        auto it = std::find_if(m_pasteboard.begin(), m_pasteboard.end(),
                               [&](auto& item) { return item.first == *type; });
        if (it == m_pasteboard.end()) it = m_pasteboard.insert(m_pasteboard.end(), {*type, {}});
        it->second = *data->asData();
        cf::Dictionary fields{
            {"action", "write"}, {"type", *type}, {"data", *data}, {"changeCount", m_changeCount}};
        if (*type == kPlainTextType)
            fields.insert_or_assign("text", std::string(it->second.begin(), it->second.end()));
        record(eventKind::pasteboard, "setData:forType:", poster, std::move(fields));
        return Reply{};
    }
    if (op == eventop::pasteboardRead) {
        cf::Array types;
        cf::Dictionary items;
        for (const auto& [t, d] : m_pasteboard) {
            types.push_back(t);
            items.insert_or_assign(t, cf::Value(d));
        }
        return answer({{"types", cf::Value(std::move(types))},
                       {"items", cf::Value(std::move(items))},
                       {"changeCount", m_changeCount}});
    }
    return refused("unknown request");
}

// Event taps.

std::optional<ProcessRecord> EventSystem::processOf(pid_t pid) const {
    if (!m_processes) return std::nullopt;
    for (auto& p : m_processes())
        if (p.pid == pid) return p;
    return std::nullopt;
}

EventSystem::Reply EventSystem::taps(std::string_view op, const cf::Value& args, const EventPoster& poster) {
    Args a(args);
    if (op == eventop::tapCreate || op == eventop::tapAdd) {
        auto pid =
            op == eventop::tapAdd ? a.integer("pid", 1, std::numeric_limits<pid_t>::max()) : poster.pid;
        bool isAdd = op == eventop::tapAdd;
        auto location = a.integer("location", 0, 2, !isAdd);
        auto place = a.integer("place", 0, 1, !isAdd);
        auto options = a.integer("options", 0, 1, !isAdd);
        auto mask = a.integer("mask", std::numeric_limits<int64_t>::min(),
                              std::numeric_limits<int64_t>::max(), !isAdd);
        auto enabled = a.boolean("enabled", false);
        if (!a.ok()) return refused(a.error());
        if (isAdd && !processOf(static_cast<pid_t>(*pid)))
            return refused("no process " + std::to_string(*pid));
        if (m_taps.size() >= kMaxTaps) return refused("too many event taps");
        Tap tap;
        tap.id = m_nextTapID++;
        tap.location = static_cast<uint32_t>(location.value_or(0));
        tap.place = static_cast<uint32_t>(place.value_or(0));
        tap.options = static_cast<uint32_t>(options.value_or(0));
        tap.mask = static_cast<uint64_t>(mask.value_or(-1));
        tap.tapping = static_cast<pid_t>(*pid);
        tap.enabled = enabled.value_or(true);
        m_taps.emplace(tap.id, tap);
        return answer({{"id", static_cast<int64_t>(tap.id)}});
    }
    if (op == eventop::tapEnable || op == eventop::tapInvalidate) {
        auto id = a.integer("id", 0, std::numeric_limits<uint32_t>::max());
        auto enabled = op == eventop::tapEnable ? a.boolean("enabled") : std::optional<bool>(false);
        if (!a.ok()) return refused(a.error());
        auto it = m_taps.find(static_cast<uint32_t>(*id));
        if (it == m_taps.end()) return refused("no event tap " + std::to_string(*id));
        if (op == eventop::tapEnable)
            it->second.enabled = *enabled;
        else
            m_taps.erase(it);
        return Reply{};
    }
    if (op == eventop::tapList) {
        cf::Array list;
        for (const auto& [id, t] : m_taps)
            list.push_back(cf::Dictionary{{"eventTapID", static_cast<int64_t>(t.id)},
                                          {"tapPoint", static_cast<int64_t>(t.location)},
                                          {"options", static_cast<int64_t>(t.options)},
                                          {"eventsOfInterest", static_cast<int64_t>(t.mask)},
                                          {"tappingProcess", static_cast<int64_t>(t.tapping)},
                                          {"processBeingTapped", static_cast<int64_t>(t.tapped)},
                                          {"enabled", t.enabled}});
        record(eventKind::eventTapList, "CGGetEventTapList", poster,
               {{"count", static_cast<int64_t>(list.size())}});
        return answer({{"taps", cf::Value(std::move(list))}});
    }
    return refused("unknown request");
}

void EventSystem::processGone(pid_t pid) {
    m_host.perform(
        [&] { std::erase_if(m_taps, [pid](const auto& entry) { return entry.second.tapping == pid; }); });
}

// The process table.

EventSystem::Reply EventSystem::processes(std::string_view op, const cf::Value& args) {
    Args a(args);
    if (op == eventop::processForPID) {
        auto pid = a.integer("pid", std::numeric_limits<pid_t>::min(), std::numeric_limits<pid_t>::max());
        if (!a.ok()) return refused(a.error());
        auto p = processOf(static_cast<pid_t>(*pid));
        if (!p) return answer({{"status", -600}});
        return answer({{"status", 0}, {"high", 0}, {"low", static_cast<int64_t>(p->serialNumber)}});
    }
    if (op == eventop::processInformation) {
        auto high = a.integer("high", 0, std::numeric_limits<uint32_t>::max());
        auto low = a.integer("low", 0, std::numeric_limits<uint32_t>::max());
        if (!a.ok()) return refused(a.error());
        if (*high == kLaunchdSerialNumberHigh && *low == kLaunchdSerialNumberLow)
            return answer({{"information", cf::Dictionary{{"CFBundleName", "launchd"},
                                                          {"CFBundleExecutable", "/sbin/launchd"},
                                                          {"pid", 1}}}});
        if (*high != 0 || !m_processes) return answer({});
        auto table = m_processes();
        for (const ProcessRecord& p : table) {
            if (p.serialNumber != *low) continue;
            cf::Dictionary info{{"CFBundleName", p.name},
                                {"BundlePath", p.bundlePath},
                                {"pid", static_cast<int64_t>(p.pid)},
                                {"ParentPSN", parentSerialNumber(p, table)}};
            if (!p.bundleIdentifier.empty()) info.insert_or_assign("CFBundleIdentifier", p.bundleIdentifier);
            if (!p.executable.empty()) info.insert_or_assign("CFBundleExecutable", p.executable);
            return answer({{"information", cf::Value(std::move(info))}});
        }
        return answer({});
    }
    return refused("unknown request");
}

// Text input sources.

EventSystem::Reply EventSystem::inputSources(std::string_view op, const cf::Value& args,
                                             const EventPoster& poster) {
    Args a(args);
    if (op == eventop::currentInputSource)
        return answer({{"current", m_inputSource},
                       {"layout", m_layoutSource},
                       {"kbdType", static_cast<int64_t>(m_keyboardType)}});
    if (op == eventop::selectInputSource) {
        const std::string* id = a.string("id", 256);
        if (!a.ok()) return refused(a.error());
        bool layout = tis::builtInKeyboardLayout(*id) != nullptr;
        if (!layout && *id != kTestInputMethodID) return refused("no input source \"" + *id + "\"");
        m_inputSource = *id;
        if (layout) m_layoutSource = *id;
        m_sinkDeadKeyState = 0;
        record(eventKind::inputSource, "TISSelectInputSource", poster, {{"id", *id}});
        return Reply{};
    }
    if (op == eventop::setKeyboardType) {
        auto type = a.integer("type", 0, 255);
        if (!a.ok()) return refused(a.error());
        m_keyboardType = static_cast<uint8_t>(*type);
        return Reply{};
    }
    return refused("unknown request");
}

} // namespace windowserver
