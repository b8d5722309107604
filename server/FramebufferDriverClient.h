// The screen server's end of the four virtual framebuffers: one user-client connection per
// framebuffer, opened at launch, used to switch a session's display on with a set of modes and
// off again, and to read the cursor state the window server hands to the driver.
//
// The owner (the mediator) gives it its four sessions in framebuffer-index order, its own
// recursive lock (taken around every cursor query's state; the driver round trip itself runs
// outside it) and, in unit tests, a screen list and a pass sleeper of their own.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/iokit/IOKitLib.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace display {
class QNBDisplaySet;
} // namespace display

namespace appkit {
class NSCursor;
}

namespace server {

class ScreenServer;

// What a cursor query needs of a display set's geometry, kept per set and read again only
// when the window server's display mapping seed has moved: 120 queries a second then cost no
// geometry round trips while the displays stand still. A seed of 0 (unreadable) is never
// trusted.
class CursorGeometryCache {
  public:
    struct Geometry {
        cg::CGPoint origin{}; // the set's scale-corrected origin
        bool mirrored = false;
        double height = 0; // the first display's scale-corrected height, when mirrored
    };
    using SeedReader = std::function<uint32_t()>;
    using Reader = std::function<Geometry(const display::QNBDisplaySet&)>;

    CursorGeometryCache(SeedReader seed, Reader read) : m_seed(std::move(seed)), m_read(std::move(read)) {}
    // Asks the seed; the set's geometry, read again when the seed moved or the set is new.
    Geometry refresh(const std::shared_ptr<display::QNBDisplaySet>& set);
    // What the set's last refresh found, without asking the seed; read when there is none.
    Geometry current(const std::shared_ptr<display::QNBDisplaySet>& set);

  private:
    struct Entry {
        std::weak_ptr<display::QNBDisplaySet> set;
        uint32_t seed = 0;
        Geometry geometry;
    };
    Entry* entryFor(const std::shared_ptr<display::QNBDisplaySet>& set); // under m_lock

    SeedReader m_seed;
    Reader m_read;
    std::mutex m_lock;
    std::vector<Entry> m_entries;
};

// Selectors of the framebuffer's user client.
enum QNExFramebufferSelector : uint32_t {
    kQNExUCOpen = 0,
    kQNExUCClose = 1,
    kQNExUCEnableWithResolution = 2,
    kQNExUCDisable = 3,
    kQNExQueryMouseStatus = 5,
    kQNExUCEnableWithResolutions = 8,
    kQNExVBLNotifyInterruptClient = 9,
    kQNExVBLSetSecondaryClock = 10,
    kQNExVBLSetSecondaryClockThreshold = 11,
};

inline constexpr uint32_t kQNExFramebufferUserClientType = 0x1000;
inline constexpr int kFramebufferCount = 4;
inline constexpr int kFirstDisplayModeID = 1;
inline constexpr int kLastDisplayModeID = 442;
// About 60 Hz, and the silence after which the driver's own timer paces vertical blanks.
inline constexpr uint64_t kSecondaryClockMicroseconds = 16666;
inline constexpr uint64_t kSecondaryClockThresholdMicroseconds = 250000;
inline constexpr int kDisplayWaitPasses = 60;
inline constexpr double kDisplayWaitPassSeconds = 0.25;

// What the enable wait and the reuse check read of one display the server lists.
struct FramebufferScreen {
    uint32_t displayID = 0;
    int64_t framebufferIndex = -1;
    std::string userDescription;
    cg::CGRect frame;
    double scale = 1.0;
    cg::CGSize displaySizeInPixels;
};

class FramebufferDriverClient {
  public:
    using ScreenList = std::function<std::vector<FramebufferScreen>()>;
    using HiDPIQuery = std::function<bool(uint32_t displayID)>;
    using PassSleeper = std::function<void(double seconds)>;
    // The window server's cursor-state seed (0: unknown).
    using CursorSeedReader = std::function<uint64_t()>;

    // mediatorLock is the owner's recursive lock; it must outlive this object.
    explicit FramebufferDriverClient(std::recursive_mutex& mediatorLock);
    FramebufferDriverClient(const FramebufferDriverClient&) = delete;
    FramebufferDriverClient& operator=(const FramebufferDriverClient&) = delete;

    // The sessions in framebuffer-index order (at most four; held weakly).
    void setServers(const std::vector<std::shared_ptr<ScreenServer>>& servers);
    // A session's position among them, 4 when absent.
    int indexOfSubScreen(const ScreenServer* server) const;

    // Seams: the display list (QNBScreen screens by default), the HiDPI test of a display
    // (QNBScreen isHiDPIDisplay:) and the wait between passes (the process clock).
    void setScreenList(ScreenList screens);
    void setHiDPIQuery(HiDPIQuery query);
    void setPassSleeper(PassSleeper sleeper);
    // The cursor-state seed (CGSCursorStateSeed by default).
    void setCursorSeedReader(CursorSeedReader reader);

    // Opens one connection per framebuffer index. YES only when every index was found and
    // opened; the last error is stored in *error.
    bool setupUserClientWithError(platform::Error* error);

    // Switches the session's display on with the modes, or reuses a display that is already
    // right; the session's new display set, or nil.
    std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                          const int* modes, size_t modeCount,
                                                                          platform::Error* error);
    // Paces and enables the framebuffer, then waits for its display: the last listed display of
    // the framebuffer (even at another mode once the passes ran out), or nothing.
    std::optional<FramebufferScreen> enableWithResolutionsForDisplayModes(const int* modes, size_t count,
                                                                          iokit::io_connect_t connection,
                                                                          int index);
    void disableDisplay(ScreenServer& server);
    void closeService(iokit::io_connect_t connection);
    // Switches every display off and closes every connection; a second stop calls nothing.
    void stop();
    void enableVBLClientCallbacks();

    // Cursor state of the display set's framebuffer, read from the driver and kept under the
    // owner's lock. A query finding the window server's cursor-state seed where it was at the
    // framebuffer's last answer (and the display where it was) asks nothing: the driver would
    // answer the same, with no new image.
    bool shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    bool mouseCursorChangedOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    bool mouseCursorVisibleOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    cg::CGPoint getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    std::shared_ptr<appkit::NSCursor>
    mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    cg::CGPoint mouseHotspotOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    cg::CGPoint mouseHotspot();
    cg::CGPoint getMouseLocation() { return {}; }
    bool mouseCursorChanged() { return false; }
    bool mouseCursorVisible() { return false; }
    std::shared_ptr<appkit::NSCursor> mouseCursor() { return nullptr; }
    std::recursive_mutex* frameBufferLockObject() { return nullptr; }

    // The same queries by framebuffer index and display origin, as a set answers them.
    bool shouldQueryMouseOnFramebuffer(int64_t index, cg::CGPoint origin);
    bool mouseCursorChangedOnFramebuffer(int64_t index);
    bool mouseCursorVisibleOnFramebuffer(int64_t index);
    // Where the cursor is on the framebuffer's display; mirrored displays follow the event
    // system's location, flipped by the display's height.
    cg::CGPoint mouseLocationOnFramebuffer(int64_t index, bool mirrored, double displayHeight);

    // The connection of each framebuffer index, 0 for none.
    std::array<iokit::io_connect_t, kFramebufferCount> dataPorts() const;
    cg::CGPoint mouseLocation() const;
    bool mouseVisible() const;

  private:
    iokit::io_connect_t portAt(int64_t index) const;
    std::vector<FramebufferScreen> listScreens() const;

    std::recursive_mutex& m_mediatorLock;
    mutable std::mutex m_portsLock;
    std::array<iokit::io_connect_t, kFramebufferCount> m_dataPorts{};
    std::vector<std::weak_ptr<ScreenServer>> m_servers;
    ScreenList m_screenList;
    HiDPIQuery m_hiDPIQuery;
    PassSleeper m_passSleeper;
    CursorSeedReader m_cursorSeed;

    CursorGeometryCache m_cursorGeometry;

    // Guarded by the owner's lock.
    std::array<std::array<uint64_t, 4>, 16> m_lastMouseResult{};
    // The cursor-state seed read before each framebuffer's last answer, the connection that
    // answered and the display origin the answer was placed by; seed 0: no answer to reuse.
    struct MouseAnswerSeed {
        uint64_t seed = 0;
        iokit::io_connect_t connection = 0;
        cg::CGPoint origin;
    };
    std::array<MouseAnswerSeed, 16> m_lastMouseSeed{};
    cg::CGPoint m_mouseLocation;
    bool m_mouseVisible = false;
};

} // namespace server
