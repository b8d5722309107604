// The window server's display model beyond the probe: mode lists and twins, transactions and
// their reconfiguration passes, app-only reverts, refresh pushes and the cursor. Everything
// here runs on the window-server thread.
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/windowserver/EventSystem.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerInternal.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>

namespace windowserver {

using namespace kernel;

namespace {

constexpr uint32_t kHiDPICapableFlag = 0x800000;
constexpr double kTickSeconds = 1.0 / 60;

bool twinnable(const DisplayMode& mode) {
    return (mode.flags & kHiDPICapableFlag) && mode.width % 2 == 0 && mode.height % 2 == 0;
}

} // namespace

// ---- Displays and modes.

bool WindowServer::hiDPIEnabled() const {
    if (m_config.hiDPIEnabled) return m_config.hiDPIEnabled();
    // Another process (the HiDPI tool, platformctl) may have written it since: re-read the very
    // file the value lives in (any user, this host), not the application's search list.
    cf::CFPreferencesSynchronize("com.apple.windowserver", cf::kCFPreferencesAnyUser,
                                 cf::kCFPreferencesCurrentHost);
    auto value = cf::CFPreferencesCopyValue("DisplayResolutionEnabled", "com.apple.windowserver",
                                            cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    return value && value->boolValue();
}

std::vector<ListedMode> WindowServer::listedModes(uint32_t displayID) const {
    std::vector<ListedMode> out;
    bool hiDPI = hiDPIEnabled();
    if (displayID == kMainDisplayID) {
        out.push_back(m_mainModes[0]);
        if (hiDPI || m_config.mainDisplay.scale == 2 || m_mainCurrent.scale == 2.0)
            out.push_back(m_mainModes[1]);
        return out;
    }
    for (auto& slot : m_slots) {
        if (!slot->online || kFirstVirtualDisplayID + slot->index != displayID) continue;
        for (const DisplayMode& mode : slot->modes) {
            out.push_back({mode, 1.0});
            bool current = slot->scale == 2.0 && slot->current.ioModeID == mode.ioModeID;
            // A current twin stays listed when the setting goes off.
            if ((hiDPI && twinnable(mode)) || current) out.push_back({mode, 2.0});
        }
    }
    return out;
}

std::optional<ListedMode> WindowServer::currentMode(uint32_t displayID) const {
    if (displayID == kMainDisplayID) return m_mainCurrent;
    for (auto& slot : m_slots)
        if (slot->online && kFirstVirtualDisplayID + slot->index == displayID)
            return ListedMode{slot->current, slot->scale};
    return std::nullopt;
}

std::vector<uint32_t> WindowServer::onlineIDs() const {
    std::vector<uint32_t> ids;
    for (auto& slot : m_slots)
        if (slot->online) ids.push_back(kFirstVirtualDisplayID + slot->index);
    std::sort(ids.begin(), ids.end());
    if (m_config.mainDisplayLast)
        ids.push_back(kMainDisplayID);
    else
        ids.insert(ids.begin(), kMainDisplayID);
    return ids;
}

std::optional<DisplayInfo> WindowServer::recordFor(uint32_t displayID, bool evenRemoved) const {
    if (displayID == kMainDisplayID) return mainDisplay();
    for (auto& slot : m_slots) {
        if (kFirstVirtualDisplayID + slot->index != displayID || slot->display.displayID != displayID)
            continue;
        if (!slot->online && !evenRemoved) return std::nullopt;
        return recordOf(*slot);
    }
    return std::nullopt;
}

uint32_t& WindowServer::mirrorOf(uint32_t displayID) {
    if (displayID == kMainDisplayID) return m_mainMirrorOf;
    for (auto& slot : m_slots)
        if (slot->online && kFirstVirtualDisplayID + slot->index == displayID) return slot->mirrorOf;
    static uint32_t none;
    none = 0;
    return none;
}

std::map<uint32_t, cg::CGRect> WindowServer::boundsByDisplay() const {
    std::map<uint32_t, cg::CGRect> out;
    out[kMainDisplayID] = cg::CGRectMake(0, 0, m_mainCurrent.width(), m_mainCurrent.height());
    for (auto& slot : m_slots)
        if (slot->online) out[kFirstVirtualDisplayID + slot->index] = slot->display.bounds;
    return out;
}

// ---- Reconfiguration passes.

void WindowServer::bumpSeed() {
    if (++m_seed == 0) ++m_seed;
    m_seedPage.publish(m_seed);
}

// Sends pass 1 to the displays that change, then pass 2 with their flags: the given ones,
// and the move flag for every display whose origin moved. Added and re-moded displays are
// damaged whole.
void WindowServer::endPass(std::map<uint32_t, uint32_t> flags, const std::map<uint32_t, cg::CGRect>& before) {
    auto after = boundsByDisplay();
    for (auto& [id, bounds] : after) {
        auto old = before.find(id);
        if (old != before.end() &&
            (old->second.origin.x != bounds.origin.x || old->second.origin.y != bounds.origin.y))
            flags[id] |= 0x2 | 0x1000;
        uint32_t f = flags.count(id) ? flags[id] : 0;
        if (f & (0x10 | 0x8)) addDamage(bounds);
    }
    if (flags.empty()) return;
    bumpSeed();
    cf::Array pass1, pass2;
    for (auto& [id, f] : flags) {
        pass1.push_back(cf::Dictionary{{"display", id}, {"flags", 0x1}});
        pass2.push_back(cf::Dictionary{{"display", id}, {"flags", f}});
    }
    for (auto& [cid, client] : m_clients) {
        if (!client->reconfiguration) continue;
        push(*client,
             cf::Dictionary{{"kind", std::string(push::reconfiguration)}, {"pass", 1}, {"changes", pass1}});
        push(*client,
             cf::Dictionary{{"kind", std::string(push::reconfiguration)}, {"pass", 2}, {"changes", pass2}});
    }
}

// Forgets the app-only snapshots other connections hold of a display: a later change wins.
void WindowServer::supersede(uint32_t displayID, uint32_t exceptCid) {
    for (auto& [cid, client] : m_clients)
        if (cid != exceptCid) client->appOnly.erase(displayID);
}

bool WindowServer::applyMode(uint32_t displayID, const ListedMode& mode) {
    if (displayID == kMainDisplayID) {
        m_mainCurrent = mode;
        composeWhole(displayID);
        scheduleTick();
        return true;
    }
    for (auto& slot : m_slots) {
        if (!slot->online || kFirstVirtualDisplayID + slot->index != displayID) continue;
        IOFramebuffer* fb = slot->framebuffer.get();
        if (!fb) return false;
        if (mode.driver.ioModeID != slot->current.ioModeID) {
            FramebufferMemory memory;
            {
                IOGateLock gate(fb);
                IOReturn r = fb->setDisplayMode(mode.driver.ioModeID, kDepth32);
                if (r != kIOReturnSuccess) {
                    platform::log("windowserver: %@ refused mode %d: %s", slot->path, mode.driver.ioModeID,
                                  IOReturnName(r));
                    return false;
                }
                memory = FramebufferProbe(*fb).readMemory(mode.driver);
            }
            slot->current = mode.driver;
            adoptMemory(*slot, memory);
        }
        slot->scale = mode.scale;
        slot->display.scale = mode.scale;
        return true;
    }
    return false;
}

uint32_t WindowServer::applyTransaction(uint32_t cid, const Transaction& transaction, uint32_t option) {
    auto online = onlineIDs();
    auto isOnline = [&](uint32_t id) { return std::find(online.begin(), online.end(), id) != online.end(); };
    // All or nothing: every step is checked before anything changes.
    for (auto& change : transaction.modes) {
        if (!isOnline(change.display)) return 1001;
        auto modes = listedModes(change.display);
        bool listed = std::any_of(modes.begin(), modes.end(), [&](const ListedMode& m) {
            return m.driver.ioModeID == change.mode.driver.ioModeID && m.scale == change.mode.scale;
        });
        if (!listed) return 1001;
    }
    for (auto& [display, master] : transaction.mirrors) {
        if (!isOnline(display) || display == master) return 1001;
        // No chains: a master mirrors nothing, and a display with mirrors of its own mirrors nothing.
        bool hasMirrors = std::any_of(online.begin(), online.end(), [&, display = display](uint32_t id) {
            return mirrorOf(id) == display;
        });
        if (master && (!isOnline(master) || mirrorOf(master) != 0 || hasMirrors)) return 1001;
    }
    // The displays touched, for app-only snapshots: the mirrored ones with their sets.
    std::vector<uint32_t> touched;
    for (auto& change : transaction.modes)
        touched.push_back(change.display);
    for (auto& [display, master] : transaction.mirrors) {
        touched.push_back(display);
        if (!master) {
            uint32_t head = mirrorOf(display) ? mirrorOf(display) : display;
            touched.push_back(head);
            for (uint32_t id : online)
                if (mirrorOf(id) == head) touched.push_back(id);
        }
    }
    Client* client = nullptr;
    if (auto it = m_clients.find(cid); it != m_clients.end()) client = it->second.get();
    for (uint32_t id : touched) {
        if (option == 0 && client) {
            auto current = currentMode(id);
            if (current && !client->appOnly.count(id))
                client->appOnly[id] = Snapshot{current->driver.ioModeID, current->scale, mirrorOf(id)};
            supersede(id, cid);
        } else {
            supersede(id, 0);
        }
    }

    auto before = boundsByDisplay();
    std::map<uint32_t, uint32_t> flags;
    for (auto& change : transaction.modes) {
        auto current = currentMode(change.display);
        if (current && current->driver.ioModeID == change.mode.driver.ioModeID &&
            current->scale == change.mode.scale)
            continue;
        auto modes = listedModes(change.display);
        auto it = std::find_if(modes.begin(), modes.end(), [&](const ListedMode& m) {
            return m.driver.ioModeID == change.mode.driver.ioModeID && m.scale == change.mode.scale;
        });
        if (applyMode(change.display, *it)) flags[change.display] |= 0x8 | 0x1000;
    }
    for (auto& [display, master] : transaction.mirrors) {
        if (master) {
            if (mirrorOf(display) == master) continue;
            mirrorOf(display) = master;
            flags[display] |= 0x400 | 0x1000;
            continue;
        }
        uint32_t head = mirrorOf(display) ? mirrorOf(display) : display;
        bool any = false;
        for (uint32_t id : online) {
            if (mirrorOf(id) != head) continue;
            mirrorOf(id) = 0;
            flags[id] |= 0x800 | 0x1000;
            any = true;
        }
        if (any) flags[head] |= 0x800 | 0x1000;
    }
    layout();
    endPass(flags, before);
    return 0;
}

// A dropped connection's app-only changes go back, in one transaction.
void WindowServer::revertAppOnly(Client& client) {
    if (client.appOnly.empty()) return;
    Transaction transaction;
    auto online = onlineIDs();
    for (auto& [id, snapshot] : client.appOnly) {
        if (std::find(online.begin(), online.end(), id) == online.end()) continue;
        for (const ListedMode& m : listedModes(id)) {
            if (m.driver.ioModeID == snapshot.ioMode && m.scale == snapshot.scale) {
                transaction.modes.push_back({id, m});
                break;
            }
        }
        if (mirrorOf(id) != snapshot.mirrorOf) {
            if (snapshot.mirrorOf)
                transaction.mirrors.emplace_back(id, snapshot.mirrorOf);
            else if (mirrorOf(id))
                transaction.mirrors.emplace_back(id, 0);
        }
    }
    client.appOnly.clear();
    if (uint32_t error = applyTransaction(0, transaction, 2))
        platform::log("windowserver: reverting pid %d's app-only configuration failed: %u",
                      client.identity.pid, error);
}

// ---- Refresh.

void WindowServer::addDamage(const cg::CGRect& rect) {
    if (cg::CGRectIsEmpty(rect)) return;
    // Only what lies on a display is damage.
    for (auto& [id, bounds] : boundsByDisplay()) {
        cg::CGRect on = cg::CGRectIntersection(bounds, rect);
        if (!cg::CGRectIsNull(on) && !cg::CGRectIsEmpty(on)) addDisjoint(m_damage, on);
    }
    scheduleTick();
}

// A display was composed: its damage (for now, all damage) goes to the listening connections.
void WindowServer::displayBlanked(uint32_t) {
    flushRefresh();
}

void WindowServer::flushRefresh() {
    auto damage = std::move(m_damage);
    m_damage.clear();
    composeDamaged(damage);
    serviceStreams();
    catchUpDirectCompositions();
    for (auto& [cid, client] : m_clients) {
        if (!client->refresh) continue;
        for (auto& r : damage)
            addDisjoint(client->damage, r);
        if (client->awaitingAck || client->damage.empty()) continue;
        cf::Array rects;
        for (auto& r : client->damage)
            rects.push_back(cf::Array{r.origin.x, r.origin.y, r.size.width, r.size.height});
        client->damage.clear();
        client->awaitingAck = true;
        push(*client,
             cf::Dictionary{{"kind", std::string(push::refresh)}, {"rects", cf::Value(std::move(rects))}});
    }
}

// The stand-in for the main display's vertical blank (and that of displays refusing 'vbl '):
// runs at 60 Hz while damage or a connection's pending refresh waits for it.
void WindowServer::scheduleTick() {
    m_blanksWanted.store(true, std::memory_order_release);
    if (m_tickScheduled || !m_booted) return;
    m_tickScheduled = true;
    m_timers.schedule(platform::now() + platform::seconds(kTickSeconds), [this] { tick(); });
}

void WindowServer::tick() {
    m_tickScheduled = false;
    ++m_mainBlanks;
    flushRefresh();
    bool pending = !m_damage.empty() || !m_composeWhole.empty() || streamsPending();
    for (auto& [cid, client] : m_clients)
        pending = pending || (client->refresh && !client->damage.empty());
    if (pending)
        scheduleTick();
    else
        m_blanksWanted.store(false, std::memory_order_release);
}

// ---- Cursor.

uint32_t WindowServer::hideCount() const {
    uint32_t n = m_hookHideCount;
    for (auto& [cid, client] : m_clients)
        n += client->hideCount;
    return n;
}

void WindowServer::feedCursorEverywhere(bool sendImage) {
    m_cursor.hideCount = hideCount();
    for (auto& slot : m_slots)
        if (slot->online) feedCursor(*slot, sendImage);
}

void WindowServer::setCursorImage(const cg::CGSCursorImage& image) {
    m_cursorImage = image;
    m_cursor.size = cg::CGSizeMake(image.width, image.height);
    m_cursor.hotSpot = image.hotSpot;
    if (++m_cursor.seed == 0) ++m_cursor.seed;
    feedCursorEverywhere(true);
}

cg::CGPoint WindowServer::moveCursor(cg::CGPoint location) {
    std::vector<cg::CGRect> bounds;
    for (auto& [id, b] : boundsByDisplay())
        bounds.push_back(b);
    m_cursor.location = clampOntoDisplays(location, bounds);
    feedCursorEverywhere(false);
    return m_cursor.location;
}

// ---- Connections.

uint32_t WindowServer::connect(const ClientIdentity& identity, PushSink push) {
    uint32_t cid = 0;
    m_thread.runAndWait([&] {
        cid = m_nextCid++;
        auto client = std::make_shared<Client>();
        client->cid = cid;
        client->identity = identity;
        client->push = std::move(push);
        m_clients[cid] = client;
    });
    return cid;
}

void WindowServer::disconnect(uint32_t cid) {
    m_thread.runAndWait([&] {
        auto it = m_clients.find(cid);
        if (it == m_clients.end()) return;
        std::shared_ptr<Client> client = it->second;
        client->reconfiguration = client->refresh = false;
        dropStreamsOf(cid);
        revertAppOnly(*client);
        std::vector<uint32_t> owned;
        for (auto& [number, window] : m_windows)
            if (window->ownerCid == cid) owned.push_back(number);
        for (uint32_t number : owned)
            dropWindow(number);
        applicationGone(cid);
        std::erase_if(m_responders, [&](auto& entry) { return entry.second == cid; });
        for (auto it = m_fakes.begin(); it != m_fakes.end();) {
            if (it->second == cid) {
                const int32_t fake = it->first;
                m_fakeNames.erase(fake);
                m_fakeBundles.erase(fake);
                it = m_fakes.erase(it);
                if (m_activeFake == fake) {
                    m_activeFake = 0;
                    tellApplications({ApplicationChange::Kind::activated, 0, {}, {}});
                }
                tellApplications({ApplicationChange::Kind::removed, fake, {}, {}});
            } else {
                ++it;
            }
        }
        std::vector<uint64_t> unanswerable;
        for (auto& [id, q] : m_questions)
            if (q.responder == cid || q.asker == cid) unanswerable.push_back(id);
        for (uint64_t id : unanswerable) {
            PendingQuestion q = std::move(m_questions[id]);
            m_questions.erase(id);
            m_timers.cancel(q.timer);
            if (q.asker != cid) q.reply(cf::Dictionary{{"status", -25202}}, "");
        }
        bool hid = client->hideCount != 0;
        m_clients.erase(it);
        if (hid) feedCursorEverywhere(false);
    });
}

void WindowServer::serve(uint32_t cid, std::string_view op, const cf::Value& args, Reply reply) {
    bool ran = m_thread.runAndWait([&] {
        auto it = m_clients.find(cid);
        if (it == m_clients.end()) {
            reply(std::nullopt, "unknown connection");
            reply = nullptr;
            return;
        }
        auto client = it->second; // lives through the request
        dispatch(*client, op, args, reply);
        client->replyFds.clear(); // only serveWithDescriptors hands them on
    });
    if (!ran && reply) reply(std::nullopt, "the window server is not running");
}

void WindowServer::serveQueued(uint32_t cid, std::string_view op, const cf::Value& args, Reply reply) {
    constexpr size_t kMaxQueuedRequests = 256;
    if (m_thread.isCurrent() || m_queuedRequests.fetch_add(1) >= kMaxQueuedRequests) {
        if (!m_thread.isCurrent()) --m_queuedRequests;
        return serve(cid, op, args, std::move(reply));
    }
    auto shared = std::make_shared<Reply>(std::move(reply));
    bool queued = m_thread.post([this, cid, op = std::string(op), args, shared] {
        --m_queuedRequests;
        serve(cid, op, args, std::move(*shared));
    });
    if (!queued) {
        --m_queuedRequests;
        if (*shared) (*shared)(std::nullopt, "the window server is not running");
    }
}

std::optional<cf::Value> WindowServer::serveAndWait(uint32_t cid, std::string_view op, const cf::Value& args,
                                                    std::string* why) {
    struct Answer {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::optional<cf::Value> result;
        std::string why;
    };
    auto answer = std::make_shared<Answer>();
    serve(cid, op, args, [answer](std::optional<cf::Value> result, const std::string& reason) {
        std::lock_guard lock(answer->mutex);
        answer->result = std::move(result);
        answer->why = reason;
        answer->done = true;
        answer->cv.notify_all();
    });
    std::unique_lock lock(answer->mutex);
    answer->cv.wait(lock, [&] { return answer->done; });
    if (why) *why = answer->why;
    return answer->result;
}

void WindowServer::push(Client& client, cf::Value body) {
    if (client.push) client.push(body);
}

void WindowServer::record(std::string_view kind, std::string_view api, cf::Dictionary fields) {
    if (m_config.recordEvent) m_config.recordEvent(kind, api, std::move(fields));
}

} // namespace windowserver
