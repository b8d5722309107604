// The facade's requests as the window server answers them (WindowServerProtocol.h). Every
// argument is checked for kind and range first; a malformed request is refused, logged, and
// changes nothing.
#include "platform/core/Log.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerArgs.h"
#include "platform/windowserver/WindowServerInternal.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>

namespace windowserver {

using namespace requestargs;

namespace {

cf::Value modeValue(const ListedMode& m, size_t number) {
    return cf::Dictionary{{"number", int64_t(number)},
                          {"width", m.width()},
                          {"height", m.height()},
                          {"pixelWidth", m.driver.width},
                          {"pixelHeight", m.driver.height},
                          {"resolution", m.scale},
                          {"ioMode", m.driver.ioModeID},
                          {"ioFlags", m.driver.flags},
                          {"refresh", int64_t(m.driver.refreshRate)}};
}

} // namespace

void WindowServer::dispatch(Client& client, std::string_view op, const cf::Value& args, Reply& reply) {
    if (!args.isDictionary()) {
        reply(std::nullopt, std::string(op) + ": the arguments are not a dictionary");
        return;
    }
    if (op.starts_with("ax.")) return accessibilityRequest(client, op, args, reply);
    if (op == op::configure) return configureRequest(client, args, reply);
    if (op == op::streamStart || op == op::streamStop || op == op::poison)
        return streamRequest(client, op, args, reply);
    if (op.starts_with("ws.cursor")) return cursorRequest(client, op, args, reply);
    if (op == op::newWindow || op == op::setWindow || op == op::releaseWindow || op == op::windowList ||
        op == op::windowDescriptions)
        return windowRequest(client, op, args, reply);
    if (op == op::activate || op == op::activeApplication || op == op::setKeyWindow ||
        op == op::setEventMonitor || op == op::alertBegin || op == op::alertEnd || op == op::alerts)
        return applicationRequest(client, op, args, reply);
    if (op == op::flushWindow) return flushRequest(client, args, reply);
    if (op == op::windowImage) return windowImageRequest(client, args, reply);
    displayRequest(client, op, args, reply);
}

void WindowServer::displayRequest(Client& client, std::string_view op, const cf::Value& value, Reply& reply) {
    Args args{value, op, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, args.why);
        reply(std::nullopt, args.why);
    };
    if (op == op::connect) return reply(cf::Dictionary{{"cid", client.cid}}, "");
    if (op == op::seed) return reply(cf::Dictionary{{"seed", m_seed}}, "");
    if (op == op::displayList) {
        cf::Array ids;
        for (uint32_t id : onlineIDs())
            ids.push_back(id);
        return reply(cf::Dictionary{{"ids", cf::Value(std::move(ids))}}, "");
    }
    if (op == op::display) {
        auto id = args.integer("display", 0, UINT32_MAX);
        if (!id) return refuse();
        auto record = recordFor(uint32_t(*id), true);
        if (!record) return reply(cf::Value::emptyDictionary(), "");
        return reply(cf::Dictionary{{"display", record->toValue()}}, "");
    }
    if (op == op::modes) {
        auto id = args.integer("display", 0, UINT32_MAX);
        if (!id) return refuse();
        auto current = currentMode(uint32_t(*id));
        if (!current) return reply(status(kCGErrorIllegalArgument), "");
        auto modes = listedModes(uint32_t(*id));
        cf::Array list;
        int64_t currentNumber = -1;
        for (size_t i = 0; i < modes.size(); ++i) {
            list.push_back(modeValue(modes[i], i));
            if (modes[i].driver.ioModeID == current->driver.ioModeID && modes[i].scale == current->scale)
                currentNumber = int64_t(i);
        }
        return reply(cf::Dictionary{{"status", kCGErrorSuccess},
                                    {"modes", cf::Value(std::move(list))},
                                    {"current", currentNumber}},
                     "");
    }
    if (op == op::aliases) {
        auto id = args.integer("display", 0, UINT32_MAX);
        if (!id) return refuse();
        if (!currentMode(uint32_t(*id))) return reply(status(kCGErrorIllegalArgument), "");
        cf::Array ids{int64_t(*id)};
        if (*id == kMainDisplayID)
            for (uint32_t k = 1; k < m_config.displayAliases; ++k)
                ids.push_back(int64_t(kFirstAliasID) + k);
        return reply(cf::Dictionary{{"status", kCGErrorSuccess}, {"ids", cf::Value(std::move(ids))}}, "");
    }
    if (op == op::subscribe) {
        auto reconfiguration = args.boolean("reconfiguration", false);
        auto refresh = args.boolean("refresh", false);
        if (!args.why.empty()) return refuse();
        if (reconfiguration) client.reconfiguration = *reconfiguration;
        if (refresh) {
            client.refresh = *refresh;
            if (!*refresh) {
                client.damage.clear();
                client.awaitingAck = false;
            }
        }
        return reply(cf::Value::emptyDictionary(), "");
    }
    if (op == op::refreshAcknowledge) {
        client.awaitingAck = false;
        if (!client.damage.empty()) scheduleTick();
        return reply(cf::Value::emptyDictionary(), "");
    }
    if (op == op::damage) {
        auto rect = args.rect();
        if (!rect) return refuse();
        addDamage(*rect);
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::draw) {
        auto name = args.text("name", 256, false);
        auto hook = args.boolean("hook", false);
        auto layer = args.integer("layer", -1000, 1000, false);
        auto pattern = args.text("pattern", 16);
        auto number = args.integer("value", 0, 0xFFFFFF);
        std::optional<cg::CGRect> frame;
        if (value.find("display")) {
            auto id = args.integer("display", 0, UINT32_MAX);
            if (!id) return refuse();
            auto d = recordFor(uint32_t(*id), false);
            if (!d) {
                args.why = platform::format("%@: no display %u", op, uint32_t(*id));
                return refuse();
            }
            frame = d->bounds;
        } else {
            frame = args.rect();
        }
        const cf::Bytes* pixels = value.find("pixels") ? value.find("pixels")->asData() : nullptr;
        if (!pattern || !number || !frame || !args.why.empty()) return refuse();
        uint32_t window = 0;
        if (auto why = drawTestWindow(client, hook && *hook, name ? *name : std::string("test"), layer ? int32_t(*layer) : 0,
                                      *frame, *pattern, *number, pixels, &window)) {
            args.why = platform::format("%@: %@", op, *why);
            return refuse();
        }
        return reply(cf::Dictionary{{"status", kCGErrorSuccess}, {"window", window}}, "");
    }
    if (op == op::erase) {
        auto name = args.text("name", 256, false);
        auto hook = args.boolean("hook", false);
        if (!args.why.empty()) return refuse();
        eraseTestWindows(hook && *hook ? 0 : client.cid, name);
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::move) {
        auto name = args.text("name", 256);
        auto hook = args.boolean("hook", false);
        auto x = args.real("x", -kMaxCoordinate, kMaxCoordinate), y = args.real("y", -kMaxCoordinate, kMaxCoordinate);
        if (!name || !x || !y || !args.why.empty()) return refuse();
        Window* window = testWindow(hook && *hook ? 0 : client.cid, *name);
        if (!window) {
            args.why = platform::format("%@: no test window \"%@\"", op, *name);
            return refuse();
        }
        addDamage(window->frame);
        window->frame.origin = cg::CGPointMake(*x, *y);
        addDamage(window->frame);
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::counters) {
        auto id = args.integer("display", 0, UINT32_MAX);
        if (!id) return refuse();
        auto counters = countersOf(uint32_t(*id));
        if (!counters) {
            args.why = platform::format("%@: no display %u", op, uint32_t(*id));
            return refuse();
        }
        return reply(*counters, "");
    }
    args.why = std::string("unknown request ") + std::string(op.substr(0, 64));
    refuse();
}

void WindowServer::configureRequest(Client& client, const cf::Value& value, Reply& reply) {
    Args args{value, op::configure, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op::configure, client.identity.pid,
                      args.why);
        reply(std::nullopt, args.why);
    };
    auto option = args.integer("option", 0, 2);
    const cf::Value* modes = value.find("modes");
    const cf::Value* mirrors = value.find("mirrors");
    if (!option) return refuse();
    if (!modes || !modes->isArray() || !mirrors || !mirrors->isArray() || modes->count() > 64 ||
        mirrors->count() > 64) {
        args.why = "modes and mirrors must be short arrays";
        return refuse();
    }
    Transaction transaction;
    bool foreign = false;
    for (size_t i = 0; i < modes->count(); ++i) {
        Args m{*modes->at(i), op::configure, {}};
        auto display = m.integer("display", 0, UINT32_MAX),
             modeDisplay = m.integer("modeDisplay", 0, UINT32_MAX),
             ioMode = m.integer("ioMode", INT32_MIN, INT32_MAX);
        auto resolution = m.real("resolution", 1, 2);
        if (!display || !modeDisplay || !ioMode || !resolution ||
            (*resolution != 1.0 && *resolution != 2.0)) {
            args.why = m.why.empty() ? "a mode's resolution is neither 1 nor 2" : m.why;
            return refuse();
        }
        if (*display != *modeDisplay) foreign = true;
        ListedMode mode;
        mode.driver.ioModeID = int32_t(*ioMode);
        mode.scale = *resolution;
        transaction.modes.push_back({uint32_t(*display), mode});
    }
    for (size_t i = 0; i < mirrors->count(); ++i) {
        Args m{*mirrors->at(i), op::configure, {}};
        auto display = m.integer("display", 0, UINT32_MAX), master = m.integer("master", 0, UINT32_MAX);
        if (!display || !master) {
            args.why = m.why;
            return refuse();
        }
        transaction.mirrors.emplace_back(uint32_t(*display), uint32_t(*master));
    }
    // A mode of another display changes nothing and calls back nobody.
    if (foreign) return reply(status(kCGErrorIllegalArgument), "");
    reply(status(int32_t(applyTransaction(client.cid, transaction, uint32_t(*option)))), "");
}

void WindowServer::cursorRequest(Client& client, std::string_view op, const cf::Value& value, Reply& reply) {
    Args args{value, op, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, args.why);
        reply(std::nullopt, args.why);
    };
    if (op == op::cursorState)
        return reply(
            cf::Dictionary{{"seed", m_cursor.seed}, {"x", m_cursor.location.x}, {"y", m_cursor.location.y}},
            "");
    if (op == op::cursorData) {
        auto cid = args.integer("cid", INT32_MIN, INT32_MAX);
        if (!cid) return refuse();
        if (!m_clients.count(uint32_t(*cid)) || *cid <= 0) return reply(status(kCGErrorIllegalArgument), "");
        const cg::CGSCursorImage& image = m_cursorImage;
        size_t rowBytes = (size_t(image.width) * 4 + 15) & ~size_t(15);
        cf::Bytes pixels(rowBytes * image.height, 0);
        for (uint32_t y = 0; y < image.height; ++y)
            std::copy_n(&image.pixels[size_t(y) * image.width * 4], size_t(image.width) * 4,
                        &pixels[y * rowBytes]);
        return reply(cf::Dictionary{{"status", kCGErrorSuccess},
                                    {"width", image.width},
                                    {"height", image.height},
                                    {"rowBytes", int64_t(rowBytes)},
                                    {"x", m_cursor.location.x},
                                    {"y", m_cursor.location.y},
                                    {"hotX", image.hotSpot.x},
                                    {"hotY", image.hotSpot.y},
                                    {"pixels", cf::Value(std::move(pixels))}},
                     "");
    }
    if (op == op::cursorImage) {
        if (value.find("system")) {
            auto system = args.integer("system", 0, 2);
            if (!system) return refuse();
            setCursorImage(cg::CGSSystemCursorImage(cg::CGSSystemCursor(*system)));
            return reply(status(kCGErrorSuccess), "");
        }
        auto width = args.integer("width", 1, kMaxCursorSide),
             height = args.integer("height", 1, kMaxCursorSide);
        auto hotX = args.real("hotX", 0, kMaxCursorSide), hotY = args.real("hotY", 0, kMaxCursorSide);
        const cf::Value* pixels = value.find("pixels");
        if (!width || !height || !hotX || !hotY) return refuse();
        cg::CGSCursorImage image;
        image.width = uint32_t(*width);
        image.height = uint32_t(*height);
        image.hotSpot = cg::CGPointMake(*hotX, *hotY);
        if (pixels && pixels->asData()) image.pixels = *pixels->asData();
        if (!image.isValid()) {
            args.why = "the cursor image's pixels or hot spot do not fit its size";
            return refuse();
        }
        setCursorImage(image);
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::cursorMove) {
        auto x = args.real("x", -kMaxCoordinate, kMaxCoordinate),
             y = args.real("y", -kMaxCoordinate, kMaxCoordinate);
        if (!x || !y) return refuse();
        moveCursor(cg::CGPointMake(*x, *y));
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::cursorHide) {
        auto hide = args.boolean("hide");
        auto hook = args.boolean("hook", false);
        if (!hide || !args.why.empty()) return refuse();
        uint32_t& count = hook.value_or(false) ? m_hookHideCount : client.hideCount;
        if (*hide)
            ++count;
        else if (count > 0)
            --count;
        feedCursorEverywhere(false);
        return reply(status(kCGErrorSuccess), "");
    }
    args.why = "unknown request";
    refuse();
}

// ---- Windows.

std::vector<const WindowServer::Window*> WindowServer::windowsInOrder() const {
    std::vector<const Window*> list;
    for (auto& [number, window] : m_windows)
        list.push_back(window.get());
    std::sort(list.begin(), list.end(), [](const Window* a, const Window* b) {
        if (a->level != b->level) return a->level > b->level;
        return a->order > b->order;
    });
    return list;
}

cf::Value WindowServer::windowDescription(const Window& w) const {
    cf::Dictionary d{{"kCGWindowNumber", w.number},
                     {"kCGWindowLayer", w.level},
                     {"kCGWindowOwnerPID", w.ownerPID},
                     {"kCGWindowOwnerName", w.ownerName},
                     {"kCGWindowBounds", cf::Dictionary{{"X", w.frame.origin.x},
                                                        {"Y", w.frame.origin.y},
                                                        {"Width", w.frame.size.width},
                                                        {"Height", w.frame.size.height}}},
                     {"kCGWindowAlpha", w.alpha},
                     {"kCGWindowWorkspace", 1},
                     {"kCGWindowStoreType", 2},
                     {"kCGWindowSharingState", 1}};
    if (!w.title.empty()) d.insert_or_assign("kCGWindowName", w.title);
    if (w.onScreen) d.insert_or_assign("kCGWindowIsOnscreen", true);
    return d;
}

void WindowServer::dropWindow(uint32_t number) {
    auto it = m_windows.find(number);
    if (it == m_windows.end()) return;
    if (it->second->onScreen) addDamage(it->second->frame);
    m_windows.erase(it);
}

void WindowServer::windowRequest(Client& client, std::string_view op, const cf::Value& value, Reply& reply) {
    Args args{value, op, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, args.why);
        reply(std::nullopt, args.why);
    };
    if (op == op::newWindow) {
        auto owner = args.integer("owner", 1, INT32_MAX, false);
        const std::string* title = args.text("title", kMaxTitleBytes);
        auto level = args.integer("level", INT32_MIN, INT32_MAX);
        auto frame = args.rect();
        auto alpha = args.real("alpha", 0, 1);
        auto onScreen = args.boolean("onScreen");
        auto ignoresMouse = args.boolean("ignoresMouse");
        auto nonActivating = args.boolean("nonActivating", false);
        if (!args.why.empty() || !title || !level || !frame || !alpha || !onScreen || !ignoresMouse)
            return refuse();
        auto window = std::make_unique<Window>();
        window->ownerCid = client.cid;
        window->ownerPID = client.identity.pid;
        window->ownerName = client.identity.name;
        if (owner && *owner != client.identity.pid) {
            // Only a fake application this connection registered.
            auto fake = m_fakes.find(int32_t(*owner));
            if (fake == m_fakes.end() || fake->second != client.cid) {
                args.why = "the owner is not this process or one of its fake applications";
                return refuse();
            }
            window->ownerPID = int32_t(*owner);
            auto name = m_fakeNames.find(int32_t(*owner));
            if (name != m_fakeNames.end()) window->ownerName = name->second;
        }
        window->number = m_nextWindow++;
        window->title = *title;
        window->level = int32_t(*level);
        window->frame = *frame;
        window->alpha = *alpha;
        window->onScreen = *onScreen;
        window->ignoresMouse = *ignoresMouse;
        window->nonActivating = nonActivating.value_or(false);
        window->order = ++m_orderStamp;
        if (window->onScreen) addDamage(window->frame);
        uint32_t number = window->number;
        cf::Dictionary answer{{"status", kCGErrorSuccess}, {"window", number}};
        attachStore(client, *window, answer, true);
        m_windows.emplace(number, std::move(window));
        return reply(cf::Value(std::move(answer)), "");
    }
    if (op == op::setWindow || op == op::releaseWindow) {
        auto number = args.integer("window", 0, UINT32_MAX);
        if (!number) return refuse();
        auto it = m_windows.find(uint32_t(*number));
        if (it == m_windows.end() || it->second->ownerCid != client.cid)
            return reply(status(kCGErrorIllegalArgument), "");
        if (op == op::releaseWindow) {
            dropWindow(uint32_t(*number));
            return reply(status(kCGErrorSuccess), "");
        }
        Window& w = *it->second;
        std::optional<cg::CGRect> frame;
        if (value.find("x") || value.find("y") || value.find("width") || value.find("height")) {
            frame = args.rect();
            if (!frame) return refuse();
        }
        const std::string* title = args.text("title", kMaxTitleBytes, false);
        auto onScreen = args.boolean("onScreen", false);
        auto level = args.integer("level", INT32_MIN, INT32_MAX, false);
        auto alpha = args.real("alpha", 0, 1, false);
        auto ignoresMouse = args.boolean("ignoresMouse", false);
        if (!args.why.empty()) return refuse();
        if (w.onScreen) addDamage(w.frame);
        if (frame) w.frame = *frame;
        if (title) w.title = *title;
        if (level) w.level = int32_t(*level);
        if (alpha) w.alpha = *alpha;
        if (ignoresMouse) w.ignoresMouse = *ignoresMouse;
        if (onScreen) {
            w.onScreen = *onScreen;
            if (*onScreen) w.order = ++m_orderStamp;
        }
        if (w.onScreen) addDamage(w.frame);
        cf::Dictionary answer{{"status", kCGErrorSuccess}};
        if (frame && !w.test) attachStore(client, w, answer, false);
        return reply(cf::Value(std::move(answer)), "");
    }
    if (op == op::windowList) {
        auto option = args.integer("option", 0, UINT32_MAX);
        auto relative = args.integer("window", 0, UINT32_MAX);
        if (!option || !relative) return refuse();
        auto ordered = windowsInOrder();
        auto at = std::find_if(ordered.begin(), ordered.end(),
                               [&](const Window* w) { return w->number == *relative; });
        cf::Array out;
        for (auto it = ordered.begin(); it != ordered.end(); ++it) {
            const Window& w = **it;
            if ((*option & 16) && w.level < -1000) continue; // desktop levels
            if (*option & 8) {
                if (w.number != *relative) continue;
            } else {
                if ((*option & 7) && !w.onScreen) continue;
                if ((*option & 2) && (at == ordered.end() || it >= at)) continue;
                if ((*option & 4) && (at == ordered.end() || it <= at)) continue;
            }
            out.push_back(windowDescription(w));
        }
        return reply(cf::Dictionary{{"windows", cf::Value(std::move(out))}}, "");
    }
    if (op == op::windowDescriptions) {
        const cf::Value* ids = value.find("windows");
        if (!ids || !ids->isArray() || ids->count() > kMaxWindowList) {
            args.why = "windows is not an array of window numbers";
            return refuse();
        }
        cf::Array out;
        for (size_t i = 0; i < ids->count(); ++i) {
            auto n = ids->at(i)->storedInteger();
            if (!n) continue;
            auto it = m_windows.find(uint32_t(*n));
            if (*n > 0 && *n <= UINT32_MAX && it != m_windows.end())
                out.push_back(windowDescription(*it->second));
        }
        return reply(cf::Dictionary{{"windows", cf::Value(std::move(out))}}, "");
    }
}

// ---- Accessibility: requests go to the connection answering for the pid.

namespace {

// Several attributes asked at once: 1 to 64 short names.
bool wellFormedAttributeNames(const cf::Value& list) {
    if (!list.isArray() || list.count() == 0 || list.count() > 64) return false;
    for (size_t i = 0; i < list.count(); ++i) {
        const std::string* name = list.at(i)->asString();
        if (!name || name->empty() || name->size() > 256) return false;
    }
    return true;
}

// A setting's encoded value {type "plist", value} holding true (or a non-zero number).
bool setsTrue(const cf::Value& encoded) {
    const cf::Value* type = encoded.find("type");
    const cf::Value* value = encoded.find("value");
    if (!type || !type->asString() || *type->asString() != "plist" || !value) return false;
    return (value->isBoolean() || value->isNumber()) && value->boolValue();
}

} // namespace

void WindowServer::accessibilityRequest(Client& client, std::string_view op, const cf::Value& value,
                                        Reply& reply) {
    Args args{value, op, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, args.why);
        reply(std::nullopt, args.why);
    };
    if (op == op::axEnabled) return reply(cf::Dictionary{{"enabled", m_accessibilityEnabled}}, "");
    if (op == op::axSetEnabled) {
        auto enabled = args.boolean("enabled");
        if (!enabled) return refuse();
        m_accessibilityEnabled = *enabled;
        record(eventKind::accessibility, "AXAPIEnabled", {{"enabled", *enabled}});
        return reply(cf::Value::emptyDictionary(), "");
    }
    if (op == op::axFakeApplication) {
        const std::string* name = args.text("name", 256);
        const std::string* bundle = args.text("bundleIdentifier", 256);
        if (!name || !bundle) return refuse();
        int32_t pid = m_nextFakePID++;
        m_fakes[pid] = client.cid;
        m_fakeNames[pid] = *name;
        m_fakeBundles[pid] = *bundle;
        tellApplications({ApplicationChange::Kind::added, pid, *name, *bundle});
        return reply(cf::Dictionary{{"status", 0}, {"pid", pid}}, "");
    }
    if (op == op::axRespond) {
        auto pid = args.integer("pid", 1, INT32_MAX);
        auto responding = args.boolean("responding");
        if (!pid || !responding) return refuse();
        // A process answers for itself and for the fake applications it registered.
        bool own = *pid == client.identity.pid;
        auto fake = m_fakes.find(int32_t(*pid));
        if (!own && (fake == m_fakes.end() || fake->second != client.cid))
            return reply(status(kAXErrorIllegalArgument), "");
        if (*responding) {
            auto it = m_responders.find(int32_t(*pid));
            if (it != m_responders.end() && it->second != client.cid)
                return reply(status(kAXErrorIllegalArgument), "");
            m_responders[int32_t(*pid)] = client.cid;
        } else if (m_responders.count(int32_t(*pid)) && m_responders[int32_t(*pid)] == client.cid) {
            m_responders.erase(int32_t(*pid));
        }
        return reply(status(0), "");
    }
    if (op == op::axRequest) {
        auto pid = args.integer("pid", 0, INT32_MAX);
        auto element = args.integer("element", 0, INT64_MAX);
        const std::string* attribute = args.text("attribute", 256);
        auto set = args.boolean("set", false);
        auto action = args.boolean("action", false);
        const cf::Value* newValue = value.find("value");
        const cf::Value* attributes = value.find("attributes");
        // What else is asked of the attribute: its names, count, a run of its values, or an
        // action's description.
        const std::string* query = args.text("query", 32, false);
        auto index = args.integer("index", 0, INT64_MAX, false);
        auto maximum = args.integer("maximum", 0, INT64_MAX, false);
        if (query && *query != "names" && *query != "count" && *query != "values" &&
            *query != "actionDescription")
            args.fail("query", "is not a known question");
        if (!pid || !element || !attribute || !args.why.empty()) return refuse();
        if (set.value_or(false) && (!newValue || !newValue->isDictionary())) {
            args.why = "a setting without a value";
            return refuse();
        }
        if (attributes && !wellFormedAttributeNames(*attributes)) {
            args.why = "a malformed list of attributes";
            return refuse();
        }
        if (!m_accessibilityEnabled) return reply(status(kAXErrorAPIDisabled), "");
        auto responder = m_responders.find(int32_t(*pid));
        if (responder == m_responders.end() || !m_clients.count(responder->second))
            return reply(status(kAXErrorInvalidUIElement), "");
        if (set.value_or(false))
            record(eventKind::accessibility, "AXUIElementSetAttributeValue",
                   {{"pid", *pid}, {"element", *element}, {"attribute", *attribute}, {"value", *newValue}});
        else if (action.value_or(false))
            record(eventKind::accessibility, "AXUIElementPerformAction",
                   {{"pid", *pid}, {"element", *element}, {"action", *attribute}});
        // A fake application has no application object of its own to ask for activation: the
        // window server makes it active as the setting passes.
        if (set.value_or(false) && *element == 0 && *attribute == "AXFrontmost" &&
            m_fakes.count(int32_t(*pid)) && setsTrue(*newValue))
            activateFake(int32_t(*pid), "AXFrontmost");
        uint64_t id = m_nextQuestion++;
        PendingQuestion question;
        question.asker = client.cid;
        question.responder = responder->second;
        question.reply = std::move(reply);
        reply = nullptr;
        question.timer =
            m_timers.schedule(platform::now() + platform::seconds(kAccessibilityTimeoutSeconds), [this, id] {
                auto it = m_questions.find(id);
                if (it == m_questions.end()) return;
                auto q = std::move(it->second);
                m_questions.erase(it);
                platform::log("windowserver: accessibility request %llu went unanswered",
                              (unsigned long long)id);
                q.reply(status(kAXErrorCannotComplete), "");
            });
        m_questions.emplace(id, std::move(question));
        cf::Dictionary body{{"kind", std::string(push::axRequest)},
                            {"request", int64_t(id)},
                            {"pid", *pid},
                            {"element", *element},
                            {"attribute", *attribute}};
        if (set.value_or(false)) {
            body.insert_or_assign("set", true);
            body.insert_or_assign("value", *newValue);
        } else if (action.value_or(false)) {
            body.insert_or_assign("action", true);
        } else if (attributes) {
            body.insert_or_assign("attributes", *attributes);
        } else if (query) {
            body.insert_or_assign("query", *query);
            body.insert_or_assign("index", index.value_or(0));
            body.insert_or_assign("maximum", maximum.value_or(0));
        }
        push(*m_clients[responder->second], std::move(body));
        return;
    }
    if (op == op::axAnswer) {
        auto request = args.integer("request", 1, INT64_MAX);
        auto code = args.integer("status", INT32_MIN, INT32_MAX);
        const cf::Value* answer = value.find("value");
        if (!request || !code) return refuse();
        auto it = m_questions.find(uint64_t(*request));
        if (it == m_questions.end() || it->second.responder != client.cid) {
            args.why = "an answer to no pending request (late, or not this process's)";
            return refuse();
        }
        if (answer &&
            (!answer->isDictionary() || !answer->find("type") || !answer->find("type")->asString())) {
            args.why = "a malformed answer";
            return refuse();
        }
        auto q = std::move(it->second);
        m_questions.erase(it);
        m_timers.cancel(q.timer);
        cf::Dictionary result{{"status", *code}};
        if (answer) result.insert_or_assign("value", *answer);
        q.reply(cf::Value(std::move(result)), "");
        return reply(cf::Value::emptyDictionary(), "");
    }
    args.why = "unknown request";
    refuse();
}

} // namespace windowserver
