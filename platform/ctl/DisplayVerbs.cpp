// platformctl's display verbs: what the window server shows, its modes, configuration
// transactions, the cursor hooks and damage. The Core Graphics calls reach platformd through
// platformctl's own connection, so the facade answers exactly as a product process sees it.
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/ctl/Platformctl.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>

namespace ctl {

namespace {

// One display as a line; texts quoted, as names and locations hold spaces.
std::string displayLine(const windowserver::DisplayInfo& d) {
    const cg::CGRect& b = d.bounds;
    return platform::format(
        "id=0x%x bounds=%g,%g,%g,%g serial=0x%08x vendor=0x%04x model=0x%04x mode=%d vblanks=%llu "
        "name=\"%@\" location=\"%@\"",
        d.displayID, b.origin.x, b.origin.y, b.size.width, b.size.height, d.serialNumber, d.vendorNumber,
        d.modelNumber, d.ioModeID, static_cast<unsigned long long>(d.vblankCount), d.name, d.location);
}

// What the facade answers of one display, then its modes.
std::string facadeLines(cg::CGDirectDisplayID id) {
    cg::CGRect b = cg::CGDisplayBounds(id);
    auto current = cg::CGDisplayCopyDisplayMode(id);
    std::string out = platform::format("  facade bounds=%g,%g,%g,%g pixels=%zux%zu scale=%g\n", b.origin.x,
                                       b.origin.y, b.size.width, b.size.height, cg::CGDisplayPixelsWide(id),
                                       cg::CGDisplayPixelsHigh(id), current ? current->resolution : 0.0);
    cf::Value all = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
    auto modes = cg::CGDisplayCopyAllDisplayModes(id, &all);
    for (size_t n = 0; modes && n < modes->size(); ++n) {
        const cg::CGDisplayMode& m = *(*modes)[n];
        bool isCurrent = current && current->number == m.number;
        out += platform::format("  mode %zu %ux%u pixels=%ux%u scale=%g io=%d refresh=%g%s\n", n, m.width,
                                m.height, m.pixelWidth, m.pixelHeight, m.resolution, m.ioDisplayModeID,
                                m.refreshRate, isCurrent ? " current" : "");
    }
    return out;
}

} // namespace

// 0x102 or 258.
std::optional<uint32_t> displayID(const std::string& text) {
    if (text.empty() || text[0] == '-') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || !end || *end || v > UINT32_MAX) return std::nullopt;
    return uint32_t(v);
}

std::optional<double> coordinate(const std::string& text) {
    auto v = parseReal(text);
    if (!v || !std::isfinite(*v) || std::fabs(*v) > 1e6) return std::nullopt;
    return v;
}

namespace {

// The facade's requests on platformctl's connection (with the descriptors of a window image).
class CtlTransport : public cg::WindowServerTransport {
  public:
    using Send = std::function<std::optional<cf::Value>(std::string_view, const cf::Value&,
                                                        std::vector<ipc::UniqueFd>*)>;
    explicit CtlTransport(Send send) : m_send(std::move(send)) {}
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        return m_send(op, args, nullptr);
    }
    std::optional<cf::Value> requestWithDescriptors(std::string_view op, const cf::Value& args,
                                                    std::vector<ipc::UniqueFd>* fds) override {
        return m_send(op, args, fds);
    }
    void setPushHandler(PushHandler) override {}

  private:
    Send m_send;
};

} // namespace

int Platformctl::withWindowServer(const std::function<int()>& body, bool connectFirst) {
    if (connectFirst && !connect()) return kUnreachable;
    int lastCode = kSuccess;
    auto previous = cg::CGSCurrentWindowServerTransport();
    cg::CGSSetWindowServerTransport(std::make_shared<CtlTransport>(
        [this, &lastCode](std::string_view op, const cf::Value& args, std::vector<ipc::UniqueFd>* fds) {
            int code;
            auto result = request(op, args, code, fds);
            if (!result) lastCode = code;
            return result;
        }));
    int code = body();
    cg::CGSSetWindowServerTransport(previous);
    return lastCode != kSuccess ? lastCode : code;
}

int Platformctl::displays(const std::vector<std::string>& args) {
    auto parsed = parse(args, {{"modes", false}}, 0, 0);
    if (!parsed) return kUsage;
    int code;
    auto result = request(windowserver::op::displays, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    const cf::Value* list = result->find("displays");
    std::vector<windowserver::DisplayInfo> displays;
    for (size_t i = 0; list && i < list->count(); ++i) {
        auto display = windowserver::DisplayInfo::fromValue(*list->at(i));
        if (!display) return fail("platformd answered a malformed display record");
        displays.push_back(*display);
    }
    return withWindowServer([&] {
        for (auto& display : displays) {
            m_out << displayLine(display) << "\n";
            if (parsed->has("modes")) m_out << facadeLines(display.displayID);
        }
        return kSuccess;
    });
}

int Platformctl::configure(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 2, 3);
    if (!parsed) return kUsage;
    const auto& p = parsed->positionals();
    auto id = displayID(p[0]);
    if (!id) return usage("configure: \"" + p[0] + "\" is no display id (0x102 or 258)");
    const std::string& what = p[1];
    if (what == "unmirror" ? p.size() != 2 : p.size() != 3)
        return usage("configure <id> mode <number> | mirror <master> | unmirror");
    return withWindowServer([&]() -> int {
        cg::CGDisplayConfigRef config = nullptr;
        cg::CGError error = cg::CGBeginDisplayConfiguration(&config);
        if (error)
            return fail(platform::format("configure: cannot begin a configuration: CGError %d", error));
        if (what == "mode") {
            auto number = parseInteger(p[2]);
            cf::Value all = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
            auto modes = cg::CGDisplayCopyAllDisplayModes(*id, &all);
            if (!modes || !number || *number < 0 || size_t(*number) >= modes->size()) {
                cg::CGCancelDisplayConfiguration(config);
                return fail(platform::format("configure: display 0x%x has no mode %@: CGError %d", *id, p[2],
                                             cg::kCGErrorIllegalArgument));
            }
            error = cg::CGConfigureDisplayWithDisplayMode(config, *id, (*modes)[size_t(*number)], nullptr);
        } else if (what == "mirror") {
            auto master = displayID(p[2]);
            if (!master) {
                cg::CGCancelDisplayConfiguration(config);
                return usage("configure: \"" + p[2] + "\" is no display id");
            }
            error = cg::CGConfigureDisplayMirrorOfDisplay(config, *id, *master);
        } else if (what == "unmirror") {
            error = cg::CGConfigureDisplayMirrorOfDisplay(config, *id, cg::kCGNullDirectDisplay);
        } else {
            cg::CGCancelDisplayConfiguration(config);
            return usage("configure <id> mode <number> | mirror <master> | unmirror");
        }
        if (!error) {
            error = cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigurePermanently);
        } else {
            cg::CGCancelDisplayConfiguration(config);
        }
        if (error) return fail(platform::format("configure: refused: CGError %d", error));
        if (what == "mode") return changed(platform::format("display %@ in mode %@", p[0], p[2]));
        if (what == "mirror") return changed(platform::format("display %@ mirrors %@", p[0], p[2]));
        return changed(platform::format("display %@ mirrors nothing", p[0]));
    });
}

int Platformctl::cursor(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 1, 3);
    if (!parsed) return kUsage;
    const auto& p = parsed->positionals();
    const char* usageText = "cursor move X Y | hide | show | image arrow|ibeam|invisible";
    if (p[0] == "move") {
        if (p.size() != 3) return usage(usageText);
        auto x = coordinate(p[1]), y = coordinate(p[2]);
        if (!x || !y) return usage("cursor move: X and Y are finite numbers");
        return withWindowServer([&] {
            cg::CGError e = cg::CGSMoveCursor(cg::CGPointMake(*x, *y));
            return e ? fail(platform::format("cursor move: CGError %d", e))
                     : changed(platform::format("cursor moved to %g,%g", *x, *y));
        });
    }
    if (p[0] == "hide" || p[0] == "show") {
        if (p.size() != 1) return usage(usageText);
        int code;
        // The hook's own count, which outlives this process.
        auto result = request(windowserver::op::cursorHide,
                              cf::Dictionary{{"hide", p[0] == "hide"}, {"hook", true}}, code);
        if (!result) return code;
        return changed(p[0] == "hide" ? "cursor hidden" : "cursor shown");
    }
    if (p[0] == "image") {
        if (p.size() != 2) return usage(usageText);
        cg::CGSSystemCursor which;
        if (p[1] == "arrow")
            which = cg::CGSSystemCursor::arrow;
        else if (p[1] == "ibeam")
            which = cg::CGSSystemCursor::iBeam;
        else if (p[1] == "invisible")
            which = cg::CGSSystemCursor::invisible;
        else
            return usage(usageText);
        return withWindowServer([&] {
            cg::CGError e = cg::CGSSetSystemCursor(cg::CGSMainConnectionID(), which);
            return e ? fail(platform::format("cursor image: CGError %d", e))
                     : changed("cursor image " + p[1]);
        });
    }
    return usage(usageText);
}

int Platformctl::damage(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 4, 4);
    if (!parsed) return kUsage;
    const auto& p = parsed->positionals();
    auto x = coordinate(p[0]), y = coordinate(p[1]), w = coordinate(p[2]), h = coordinate(p[3]);
    if (!x || !y || !w || !h || *w < 0 || *h < 0)
        return usage("damage X Y W H: finite numbers, W and H not negative");
    return withWindowServer([&] {
        cg::CGError e = cg::CGSDamageRect(cg::CGRectMake(*x, *y, *w, *h));
        return e ? fail(platform::format("damage: CGError %d", e))
                 : changed(platform::format("damaged %g,%g %gx%g", *x, *y, *w, *h));
    });
}

} // namespace ctl
