// platformctl's `ui` verbs: operating any application's interface through the accessibility
// export, and the pointer and keyboard, as a person would. Exit statuses: 0 done; 1 no such
// application or element, or refused (the accessibility error's name on stderr); 2 usage;
// 3 platformd unreachable; 4 timed out.
#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/ctl/Platformctl.h"
#include "platform/ctl/UIPaths.h"
#include "platform/foundation/PNG.h"
#include "platform/ipc/Protocol.h"

#include <chrono>
#include <fstream>
#include <ostream>
#include <thread>

namespace ctl {

namespace {

// `ui wait` and `ui menu` read the tree again this often, and give up after this long.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr double kDefaultUIWaitSeconds = 10;
constexpr long long kMaxClicks = 100;

const char* kUIUsage =
    "ui list | tree APP [PATH] [--depth N] | wait APP PATH [--gone|--enabled|--disabled|"
    "--title T|--value V] [--timeout S] | press APP PATH [--action A] | set APP PATH VALUE | "
    "hover|click (APP PATH | --at X Y) [--count N] | key APP (KEY... | --text TEXT) | "
    "menu APP [PATH] [--choose TITLE] [--timeout S] | snapshot APP PATH --png FILE";

bool contains(cg::CGRect r, cg::CGPoint p) {
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

cg::CGPoint centre(cg::CGRect r) {
    return cg::CGPointMake(r.origin.x + r.size.width / 2, r.origin.y + r.size.height / 2);
}

// The front-most on-screen window holding the point (of owner, when not 0): number and owner.
std::optional<std::pair<uint32_t, int64_t>> windowAt(cg::CGPoint point, int64_t owner = 0) {
    auto list = cg::CGWindowListCopyWindowInfo(
        cg::kCGWindowListOptionOnScreenOnly | cg::kCGWindowListExcludeDesktopElements, 0);
    for (size_t i = 0; list && i < list->count(); ++i) {
        const cf::Value& w = *list->at(i);
        cg::CGRect bounds;
        auto number = w.objectForKey(cg::kCGWindowNumber);
        auto pid = w.objectForKey(cg::kCGWindowOwnerPID);
        auto alpha = w.objectForKey(cg::kCGWindowAlpha);
        if (!number || !pid ||
            !cg::CGRectMakeWithDictionaryRepresentation(w.find(cg::kCGWindowBounds), &bounds))
            continue;
        if ((alpha && alpha->doubleValue() <= 0) || !contains(bounds, point)) continue;
        if (owner && pid->integerValue() != owner) continue;
        return std::make_pair(uint32_t(number->integerValue()), pid->integerValue());
    }
    return std::nullopt;
}

} // namespace

// The verbs, with the command's streams and requests.
class UIVerbs {
  public:
    explicit UIVerbs(Platformctl& ctl) : c(ctl), out(ctl.m_out), err(ctl.m_err) {}

    int run(const std::vector<std::string>& args) {
        if (args.empty()) return c.usage(kUIUsage);
        const std::string verb = args[0];
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (verb == "list") return list(rest);
        if (verb == "tree") return tree(rest);
        if (verb == "wait") return wait(rest);
        if (verb == "press") return press(rest);
        if (verb == "set") return set(rest);
        if (verb == "hover" || verb == "click") return pointer(rest, verb == "click");
        if (verb == "key") return key(rest);
        if (verb == "menu") return menu(rest);
        if (verb == "snapshot") return snapshot(rest);
        return c.usage("unknown ui verb \"" + verb + "\"\n" + kUIUsage);
    }

  private:
    int refused(ax::AXError error, const std::string& what) {
        err << "platformctl: " << what << ": " << ui::errorName(error) << "\n";
        return kFailure;
    }

    // A path, or a usage error.
    std::optional<std::vector<ui::PathSegment>> path(const std::string& text, int& code) {
        std::string error;
        auto p = ui::parsePath(text, error);
        if (!p) code = c.usage("malformed path '" + text + "': " + error);
        return p;
    }

    // APP: a pid, a bundle identifier or a name among the running applications.
    // Quiet: an unknown application prints nothing (code stays kSuccess).
    std::optional<pid_t> application(const std::string& app, int& code, bool quiet = false) {
        auto result = c.request(ipc::op::runningApplications, cf::Value::emptyDictionary(), code);
        if (!result) return std::nullopt;
        auto pidGiven = parseInteger(app);
        auto apps = result->objectForKey("applications");
        for (size_t i = 0; apps && i < apps->count(); ++i) {
            const cf::Value& a = *apps->at(i);
            int64_t pid = a.objectForKey("pid").value_or(0).integerValue();
            if ((pidGiven && *pidGiven == pid) || a.objectForKey("bundleIdentifier") == cf::Value(app) ||
                a.objectForKey("localizedName") == cf::Value(app))
                return pid_t(pid);
        }
        // A pid platformd does not list may still answer (a test's fake application).
        if (pidGiven && *pidGiven > 0 && *pidGiven <= INT32_MAX) return pid_t(*pidGiven);
        if (quiet) return std::nullopt;
        code = c.fail("no application " + app);
        return std::nullopt;
    }

    // The element the path names below the application, or a failure printed.
    std::optional<ui::Element> find(pid_t pid, const std::vector<ui::PathSegment>& segments,
                                    const std::string& text, int& code) {
        ui::PathResolver resolver(ax::AXUIElementCreateApplication(pid));
        ax::AXError status;
        auto element = resolver.resolve(segments, &status);
        if (!element) {
            code = status != ax::kAXErrorSuccess ? refused(status, text) : c.fail("no element " + text);
            return std::nullopt;
        }
        code = kSuccess;
        return element;
    }

    // APP and PATH from the positionals; each failure printed.
    struct Target {
        pid_t pid = 0;
        ui::Element element;
    };
    std::optional<Target> target(const std::string& app, const std::string& pathText, int& code) {
        auto segments = path(pathText, code);
        if (!segments) return std::nullopt;
        auto pid = application(app, code);
        if (!pid) return std::nullopt;
        auto element = find(*pid, *segments, pathText, code);
        if (!element) return std::nullopt;
        return Target{*pid, *element};
    }

    int list(const std::vector<std::string>& args) {
        if (!c.parse(args, {}, 0, 0)) return kUsage;
        int code;
        auto result = c.request(ipc::op::runningApplications, cf::Value::emptyDictionary(), code);
        if (!result) return code;
        auto apps = result->objectForKey("applications");
        // The window server holds activation: the one active application, whatever each
        // process believes of itself.
        const int32_t activePid = cg::CGSActiveApplicationPID();
        for (size_t i = 0; apps && i < apps->count(); ++i) {
            const cf::Value& a = *apps->at(i);
            auto element =
                ax::AXUIElementCreateApplication(pid_t(a.objectForKey("pid").value_or(0).integerValue()));
            ax::AXAttributeValue windows;
            if (ax::AXUIElementCopyAttributeValue(element, "AXWindows", &windows) != ax::kAXErrorSuccess)
                continue; // not answering accessibility
            auto* list = std::get_if<std::vector<ax::AXUIElementRef>>(&windows);
            std::string bundle = plainText(a.objectForKey("bundleIdentifier").value_or(""));
            out << element->pid << "\t" << (bundle.empty() ? "-" : bundle) << "\t"
                << plainText(a.objectForKey("localizedName").value_or("")) << "\t"
                << (activePid != 0 && element->pid == activePid ? "active" : "-")
                << "\twindows=" << (list ? list->size() : 0) << "\n";
        }
        return kSuccess;
    }

    void printTree(ui::PathResolver& resolver, const ui::Element& e, int depth, int maxDepth) {
        out << std::string(size_t(depth) * 2, ' ') << ui::treeLine(e) << "\n";
        if (depth >= maxDepth) return;
        for (const auto& child : e.children) {
            ax::AXError status = ax::kAXErrorSuccess;
            if (const ui::Element* sub = resolver.element(child, &status))
                printTree(resolver, *sub, depth + 1, maxDepth);
        }
    }

    int tree(const std::vector<std::string>& args) {
        auto a = c.parse(args, {{"depth"}}, 1, 2);
        if (!a) return kUsage;
        std::string error;
        auto depth = a->integer("depth", error);
        if (!error.empty() || (depth && (*depth < 0 || *depth > 1000)))
            return c.usage(error.empty() ? "--depth takes 0 to 1000" : error);
        int code;
        std::optional<std::vector<ui::PathSegment>> segments;
        if (a->positionals().size() == 2 && !(segments = path(a->positionals()[1], code))) return code;
        auto pid = application(a->positionals()[0], code);
        if (!pid) return code;
        ui::PathResolver resolver(ax::AXUIElementCreateApplication(*pid));
        ax::AXError status;
        auto root = resolver.resolve(segments.value_or(std::vector<ui::PathSegment>{}), &status);
        if (!root)
            return status != ax::kAXErrorSuccess ? refused(status, a->positionals().back())
                                                 : c.fail("no element " + a->positionals()[1]);
        printTree(resolver, *root, 0, int(depth.value_or(1000)));
        return kSuccess;
    }

    int wait(const std::vector<std::string>& args) {
        auto a = c.parse(
            args,
            {{"gone", false}, {"enabled", false}, {"disabled", false}, {"title"}, {"value"}, {"timeout"}}, 2,
            2);
        if (!a) return kUsage;
        std::string error;
        auto timeout = a->seconds("timeout", error);
        if (!error.empty()) return c.usage(error);
        int conditions =
            a->has("gone") + a->has("enabled") + a->has("disabled") + a->has("title") + a->has("value");
        if (conditions > 1) return c.usage("ui wait takes one condition");
        int code;
        auto segments = path(a->positionals()[1], code);
        if (!segments) return code;
        const auto deadline = platform::now() + platform::seconds(timeout.value_or(kDefaultUIWaitSeconds));
        for (;;) {
            // The application may not have started yet.
            auto pid = application(a->positionals()[0], code, true);
            if (code != kSuccess) return code;
            ax::AXError status = ax::kAXErrorInvalidUIElement;
            std::optional<ui::Element> element;
            if (pid) {
                ui::PathResolver resolver(ax::AXUIElementCreateApplication(*pid));
                element = resolver.resolve(*segments, &status);
            }
            bool met = false;
            if (a->has("gone")) {
                met = !element && (status == ax::kAXErrorSuccess || status == ax::kAXErrorInvalidUIElement);
            } else if (element) {
                met = (!a->has("enabled") || element->enabled) &&
                      (!a->has("disabled") || !element->enabled) &&
                      (!a->has("title") || element->title == *a->value("title")) &&
                      (!a->has("value") ||
                       (element->value && ui::valueText(*element->value) == *a->value("value")));
            }
            if (met) {
                if (element) out << ui::treeLine(*element) << "\n";
                return kSuccess;
            }
            if (status == ax::kAXErrorAPIDisabled) return refused(status, a->positionals()[1]);
            if (platform::now() >= deadline) {
                err << "platformctl: timed out waiting for " << a->positionals()[1] << "\n";
                return kTimedOut;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }

    int press(const std::vector<std::string>& args) {
        auto a = c.parse(args, {{"action"}}, 2, 2);
        if (!a) return kUsage;
        std::string action = a->value("action").value_or(ax::kAXPressAction);
        if (action != ax::kAXPressAction && action != ax::kAXShowMenuAction &&
            action != ax::kAXCancelAction && action != ax::kAXRaiseAction)
            return c.usage("unknown action " + action + " (AXPress, AXShowMenu, AXCancel, AXRaise)");
        int code;
        auto t = target(a->positionals()[0], a->positionals()[1], code);
        if (!t) return code;
        ax::AXError status = ax::AXUIElementPerformAction(t->element.ref, action);
        return status == ax::kAXErrorSuccess ? kSuccess : refused(status, a->positionals()[1]);
    }

    int set(const std::vector<std::string>& args) {
        auto a = c.parse(args, {}, 3, 3);
        if (!a) return kUsage;
        int code;
        auto t = target(a->positionals()[0], a->positionals()[1], code);
        if (!t) return code;
        // The text becomes a number where the element holds a number and the text is one.
        const std::string& text = a->positionals()[2];
        cf::Value value(text);
        if (t->element.value && t->element.value->isNumber()) {
            if (auto n = parseInteger(text))
                value = cf::Value(int64_t(*n));
            else if (auto r = parseReal(text))
                value = cf::Value(*r);
        } else if (t->element.value && t->element.value->isBoolean() && (text == "0" || text == "1")) {
            value = cf::Value(text == "1");
        }
        ax::AXError status = ax::AXUIElementSetAttributeValue(t->element.ref, "AXValue", value);
        return status == ax::kAXErrorSuccess ? kSuccess : refused(status, a->positionals()[1]);
    }

    int pointer(const std::vector<std::string>& args, bool click) {
        auto a = c.parse(args, {{"at"}, {"count"}}, 1, 2);
        if (!a) return kUsage;
        std::string error;
        auto count = a->integer("count", error);
        if (!error.empty() || (count && (*count < 1 || *count > kMaxClicks)))
            return c.usage(error.empty() ? "--count takes 1 to 100" : error);
        cg::CGPoint point;
        int code;
        if (a->has("at")) {
            auto x = coordinate(*a->value("at"));
            auto y = a->positionals().size() == 1 ? coordinate(a->positionals()[0]) : std::nullopt;
            if (!x || !y) return c.usage("--at takes X Y, finite coordinates");
            point = cg::CGPointMake(*x, *y);
        } else {
            if (a->positionals().size() != 2) return c.usage("give APP PATH or --at X Y");
            auto t = target(a->positionals()[0], a->positionals()[1], code);
            if (!t) return code;
            if (!t->element.frame) return refused(ax::kAXErrorNoValue, a->positionals()[1]);
            point = centre(*t->element.frame);
        }
        auto source = cg::CGEventSourceCreate(cg::kCGEventSourceStateHIDSystemState);
        // A hover is N moves to the point; a click one move, then N down/up pairs.
        for (long long i = 1; i <= (click ? 1 : count.value_or(1)); ++i)
            cg::CGEventPost(cg::kCGHIDEventTap, cg::CGEventCreateMouseEvent(source, cg::kCGEventMouseMoved,
                                                                            point, cg::kCGMouseButtonLeft));
        for (long long i = 1; click && i <= count.value_or(1); ++i) {
            for (auto type : {cg::kCGEventLeftMouseDown, cg::kCGEventLeftMouseUp}) {
                auto event = cg::CGEventCreateMouseEvent(source, type, point, cg::kCGMouseButtonLeft);
                cg::CGEventSetIntegerValueField(event, cg::kCGMouseEventClickState, i);
                cg::CGEventPost(cg::kCGHIDEventTap, event);
            }
        }
        if (auto w = windowAt(point))
            out << "window " << w->first << " pid " << w->second << "\n";
        else
            out << "window none\n";
        return kSuccess;
    }

    static void postKey(const cg::CGEventSourceRef& source, uint16_t code, bool down, uint64_t flags,
                        const std::u16string* text = nullptr) {
        auto event = cg::CGEventCreateKeyboardEvent(source, code, down);
        cg::CGEventSetFlags(event, flags);
        if (text) cg::CGEventKeyboardSetUnicodeString(event, text->size(), text->data());
        cg::CGEventPost(cg::kCGHIDEventTap, event);
    }

    // Down and up inside its modifiers, pressed in order and released in reverse.
    static void type(const cg::CGEventSourceRef& source, const ui::KeyStroke& k, const std::u16string* text) {
        auto modifiers = ui::modifierKeys(k.flags);
        uint64_t flags = 0;
        for (auto& [code, flag] : modifiers) {
            flags |= flag;
            postKey(source, code, true, flags);
        }
        postKey(source, k.keyCode, true, flags, text);
        postKey(source, k.keyCode, false, flags, text);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
            flags &= ~it->second;
            postKey(source, it->first, false, flags);
        }
    }

    int key(const std::vector<std::string>& args) {
        auto a = c.parse(args, {{"text"}}, 1, 64);
        if (!a) return kUsage;
        std::vector<ui::KeyStroke> strokes;
        for (size_t i = 1; i < a->positionals().size(); ++i) {
            std::string error;
            auto k = ui::parseKey(a->positionals()[i], error);
            if (!k) return c.usage(error);
            strokes.push_back(*k);
        }
        if (strokes.empty() == !a->has("text")) return c.usage("ui key takes keys or --text TEXT");
        std::u16string text;
        if (auto t = a->value("text")) {
            if (t->size() > 4096) return c.usage("--text is longer than 4096 bytes");
            for (unsigned char ch : *t) {
                if (ch >= 0x80) return c.usage("--text takes ASCII text");
                text += char16_t(ch);
            }
        }
        int code;
        auto pid = application(a->positionals()[0], code);
        if (!pid) return code;
        ax::AXError status = ax::AXUIElementSetAttributeValue(ax::AXUIElementCreateApplication(*pid),
                                                              "AXFrontmost", cf::Value(true));
        if (status != ax::kAXErrorSuccess) return refused(status, a->positionals()[0]);
        // The application activates itself after answering; the window server is told here too,
        // so the keys posted next already find it active.
        if (cg::CGSActivateApplicationOfPID(int32_t(*pid)) != cg::kCGErrorSuccess)
            platform::log("platformctl: the window server did not activate pid %d", int(*pid));
        auto source = cg::CGEventSourceCreate(cg::kCGEventSourceStateHIDSystemState);
        for (const auto& k : strokes)
            type(source, k, nullptr);
        for (char16_t ch : text) {
            std::u16string one(1, ch);
            type(source, ui::keyForCharacter(ch).value_or(ui::KeyStroke{}), &one);
        }
        return kSuccess;
    }

    // The first open menu of the application: its element, read.
    std::optional<ui::Element> openMenu(pid_t pid, ax::AXError* status) {
        ui::PathResolver resolver(ax::AXUIElementCreateApplication(pid));
        return resolver.resolve({ui::PathSegment::ofKind("menu")}, status);
    }

    int menu(const std::vector<std::string>& args) {
        auto a = c.parse(args, {{"choose"}, {"timeout"}}, 1, 2);
        if (!a) return kUsage;
        std::string error;
        auto timeout = a->seconds("timeout", error);
        if (!error.empty()) return c.usage(error);
        int code;
        std::optional<pid_t> pid;
        if (a->positionals().size() == 2) {
            auto t = target(a->positionals()[0], a->positionals()[1], code);
            if (!t) return code;
            pid = t->pid;
            std::vector<std::string> actions;
            ax::AXUIElementCopyActionNames(t->element.ref, &actions);
            bool showMenu = std::find(actions.begin(), actions.end(), ax::kAXShowMenuAction) != actions.end();
            ax::AXError status = ax::AXUIElementPerformAction(t->element.ref, showMenu ? ax::kAXShowMenuAction
                                                                                       : ax::kAXPressAction);
            if (status != ax::kAXErrorSuccess) return refused(status, a->positionals()[1]);
        } else if (!(pid = application(a->positionals()[0], code))) {
            return code;
        }
        const auto deadline = platform::now() + platform::seconds(timeout.value_or(kDefaultUIWaitSeconds));
        ax::AXError status = ax::kAXErrorSuccess;
        std::optional<ui::Element> menu;
        while (!(menu = openMenu(*pid, &status))) {
            if (status != ax::kAXErrorSuccess && status != ax::kAXErrorInvalidUIElement)
                return refused(status, "menu");
            if (platform::now() >= deadline) {
                err << "platformctl: no menu opened\n";
                return kTimedOut;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        // The menu's items, depth-first.
        ui::PathResolver resolver(menu->ref);
        std::vector<ui::Element> items;
        ui::PathSegment item = ui::PathSegment::ofKind("menuitem");
        for (;; ++item.index) {
            auto found = resolver.resolve({item}, &status);
            if (!found) break;
            items.push_back(*found);
        }
        if (status != ax::kAXErrorSuccess) return refused(status, "menu");
        auto itemLine = [](const ui::Element& i) {
            bool checked = i.markChar.empty()
                               ? (i.value && i.value->isNumber() && i.value->doubleValue() != 0)
                               : i.markChar == "\u2713";
            return "menuitem \"" + i.title + "\"" + (i.enabled ? "" : " disabled") +
                   (checked ? " checked" : "") + (i.identifier.empty() ? "" : " #" + i.identifier) + "\n";
        };
        if (!a->has("choose")) {
            for (const auto& i : items)
                out << itemLine(i);
            return kSuccess;
        }
        // Choosing prints the one item chosen, as it stood when pressed.
        const ui::Element* chosen = nullptr;
        for (const auto& i : items)
            if (!chosen && i.title == *a->value("choose")) chosen = &i;
        if (!chosen) return c.fail("no menu item \"" + *a->value("choose") + "\"");
        status = ax::AXUIElementPerformAction(chosen->ref, ax::kAXPressAction);
        if (status != ax::kAXErrorSuccess) return refused(status, "menuitem \"" + chosen->title + "\"");
        out << itemLine(*chosen);
        return kSuccess;
    }

    // The window server's number of the element's window: the application's window whose
    // bounds are the window element's frame (the two are the same doubles), else the front-most
    // of its windows under the element's centre.
    std::optional<uint32_t> windowNumberOf(const ui::Element& element, pid_t pid) {
        ax::AXAttributeValue windowValue;
        ax::AXUIElementRef windowRef = element.ref;
        if (ax::AXUIElementCopyAttributeValue(element.ref, "AXWindow", &windowValue) == ax::kAXErrorSuccess)
            if (auto* w = std::get_if<ax::AXUIElementRef>(&windowValue)) windowRef = *w;
        ui::Element window;
        auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionOnScreenOnly, 0);
        if (ui::readElement(windowRef, &window) == ax::kAXErrorSuccess && window.frame && list) {
            for (size_t i = 0; i < list->count(); ++i) {
                const cf::Value& w = *list->at(i);
                cg::CGRect bounds;
                auto number = w.objectForKey(cg::kCGWindowNumber);
                auto owner = w.objectForKey(cg::kCGWindowOwnerPID);
                if (number && owner && owner->integerValue() == pid &&
                    cg::CGRectMakeWithDictionaryRepresentation(w.find(cg::kCGWindowBounds), &bounds) &&
                    cg::CGRectEqualToRect(bounds, *window.frame))
                    return uint32_t(number->integerValue());
            }
        }
        auto under = windowAt(centre(*element.frame), pid);
        return under ? std::optional<uint32_t>(under->first) : std::nullopt;
    }

    // The picture of a window element with its sheets and child windows (the windows the tree
    // lists under it) drawn over it where they lie, as the display shows them; other elements'
    // pictures as they are.
    cg::CGImageRef withAttachedWindows(const ui::Element& element, pid_t pid, cg::CGRect frame,
                                       cg::CGImageRef image) {
        if (element.role != "AXWindow" && element.role != "AXSheet") return image;
        const size_t width = cg::CGImageGetWidth(image), height = cg::CGImageGetHeight(image);
        const double scale = double(width) / frame.size.width;
        cg::CGContextRef context = nullptr;
        for (const auto& childRef : element.children) {
            ui::Element child;
            if (ui::readElement(childRef, &child) != ax::kAXErrorSuccess || !child.frame ||
                (child.role != "AXSheet" && child.role != "AXWindow"))
                continue;
            auto number = windowNumberOf(child, pid);
            auto picture =
                number ? cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow,
                                                     *number, cg::kCGWindowImageDefault)
                       : nullptr;
            if (!picture) continue;
            if (!context) {
                context = cg::CGBitmapContextCreate(
                    nullptr, width, height, 8, 0, cg::CGColorSpaceCreateDeviceRGB(),
                    cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
                if (!context) return image;
                cg::CGContextSetBlendMode(context, cg::kCGBlendModeCopy);
                cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, double(width), double(height)), image);
                cg::CGContextSetBlendMode(context, cg::kCGBlendModeNormal);
            }
            // The context counts up from the bottom; the frames count down from the top.
            const cg::CGRect f = *child.frame;
            cg::CGContextDrawImage(
                context,
                cg::CGRectMake((f.origin.x - frame.origin.x) * scale,
                               (frame.origin.y + frame.size.height - f.origin.y - f.size.height) * scale,
                               f.size.width * scale, f.size.height * scale),
                picture);
        }
        if (!context) return image;
        auto composed = cg::CGBitmapContextCreateImage(context);
        return composed ? composed : image;
    }

    int snapshot(const std::vector<std::string>& args) {
        auto a = c.parse(args, {{"png"}}, 2, 2);
        if (!a) return kUsage;
        if (!a->has("png")) return c.usage("ui snapshot needs --png FILE");
        int code;
        auto t = target(a->positionals()[0], a->positionals()[1], code);
        if (!t) return code;
        if (!t->element.frame || cg::CGRectIsEmpty(*t->element.frame))
            return refused(ax::kAXErrorNoValue, a->positionals()[1]);
        const cg::CGRect frame = *t->element.frame;
        auto window = windowNumberOf(t->element, t->pid);
        if (!window) return c.fail("no window of the application shows " + a->positionals()[1]);
        auto image = cg::CGWindowListCreateImage(frame, cg::kCGWindowListOptionIncludingWindow, *window,
                                                 cg::kCGWindowImageDefault);
        if (!image) return c.fail("window " + std::to_string(*window) + " has no picture");
        image = withAttachedWindows(t->element, t->pid, frame, image);
        platform::Error error;
        auto png = png::encode(cg::CGImageGetBytePtr(image), uint32_t(cg::CGImageGetWidth(image)),
                               uint32_t(cg::CGImageGetHeight(image)), cg::CGImageGetBytesPerRow(image),
                               png::PixelFormat::PremultipliedBGRA, &error);
        if (!png) return c.fail("cannot encode the picture: " + error.localizedDescription());
        const std::string file = *a->value("png");
        std::ofstream f(file, std::ios::binary);
        f.write(reinterpret_cast<const char*>(png->data()), std::streamsize(png->size()));
        if (!f.flush()) return c.fail("cannot write " + file);
        out << file << " " << cg::CGImageGetWidth(image) << "x" << cg::CGImageGetHeight(image) << "\n";
        return kSuccess;
    }

    Platformctl& c;
    std::ostream& out;
    std::ostream& err;
};

int Platformctl::ui(const std::vector<std::string>& args) {
    // Usage errors come before platformd is asked anything: the connection is made on the
    // first request.
    return withWindowServer(
        [&] {
            UIVerbs verbs(*this);
            return verbs.run(args);
        },
        false);
}

} // namespace ctl
