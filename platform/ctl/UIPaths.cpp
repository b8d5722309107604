#include "platform/ctl/UIPaths.h"

#include "platform/core/Format.h"
#include "platform/coregraphics/CGEvent.h"

#include <cctype>
#include <cmath>
#include <cstring>

namespace ctl::ui {

namespace {

// Path kinds and the role (and subrole) each stands for.
struct KindRole {
    const char* kind;
    const char* role;
    const char* subrole;
};
constexpr KindRole kKinds[] = {
    {"window", "AXWindow", nullptr},
    {"sheet", "AXSheet", nullptr},
    {"popover", "AXPopover", nullptr},
    {"button", "AXButton", nullptr},
    {"checkbox", "AXCheckBox", nullptr},
    {"field", "AXTextField", nullptr},
    {"text", "AXStaticText", nullptr},
    {"popup", "AXPopUpButton", nullptr},
    {"image", "AXImage", nullptr},
    {"slider", "AXSlider", nullptr},
    {"list", "AXList", nullptr},
    {"item", "AXGroup", nullptr},
    {"menu", "AXMenu", nullptr},
    {"menuitem", "AXMenuItem", nullptr},
    {"statusitem", "AXMenuBarItem", nullptr},
    {"closebutton", "AXButton", "AXCloseButton"},
};

const KindRole* kindRole(const std::string& kind) {
    for (const auto& k : kKinds)
        if (kind == k.kind) return &k;
    return nullptr;
}

// The subroles the tree prints after a role's "/": only these make "AXRole/AXName" one segment
// (anything else after the slash is the next segment).
constexpr const char* kSubroles[] = {"AXStandardWindow", "AXFloatingWindow",   "AXDialog",
                                     "AXSystemDialog",   "AXCloseButton",      "AXMinimizeButton",
                                     "AXZoomButton",     "AXFullScreenButton", "AXToolbarButton",
                                     "AXSwitch",         "AXSearchField",      "AXSecureTextField"};

bool isSubrole(const std::string& name) {
    for (const char* s : kSubroles)
        if (name == s) return true;
    return false;
}

bool isRoleName(const std::string& word) {
    return word.size() > 2 && word.rfind("AX", 0) == 0;
}

// Elements a search reads at most, and how deep it goes: a tree that never ends is refused.
constexpr size_t kMaxVisited = 20000;
constexpr int kMaxDepth = 100;

struct KeyName {
    const char* name;
    uint16_t code;
};
constexpr KeyName kNamedKeys[] = {
    {"return", 36}, {"tab", 48}, {"space", 49}, {"delete", 51}, {"escape", 53}, {"left", 123}, {"right", 124},
    {"down", 125},  {"up", 126}, {"f1", 122},   {"f2", 120},    {"f3", 99},     {"f4", 118},   {"f5", 96},
    {"f6", 97},     {"f7", 98},  {"f8", 100},   {"f9", 101},    {"f10", 109},   {"f11", 103},  {"f12", 111},
};
// Unshifted characters of the U.S. layout by key code.
constexpr const char* kPlainKeys = "asdfhgzxcv\0bqweryt123465=97-80]ou[ip\0lj'k;\\,/nm.\0\0`";
// Their shifted characters, in the same order.
constexpr const char* kShiftedKeys = "ASDFHGZXCV\0BQWERYT!@#$^%+(&_*)}OU{IP\0LJ\"K:|<?NM>\0\0~";
constexpr size_t kKeyTableLength = 51;

std::optional<uint16_t> codeOfCharacter(char c, bool* shifted) {
    if (c == '\0') return std::nullopt;
    for (size_t i = 0; i < kKeyTableLength; ++i) {
        if (kPlainKeys[i] == c) {
            *shifted = false;
            return uint16_t(i);
        }
        if (kShiftedKeys[i] == c) {
            *shifted = true;
            return uint16_t(i);
        }
    }
    return std::nullopt;
}

std::string stringOf(const ax::AXAttributeValue& v) {
    auto* p = std::get_if<cf::Value>(&v);
    return p && p->asString() ? *p->asString() : std::string();
}

} // namespace

// ---- Paths.

const char* const kPathAndKeyHelp =
    "ui paths: segments joined by '/', each found depth-first below the one before it:\n"
    "  #ident                 the element with that accessibility identifier (#connectButton)\n"
    "  \"text\"                 the element whose title, value or description is the text\n"
    "  KIND, KIND \"text\"      an element of the kind (with that title, value or description): window,\n"
    "                         sheet, popover, button, checkbox, field, text, popup, image, slider, list,\n"
    "                         item (a list's row; item \"text\": the row holding the text), menu, menuitem,\n"
    "                         statusitem, closebutton\n"
    "  AXRole[/AXSubrole] [#ident] [\"text\"]\n"
    "                         the start of a `ui tree` line works as a segment (AXButton #connectButton\n"
    "                         \"Disconnect\", AXWindow/AXDialog \"Could not connect\")\n"
    "  ...[n]                 the n-th match, from 0: item[1] is the second row, #connectButton[1] the\n"
    "                         second such button\n"
    "  e.g. 'popover/item \"Demo iPad\"/#connectButton', 'popover/item[1]/button \"Disconnect\"'\n"
    "ui keys: [cmd+][shift+][option+][ctrl+]NAME, NAME a character of the U.S. layout (a, 1, =, /, ...)\n"
    "  or return, tab, space, delete, escape, left, right, up, down, f1 ... f12; ui key --text TEXT types\n"
    "  ASCII text.\n";

std::optional<std::vector<PathSegment>> parsePath(const std::string& path, std::string& error) {
    std::vector<PathSegment> out;
    size_t i = 0;
    auto quoted = [&](std::string& text) {
        // At the opening quote; a backslash escapes the next character.
        ++i;
        while (i < path.size() && path[i] != '"') {
            if (path[i] == '\\' && i + 1 < path.size()) ++i;
            text += path[i++];
        }
        if (i >= path.size()) return false;
        ++i;
        return true;
    };
    if (path.empty()) {
        error = "an empty path";
        return std::nullopt;
    }
    while (i < path.size()) {
        PathSegment s;
        if (path[i] == '#') {
            s.kind = PathSegment::Identifier;
            ++i;
            while (i < path.size() && path[i] != '/' && path[i] != '[')
                s.identifier += path[i++];
            if (s.identifier.empty()) {
                error = "a '#' without an identifier";
                return std::nullopt;
            }
        } else if (path[i] == '"') {
            s.kind = PathSegment::Text;
            s.text.emplace();
            if (!quoted(*s.text)) {
                error = "an unterminated quote";
                return std::nullopt;
            }
        } else {
            s.kind = PathSegment::Role;
            auto word = [&] {
                std::string w;
                while (i < path.size() && std::isalpha(static_cast<unsigned char>(path[i])))
                    w += path[i++];
                return w;
            };
            std::string kind = word();
            if (isRoleName(kind)) {
                s.role = kind;
                if (i + 1 < path.size() && path[i] == '/') {
                    const size_t slash = i++;
                    std::string sub = word();
                    if (isSubrole(sub))
                        s.subrole = sub;
                    else
                        i = slash; // the next segment
                }
            } else if (kindRole(kind)) {
                s.kindName = kind;
            } else {
                error = "unknown element kind \"" + kind + "\"";
                return std::nullopt;
            }
            if (i + 1 < path.size() && path[i] == ' ' && path[i + 1] == '#') {
                i += 2;
                while (i < path.size() && path[i] != '/' && path[i] != '[' && path[i] != ' ')
                    s.identifier += path[i++];
                if (s.identifier.empty()) {
                    error = "a '#' without an identifier";
                    return std::nullopt;
                }
            }
            if (i + 1 < path.size() && path[i] == ' ' && path[i + 1] == '"') {
                ++i;
                s.text.emplace();
                if (!quoted(*s.text)) {
                    error = "an unterminated quote";
                    return std::nullopt;
                }
            }
        }
        if (i < path.size() && path[i] == '[') {
            size_t close = path.find(']', i);
            std::string digits = close == std::string::npos ? "" : path.substr(i + 1, close - i - 1);
            if (digits.empty() || digits.size() > 6 ||
                digits.find_first_not_of("0123456789") != std::string::npos) {
                error = "a malformed index";
                return std::nullopt;
            }
            s.index = std::stoul(digits);
            i = close + 1;
        }
        if (i < path.size()) {
            if (path[i] != '/' || i + 1 == path.size()) {
                error = platform::format("unexpected text at %zu", i);
                return std::nullopt;
            }
            ++i;
        }
        out.push_back(std::move(s));
    }
    return out;
}

// ---- Keys.

std::optional<KeyStroke> parseKey(const std::string& text, std::string& error) {
    KeyStroke k;
    std::string rest = text;
    const std::pair<const char*, uint64_t> modifiers[] = {
        {"cmd+", cg::kCGEventFlagMaskCommand},
        {"shift+", cg::kCGEventFlagMaskShift},
        {"option+", cg::kCGEventFlagMaskAlternate},
        {"ctrl+", cg::kCGEventFlagMaskControl},
    };
    for (bool found = true; found;) {
        found = false;
        for (auto& [prefix, flag] : modifiers) {
            if (rest.size() > std::strlen(prefix) && rest.rfind(prefix, 0) == 0 && !(k.flags & flag)) {
                k.flags |= flag;
                rest.erase(0, std::strlen(prefix));
                found = true;
            }
        }
    }
    for (const auto& named : kNamedKeys)
        if (rest == named.name) {
            k.keyCode = named.code;
            return k;
        }
    bool shifted = false;
    if (rest.size() == 1 && !std::isupper(static_cast<unsigned char>(rest[0])))
        if (auto code = codeOfCharacter(rest[0], &shifted); code && !shifted) {
            k.keyCode = *code;
            return k;
        }
    error = "unknown key \"" + text + "\"";
    return std::nullopt;
}

std::optional<KeyStroke> keyForCharacter(char32_t c) {
    if (c == '\n' || c == '\r') return KeyStroke{36, 0};
    if (c == '\t') return KeyStroke{48, 0};
    if (c == ' ') return KeyStroke{49, 0};
    if (c > 0x7E) return std::nullopt;
    bool shifted = false;
    auto code = codeOfCharacter(char(c), &shifted);
    if (!code) return std::nullopt;
    return KeyStroke{*code, shifted ? cg::kCGEventFlagMaskShift : 0};
}

std::vector<std::pair<uint16_t, uint64_t>> modifierKeys(uint64_t flags) {
    std::vector<std::pair<uint16_t, uint64_t>> out;
    if (flags & cg::kCGEventFlagMaskCommand) out.push_back({55, cg::kCGEventFlagMaskCommand});
    if (flags & cg::kCGEventFlagMaskShift) out.push_back({56, cg::kCGEventFlagMaskShift});
    if (flags & cg::kCGEventFlagMaskAlternate) out.push_back({58, cg::kCGEventFlagMaskAlternate});
    if (flags & cg::kCGEventFlagMaskControl) out.push_back({59, cg::kCGEventFlagMaskControl});
    return out;
}

// ---- Elements.

ax::AXError readElement(const ax::AXUIElementRef& ref, Element* out) {
    static const std::vector<std::string> kAttributes = {
        "AXRole",    "AXSubrole", "AXIdentifier", "AXTitle",    "AXDescription",     "AXValue",
        "AXEnabled", "AXFocused", "AXFrame",      "AXChildren", "AXMenuItemMarkChar"};
    std::vector<ax::AXAttributeValue> values;
    std::vector<ax::AXError> errors;
    ax::AXError status = ax::AXUIElementCopyMultipleAttributeValues(ref, kAttributes, &values, &errors);
    if (status != ax::kAXErrorSuccess) return status;
    // The role is every element's: without it the element is gone or broken.
    if (errors[0] != ax::kAXErrorSuccess) return errors[0];
    Element e;
    e.ref = ref;
    e.role = stringOf(values[0]);
    e.subrole = stringOf(values[1]);
    e.identifier = stringOf(values[2]);
    e.title = stringOf(values[3]);
    e.description = stringOf(values[4]);
    if (auto* v = std::get_if<cf::Value>(&values[5]); v && errors[5] == ax::kAXErrorSuccess) e.value = *v;
    if (auto* v = std::get_if<cf::Value>(&values[6]); v && errors[6] == ax::kAXErrorSuccess)
        e.enabled = v->boolValue();
    if (auto* v = std::get_if<cf::Value>(&values[7]); v && errors[7] == ax::kAXErrorSuccess)
        e.focused = v->boolValue();
    cg::CGRect frame;
    if (auto* v = std::get_if<ax::AXValueRef>(&values[8]);
        v && ax::AXValueGetValue(*v, ax::kAXValueCGRectType, &frame))
        e.frame = frame;
    if (auto* v = std::get_if<std::vector<ax::AXUIElementRef>>(&values[9])) e.children = *v;
    e.markChar = stringOf(values[10]);
    *out = std::move(e);
    return ax::kAXErrorSuccess;
}

std::string valueText(const cf::Value& value) {
    if (value.asString()) return *value.asString();
    if (value.isBoolean()) return value.boolValue() ? "1" : "0";
    if (value.isNumber()) return platform::format("%g", value.doubleValue());
    return "?";
}

std::string treeLine(const Element& e) {
    std::string line = e.role;
    if (!e.subrole.empty()) line += "/" + e.subrole;
    if (!e.identifier.empty()) line += " #" + e.identifier;
    if (!e.title.empty()) line += " \"" + e.title + "\"";
    if (e.value) line += " value=\"" + valueText(*e.value) + "\"";
    if (!e.enabled) line += " disabled";
    if (e.focused) line += " focused";
    cg::CGRect f = e.frame.value_or(cg::CGRectZero);
    line += platform::format(" frame=%g,%g,%g,%g id=%llu", f.origin.x, f.origin.y, f.size.width,
                             f.size.height, static_cast<unsigned long long>(e.ref ? e.ref->id : 0));
    return line;
}

std::string errorName(ax::AXError error) {
    switch (error) {
    case ax::kAXErrorSuccess:
        return "kAXErrorSuccess";
    case ax::kAXErrorFailure:
        return "kAXErrorFailure";
    case ax::kAXErrorIllegalArgument:
        return "kAXErrorIllegalArgument";
    case ax::kAXErrorInvalidUIElement:
        return "kAXErrorInvalidUIElement";
    case ax::kAXErrorCannotComplete:
        return "kAXErrorCannotComplete";
    case ax::kAXErrorAttributeUnsupported:
        return "kAXErrorAttributeUnsupported";
    case ax::kAXErrorActionUnsupported:
        return "kAXErrorActionUnsupported";
    case ax::kAXErrorAPIDisabled:
        return "kAXErrorAPIDisabled";
    case ax::kAXErrorNoValue:
        return "kAXErrorNoValue";
    default:
        return platform::format("AXError %d", error);
    }
}

// ---- Resolving.

const Element* PathResolver::element(const ax::AXUIElementRef& ref, ax::AXError* status) {
    auto it = m_cache.find(ref->id);
    if (it != m_cache.end()) return &it->second;
    if (++m_visited > kMaxVisited) {
        *status = ax::kAXErrorFailure;
        return nullptr;
    }
    Element e;
    ax::AXError error = readElement(ref, &e);
    if (error == ax::kAXErrorInvalidUIElement && ref->id != 0) return nullptr; // gone meanwhile: skipped
    if (error != ax::kAXErrorSuccess) {
        *status = error;
        return nullptr;
    }
    return &m_cache.emplace(ref->id, std::move(e)).first->second;
}

bool PathResolver::subtreeHasText(const Element& e, const std::string& text, int depth, ax::AXError* status) {
    if (e.title == text || e.description == text || (e.value && valueText(*e.value) == text)) return true;
    if (depth > kMaxDepth) return false;
    for (const auto& child : e.children) {
        const Element* c = element(child, status);
        if (*status != ax::kAXErrorSuccess) return false;
        if (c && subtreeHasText(*c, text, depth + 1, status)) return true;
    }
    return false;
}

bool PathResolver::matches(const PathSegment& s, const Element& e, const Element* parent,
                           ax::AXError* status) {
    switch (s.kind) {
    case PathSegment::Identifier:
        return e.identifier == s.identifier;
    case PathSegment::Text:
        return e.title == *s.text || e.description == *s.text || (e.value && valueText(*e.value) == *s.text);
    case PathSegment::Role: {
        if (!s.identifier.empty() && e.identifier != s.identifier) return false;
        if (!s.role.empty()) {
            if (e.role != s.role || (!s.subrole.empty() && e.subrole != s.subrole)) return false;
            return !s.text || e.title == *s.text || e.description == *s.text ||
                   (e.value && valueText(*e.value) == *s.text);
        }
        const KindRole* k = kindRole(s.kindName);
        if (e.role != k->role || (k->subrole && e.subrole != k->subrole)) return false;
        if (s.kindName == "item") {
            if (!parent || parent->role != "AXList") return false;
            return !s.text || subtreeHasText(e, *s.text, 0, status);
        }
        return !s.text || e.title == *s.text || e.description == *s.text ||
               (e.value && valueText(*e.value) == *s.text);
    }
    }
    return false;
}

const Element* PathResolver::search(const Element& start, const PathSegment& segment, ax::AXError* status) {
    struct Frame {
        const Element* parent;
        ax::AXUIElementRef ref;
        int depth;
    };
    std::vector<Frame> stack;
    for (auto it = start.children.rbegin(); it != start.children.rend(); ++it)
        stack.push_back({&start, *it, 1});
    size_t seen = 0;
    while (!stack.empty()) {
        Frame f = stack.back();
        stack.pop_back();
        const Element* e = element(f.ref, status);
        if (*status != ax::kAXErrorSuccess) return nullptr;
        if (!e) continue;
        if (matches(segment, *e, f.parent, status) && seen++ == segment.index) return e;
        if (*status != ax::kAXErrorSuccess) return nullptr;
        if (f.depth >= kMaxDepth) continue;
        for (auto it = e->children.rbegin(); it != e->children.rend(); ++it)
            stack.push_back({e, *it, f.depth + 1});
    }
    return nullptr;
}

std::optional<Element> PathResolver::resolve(const std::vector<PathSegment>& path, ax::AXError* status) {
    *status = ax::kAXErrorSuccess;
    const Element* current = element(m_root, status);
    if (!current) {
        if (*status == ax::kAXErrorSuccess) *status = ax::kAXErrorInvalidUIElement;
        return std::nullopt;
    }
    for (const auto& segment : path) {
        current = search(*current, segment, status);
        if (!current) return std::nullopt;
    }
    return *current;
}

} // namespace ctl::ui
