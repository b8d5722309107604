// The session's side of application sharing: the TCP messages that describe the Mac's
// applications, windows and menus to the device (inside the 0x27 bracket of a screen update),
// the sideband menu and active-application datagrams, and the device's window and menu
// requests. The session is reached through a small interface.
//
// Locks, in this order: the monitor's pollLock, the monitor's lock, the client socket's lock,
// the icon table's lock. The session's own lock is never taken under the monitor's: menu
// datagrams are built under the monitor's lock and sent after it is released.
#pragma once

#include "input/ApplicationInfoRecords.h"
#include "input/QNBApplicationMonitor.h"

#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace net {
class QNNetSocketProtocol;
} // namespace net

namespace input {

// What the messages need of their session.
class ApplicationInfoSessionLink {
  public:
    using Socket = std::shared_ptr<net::QNNetSocketProtocol>;
    virtual ~ApplicationInfoSessionLink() = default;
    // The TCP socket to the device (every message is written holding its lock) and the
    // outbound sideband socket; null when there is none.
    virtual Socket clientSocket() const = 0;
    virtual Socket sidebandSocket() const = 0;
    // The session's own lock, held while a sideband datagram is sent.
    virtual void lockSession() = 0;
    virtual void unlockSession() = 0;
    // The origin of the session display's scale-corrected bounds; 0, 0 without a display.
    virtual cg::CGPoint displayOrigin() const = 0;
    virtual uint16_t clientSidebandPort() const = 0;
    virtual void removeScreenSaver() = 0;
};

class ApplicationInfoMessages {
  public:
    // The most bytes one UDP datagram carries.
    static constexpr size_t kMaxDatagram = 65507;
    static constexpr double kThumbnailPassInterval = 1.0;

    ApplicationInfoMessages(ApplicationInfoSessionLink& session,
                            std::shared_ptr<QNBApplicationMonitor> monitor);
    const std::shared_ptr<QNBApplicationMonitor>& monitor() const { return m_monitor; }

    // ---- TCP messages; each answers NO when a send failed.
    bool serializeAndSendAppInfoForApp(const QNBApplicationState& state);
    bool serializeAndSendWindow(const QNBApplicationWindow& window);
    Bytes newDataFromSerializedMenu(const QNBApplicationMenu& menu) const;
    // Adds the menu and, depth first, every record below it; one record per elementHandle.
    static void produceSetOfFlatMenus(std::map<uint64_t, QNBApplicationMenuRef>& set,
                                      const QNBApplicationMenuRef& top);
    bool sendNewApplicationInfoUsingAppIDList(const std::vector<uint64_t>& pids);
    bool sendWindowStateSnapshot(const std::vector<QNBApplicationWindowRef>& windows);
    // Up to three fresh thumbnails.
    bool sendWindowUpdates();
    bool sendMenus();
    bool sendApplicationUpdate();

    // ---- The screen update's part, between its brackets: the update after a poll that found
    // new applications (then the poll is acknowledged); otherwise a snapshot of the refreshed
    // window list and, more than 1.0 s after the last thumbnail pass, up to three thumbnails.
    bool sendApplicationRecords();
    double lastThumbnailPass() const { return m_lastThumbnailPass; }

    // ---- Sideband datagrams.
    void transmitLowerMenu(const QNBApplicationMenuRef& menu);
    void sendTopMenuForApplication(uint64_t pid);
    void sendActiveApplication(int32_t pid);

    // ---- The device's requests (types 8 and 5).
    void menuRequestDatagramReceived(std::span<const uint8_t> data);
    void windowRequestDatagramReceived(std::span<const uint8_t> data);

  private:
    bool send(const Bytes& bytes);
    void sendSidebandDatagram(const Bytes& datagram);

    ApplicationInfoSessionLink& m_session;
    std::shared_ptr<QNBApplicationMonitor> m_monitor;
    double m_lastThumbnailPass = 0; // seconds since the reference date; only the screen update
};

} // namespace input
