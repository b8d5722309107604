// The window server stand-in, display side: it opens every framebuffer the kernel publishes,
// probes each after a connect-change interrupt, adds or removes its display beside the main
// one, counts vertical blanks and feeds the framebuffers the cursor. One serial thread owns
// all of its state; the kernel's calls and the interrupt handlers only queue work for it, and
// it never calls a framebuffer while holding a lock of its own.
#pragma once

#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/MappingSeedPage.h"
#include "platform/coregraphics/SystemCursors.h"
#include "platform/ipc/UniqueFd.h"
#include "platform/kernel/FramebufferListener.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/ComposePool.h"
#include "platform/windowserver/CompositionSequence.h"
#include "platform/windowserver/CursorRecord.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/FramebufferSlot.h"
#include "platform/windowserver/Timers.h"
#include "platform/windowserver/WindowServerConfig.h"
#include "platform/windowserver/WorkThread.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace iosurface {
class IOSurface;
}

namespace windowserver {

// The registry property (on a framebuffer and its "display0") holding what
// IODisplayCreateInfoDictionary answers.
inline constexpr char kDisplayInformationKey[] = "IODisplayInformation";

// One entry of a display's mode list: a driver mode at a backing scale (1: points = pixels;
// 2: its HiDPI twin, half the points).
struct ListedMode {
    DisplayMode driver;
    double scale = 1.0;
    uint32_t width() const { return uint32_t(driver.width / scale); }
    uint32_t height() const { return uint32_t(driver.height / scale); }
};

// A display image's pixels: a sealed memfd of height rows of bytesPerRow bytes (B, G, R, X).
struct DisplaySnapshot {
    ipc::UniqueFd fd;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t bytesPerRow = 0;
};

// A change to the applications the window server knows: a fake application registered or gone
// with its owner, or another application made active (pid 0: none is).
struct ApplicationChange {
    enum class Kind { added, removed, activated };
    Kind kind = Kind::activated;
    int32_t pid = 0;
    std::string name;             // added only
    std::string bundleIdentifier; // added only
};

// Who a connection is: the process behind it.
struct ClientIdentity {
    int32_t pid = 0;
    std::string name;
    std::string bundleIdentifier;
};

class WindowServer : public kernel::FramebufferListener {
  public:
    static constexpr uint32_t kMainDisplayID = 1;
    static constexpr uint32_t kFirstVirtualDisplayID = 0x100; // + the framebuffer's index
    static constexpr uint32_t kFirstAliasID = 0x80000000;
    static constexpr int32_t kFirstFakePID = 0x40000000;
    // An accessibility request unanswered this long fails.
    static constexpr double kAccessibilityTimeoutSeconds = 6.0;

    // A connection's pushes, {kind, ...}; called on the window-server thread, must only forward.
    using PushSink = std::function<void(const cf::Value& body)>;
    // The answer to one request: the result dictionary, or nothing and why it was refused.
    using Reply = std::function<void(std::optional<cf::Value> result, const std::string& why)>;

    // Called on the window-server thread after a display was added (true) or removed.
    using DisplayObserver = std::function<void(const DisplayInfo& display, bool added)>;
    // Called on the window-server thread for every application change; must only forward.
    using ApplicationObserver = std::function<void(const ApplicationChange& change)>;

    explicit WindowServer(kernel::Kernel& kernel, WindowServerConfig config = {});
    ~WindowServer() override;
    WindowServer(const WindowServer&) = delete;
    WindowServer& operator=(const WindowServer&) = delete;

    // Before boot (or, for the application observer, on the window-server thread).
    void setDisplayObserver(DisplayObserver observer);
    void setApplicationObserver(ApplicationObserver observer);
    // Listens to the kernel, waits for matching to settle and opens every framebuffer
    // published so far; later ones are opened as they are published. Returns once those
    // boots have run (their first probes may still be queued).
    void boot();
    // Every framebuffer is let go (interrupts, range, display, close), then the thread ends.
    void stop();

    // Online displays: the main one first, then by ascending id.
    std::vector<DisplayInfo> displays();
    std::optional<DisplayInfo> display(uint32_t displayID);
    // A client's mode change: the mode must be one the display lists. Its pixel information
    // and aperture are read again once the driver reports the change.
    kernel::IOReturn setDisplayMode(uint32_t displayID, kernel::IODisplayModeID mode);
    // Returns once everything queued before it, and every timer already due, has run.
    void sync();
    const CursorRecord& cursor() const { return m_cursor; }
    // Runs the task on the window-server thread (at once when called there) and returns once
    // it has run; false when the thread is not running.
    bool perform(const std::function<void()>& task) { return m_thread.runAndWait(task); }
    // The display-mapping seed, readable from any thread: a service answers it without a hop to
    // the window-server thread, as cursor ticks ask for it many times a second.
    uint32_t mappingSeed() const { return m_seedPage.seed(); }
    // The page the seed is published on, opened read-only for one process (MappingSeedPage.h);
    // invalid when there is none.
    ipc::UniqueFd openMappingSeedPage() const { return m_seedPage.openReadOnly(); }
    // Moves after every cursor state given to the framebuffers (published on the same page).
    uint64_t cursorStateSeed() const { return m_seedPage.cursorSeed(); }
    // On the window-server thread: the cursor moves onto the nearest online display (clamped)
    // and every framebuffer learns where it is. Answers where it went.
    cg::CGPoint moveCursor(cg::CGPoint location);
    // On the window-server thread: a mouse event goes to the owner of the front-most on-screen
    // window holding the point (skipping windows that ignore the mouse or have alpha 0), pushed
    // as {kind "mouse", type, window, x, y (window base: bottom-left origin, y up), flags}; when
    // the window under the pointer changes, the previous one's owner gets {kind "pointer-left",
    // window}. A mouse-down activates the window's owner unless the window is a status item's
    // (level 25), a menu (101) or a non-activating panel. Moves, drags and tablet points that
    // reach no window or another process are copied to the processes monitoring their type
    // (WindowServerApplications.cpp).
    void routeMouse(int64_t type, cg::CGPoint location, uint64_t flags, double pressure = 0);
    // On the window-server thread: a key event goes to the active application when it has a key
    // window, pushed as {kind "key", type, window, key, flags, characters}; false otherwise.
    bool routeKey(int64_t type, uint16_t key, uint64_t flags, const std::string& characters,
                  const std::string& charactersIgnoringModifiers);

    // A snapshot of a display's composed pixels (never the cursor) in a sealed memfd: the whole
    // display, or rect (display-local points) times the scale, rounded outward and clipped.
    // Null for an unknown or offline display or an empty rectangle. Counted as a grab.
    cg::CGImageRef displayImage(uint32_t displayID, const cg::CGRect* rect);
    std::optional<DisplaySnapshot> snapshotDisplay(uint32_t displayID, const cg::CGRect* rect);
    struct PixelCounters {
        uint64_t compositions = 0;
        uint64_t grabs = 0;
        uint64_t streamFrames = 0;
        uint64_t streamSkipped = 0;
        int64_t composedAt = 0; // the last composition, CLOCK_MONOTONIC ns
    };
    std::optional<PixelCounters> pixelCounters(uint32_t displayID);

    // Display streams (WindowServerStreams.cpp). A stream's events are made on the
    // window-server thread: a complete frame (status 0) names the pool surface holding it (use
    // count set to 1) and the dirty rectangles since the last delivered frame, in output
    // pixels; a blank (2) ends it when its display goes.
    struct StreamEvent {
        int32_t status = 0;
        uint64_t displayTime = 0;
        int32_t surface = -1;
        std::vector<cg::CGRect> rects;
        uint64_t dropCount = 0; // frames skipped since the last delivered one
    };
    // Must only forward.
    using StreamSink = std::function<void(const StreamEvent& event)>;
    struct StreamPool {
        uint64_t stream = 0;
        std::vector<ipc::UniqueFd> surfaces; // shared IOSurface memfds, in pool order
    };
    // A stream of a connection, not yet started. args: {display, width, height, format,
    // minimumFrameTime?, queueDepth?, showCursor?}. Nothing, and why, when refused (logged).
    std::optional<StreamPool> createStream(uint32_t cid, const cf::Value& args, StreamSink sink,
                                           std::string* why);
    // An event as pushed to another process: {kind "stream", stream, status, time, surface,
    // rects, drops}.
    static cf::Value streamPushBody(uint64_t stream, const StreamEvent& event);
    // The stream's next frame, at the next vertical blank, has the whole output dirty.
    bool startStream(uint32_t cid, uint64_t stream);
    // The stream ends: no event follows (the facade says it stopped).
    bool stopStream(uint32_t cid, uint64_t stream);
    // Pool surfaces whose use count returns to 0 are overwritten with a poison pattern.
    void setPoison(bool on);

    // The composed pixels of a display as they lie in memory (the framebuffer's aperture or
    // the window server's own buffer): a memfd range, and the bytes in this process.
    struct FramebufferView {
        const uint8_t* bytes = nullptr;
        size_t bytesPerRow = 0;
        size_t length = 0;
        ipc::UniqueFd memfd; // a duplicate
        uint64_t offset = 0;
        // The composition sequence page (a duplicate; none when it could not be made) and the
        // generation of the display's target the view shows.
        ipc::UniqueFd compositions;
        uint64_t generation = 0;
    };
    std::optional<FramebufferView> framebufferView(uint32_t displayID);

    // Connections. connect answers the new connection id (non-zero, never reused); disconnect
    // releases everything the connection held and reverts its app-only configurations.
    uint32_t connect(const ClientIdentity& identity, PushSink push);
    void disconnect(uint32_t cid);
    // Serves one facade request of a connection (WindowServerProtocol.h). The reply comes
    // before this returns, except for requests that wait (accessibility), answered later on
    // the window-server thread.
    void serve(uint32_t cid, std::string_view op, const cf::Value& args, Reply reply);
    // The same, queued for the window-server thread without waiting for it to run: the reply
    // comes from there. The caller (a connection's reader) goes on meanwhile, so requests it
    // answers itself (the seed, display images) never wait behind compositions. Once many
    // requests are queued this waits, as serve does, so a flood cannot grow the queue.
    void serveQueued(uint32_t cid, std::string_view op, const cf::Value& args, Reply reply);
    // The same, waiting for the answer (any thread but the window server's).
    std::optional<cf::Value> serveAndWait(uint32_t cid, std::string_view op, const cf::Value& args,
                                          std::string* why = nullptr);

    // Whether the request answers descriptors beside its dictionary: a window's backing store
    // (new, or replaced by a frame change) and window images. Such requests are answered at once.
    static bool answersDescriptors(std::string_view op);
    // Serves one such request (any thread but the window server's): the result dictionary and
    // the descriptors, or nothing and why.
    std::optional<cf::Value> serveWithDescriptors(uint32_t cid, std::string_view op, const cf::Value& args,
                                                  std::vector<ipc::UniqueFd>* fds,
                                                  std::string* why = nullptr);

    // kernel::FramebufferListener.
    void framebufferPublished(kernel::IOFramebuffer* framebuffer) override;
    void framebufferWillStop(kernel::IOFramebuffer* framebuffer) override;
    void framebufferNotification(kernel::IOFramebuffer* framebuffer, kernel::IOIndex event,
                                 void* info) override;

  private:
    // Interrupt handlers: the reference is the framebuffer's slot.
    static void connectChanged(kernel::OSObject* target, void* reference);
    static void verticalBlank(kernel::OSObject* target, void* reference);

    // On the window-server thread.
    void bootFramebuffer(const kernel::OSPtr<kernel::IOFramebuffer>& framebuffer);
    bool openFramebuffer(FramebufferSlot& slot);
    void probe(FramebufferSlot& slot);
    void showDisplay(FramebufferSlot& slot, ProbeResult& result);
    void removeDisplay(FramebufferSlot& slot);
    void modeDidChange(FramebufferSlot& slot);
    void adoptMemory(FramebufferSlot& slot, FramebufferMemory& memory);
    void takeVerticalBlanks(FramebufferSlot& slot);
    void retire(FramebufferSlot& slot);
    void layout();
    void feedCursor(FramebufferSlot& slot, bool sendImage);
    DisplayInfo mainDisplay() const;
    DisplayInfo recordOf(const FramebufferSlot& slot) const;
    std::shared_ptr<FramebufferSlot> slotFor(const kernel::IOFramebuffer* framebuffer) const;
    std::shared_ptr<FramebufferSlot> onlineSlot(uint32_t displayID) const;

    struct Client;
    struct Window;
    struct Snapshot {
        int32_t ioMode = 0;
        double scale = 1.0;
        uint32_t mirrorOf = 0;
    };
    struct ModeChange {
        uint32_t display = 0;
        ListedMode mode;
    };
    struct Transaction {
        std::vector<ModeChange> modes;
        std::vector<std::pair<uint32_t, uint32_t>> mirrors; // display, master (0: dissolve)
    };
    struct PendingQuestion {
        uint32_t asker = 0;
        uint32_t responder = 0;
        Reply reply;
        uint64_t timer = 0;
    };

    // Displays and modes (window-server thread).
    bool hiDPIEnabled() const;
    std::vector<ListedMode> listedModes(uint32_t displayID) const;
    std::optional<ListedMode> currentMode(uint32_t displayID) const;
    std::vector<uint32_t> onlineIDs() const;
    std::optional<DisplayInfo> recordFor(uint32_t displayID, bool evenRemoved) const;
    uint32_t& mirrorOf(uint32_t displayID);
    std::map<uint32_t, cg::CGRect> boundsByDisplay() const;
    // Reconfiguration passes: pass 1 before a change, pass 2 with the flags after it.
    void beginPass(const std::vector<uint32_t>& displays);
    void endPass(std::map<uint32_t, uint32_t> flags, const std::map<uint32_t, cg::CGRect>& before);
    void bumpSeed();
    uint32_t applyTransaction(uint32_t cid, const Transaction& transaction, uint32_t option);
    bool applyMode(uint32_t displayID, const ListedMode& mode);
    void supersede(uint32_t displayID, uint32_t exceptCid);
    void revertAppOnly(Client& client);

    // Refresh: damage since the last push, per connection.
    void addDamage(const cg::CGRect& rect);
    void displayBlanked(uint32_t displayID);
    void flushRefresh();
    void scheduleTick();
    void tick();

    // Composition (WindowServerPixels.cpp).
    struct Canvas {
        uint8_t* bytes = nullptr;
        size_t bytesPerRow = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        double scale = 1.0;
        cg::CGRect bounds;
    };
    std::optional<Canvas> canvasFor(uint32_t displayID);
    // Where the display is composed (null when nowhere); after canvasFor.
    const ComposeTarget* composeTargetOf(uint32_t displayID);
    // The display's next composition is whole, its target's pixels no picture until then.
    void composeWhole(uint32_t displayID);
    // One composition of the display, counted in its composition sequence.
    void composeCounted(uint32_t displayID, const Canvas& canvas, const std::vector<cg::CGRect>& pixelRects,
                        const std::vector<const Window*>& frontToBack, bool whole);
    void composeDamaged(const std::vector<cg::CGRect>& damage);
    // A composition written straight into a stream's surface (see claimStreamSurface): the
    // display's own pixels are brought up to date from it once the frame has gone out.
    struct DirectComposition {
        uint32_t displayID = 0;
        Canvas canvas;
        std::shared_ptr<iosurface::IOSurface> surface;
        std::vector<cg::CGRect> pixelRects;
        bool whole = false;
    };
    void catchUpDirectCompositions();
    // Composes the rectangles (display pixels) of one canvas from the windows given front to
    // back; touches nothing else, so displays may be composed side by side.
    static void compose(const Canvas& canvas, const std::vector<cg::CGRect>& pixelRects,
                        const std::vector<const Window*>& frontToBack);
    std::optional<std::string> drawTestWindow(Client& client, bool hook, const std::string& name,
                                              int32_t level, cg::CGRect frame, const std::string& pattern,
                                              int64_t value, const cf::Bytes* pixels, uint32_t* number);
    void eraseTestWindows(uint32_t ownerCid, const std::string* name);
    Window* testWindow(uint32_t ownerCid, const std::string& name);
    std::optional<cf::Value> countersOf(uint32_t displayID);
    // Streams (WindowServerStreams.cpp).
    struct Stream;
    void streamsComposed(uint32_t displayID, const Canvas& canvas, const std::vector<cg::CGRect>& pixelRects);
    // The surface of the display's stream that its next composition (pixelRects) is to be
    // written into, as a canvas, when the display has one started stream at its own size that
    // is due a frame and has a surface free; that surface's other stale pixels are copied from
    // the display first. Nothing otherwise: the composition goes to the display and is copied.
    std::optional<Canvas> claimStreamSurface(uint32_t displayID, const Canvas& canvas,
                                             const std::vector<cg::CGRect>& pixelRects, bool whole);
    void serviceStreams();
    bool streamsPending() const;
    void blankStreamsOf(uint32_t displayID);
    void dropStreamsOf(uint32_t cid);
    void streamRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);

    // Cursor.
    void setCursorImage(const cg::CGSCursorImage& image);
    uint32_t hideCount() const;
    void feedCursorEverywhere(bool sendImage);

    // Requests (WindowServerRequests.cpp).
    void dispatch(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    void displayRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    void configureRequest(Client& client, const cf::Value& args, Reply& reply);
    void cursorRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    void windowRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    void accessibilityRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    // Activation, key windows, global monitors and open alerts (WindowServerApplications.cpp).
    void applicationRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply);
    // Makes the connection's application the active one: the previous one hears "resign-active",
    // then this one "become-active" when told. Answers whether anything changed.
    bool activate(uint32_t cid, std::string_view api, bool tell);
    // Makes a fake application the active one (its owner's connection is not told: the fake
    // application is not its owner's application). Answers whether anything changed.
    bool activateFake(int32_t pid, std::string_view api);
    // The active application's pid; 0 when none.
    int32_t activePID() const;
    void tellApplications(ApplicationChange change);
    void copyToMonitors(int64_t type, cg::CGPoint location, uint64_t flags, double pressure,
                        uint32_t deliveredCid);
    void applicationGone(uint32_t cid);
    cf::Value windowDescription(const Window& window) const;
    // Backing stores and window images (WindowServerWindows.cpp).
    double scaleFor(const cg::CGRect& frame) const;
    // Gives the window a store of its frame times its screen's scale unless it has one of that
    // size (or force); a new one goes into the answer and the client's reply descriptors.
    void attachStore(Client& client, Window& window, cf::Dictionary& answer, bool force);
    void flushRequest(Client& client, const cf::Value& args, Reply& reply);
    void windowImageRequest(Client& client, const cf::Value& args, Reply& reply);
    std::vector<const Window*> windowsInOrder() const;
    void dropWindow(uint32_t windowID);
    void push(Client& client, cf::Value body);
    void record(std::string_view kind, std::string_view api, cf::Dictionary fields);

    kernel::Kernel& m_kernel;
    WindowServerConfig m_config;
    DisplayObserver m_observer;
    ApplicationObserver m_applicationObserver;
    WorkThread m_thread;
    bool m_booted = false;

    // The window-server thread's state.
    std::vector<std::shared_ptr<FramebufferSlot>> m_slots; // in boot order
    CursorRecord m_cursor;
    cg::CGSCursorImage m_cursorImage;
    uint32_t m_hookHideCount = 0;
    std::string m_mainLocation;
    Timers m_timers;
    std::vector<ListedMode> m_mainModes; // the main display's driver-less modes, 1x first
    ListedMode m_mainCurrent;
    uint32_t m_mainMirrorOf = 0;
    uint32_t m_seed = 1;
    cg::MappingSeedPublisher m_seedPage{1}; // m_seed, for other threads and processes
    uint32_t m_nextCid = 1;
    std::map<uint32_t, std::shared_ptr<Client>> m_clients;
    // Damage not yet composed, in CG global points; the tick runs while some is pending.
    std::vector<cg::CGRect> m_damage;
    bool m_tickScheduled = false;
    // Whether vertical blanks have work (damage, whole compositions, streams, refreshes): while
    // false, a blank is only counted, never queued to this thread.
    std::atomic<bool> m_blanksWanted{true};
    uint64_t m_mainBlanks = 0;
    uint32_t m_nextWindow = 1;
    uint64_t m_orderStamp = 0;
    std::map<uint32_t, std::unique_ptr<Window>> m_windows;
    uint32_t m_pointerWindow = 0; // the window the pointer was last routed to
    uint32_t m_activeCid = 0;     // the active application's connection; 0 when none
    int32_t m_activeFake = 0;     // or the active fake application's pid; 0 when none
    // Alerts and sheets up, in the order they began: {cid, window, description}.
    struct OpenAlert {
        uint32_t cid = 0;
        uint32_t window = 0;
        cf::Dictionary description;
    };
    std::vector<OpenAlert> m_alerts;
    bool m_accessibilityEnabled = true;
    int32_t m_nextFakePID = kFirstFakePID;
    std::map<int32_t, uint32_t> m_responders; // pid → the connection answering for it
    std::map<int32_t, uint32_t> m_fakes;      // fake pid → its connection
    std::map<int32_t, std::string> m_fakeNames;
    std::map<int32_t, std::string> m_fakeBundles;
    uint64_t m_nextQuestion = 1;
    std::map<uint64_t, PendingQuestion> m_questions;

    ComposeTarget m_mainTarget;
    uint32_t m_mainTargetWidth = 0;
    uint32_t m_mainTargetHeight = 0;
    std::set<uint32_t> m_composeWhole; // displays whose next composition is whole
    CompositionSequences m_compositions;
    std::atomic<size_t> m_queuedRequests{0}; // serveQueued's, not yet run
    std::map<uint32_t, PixelCounters> m_pixelCounters;
    ComposePool m_composePool{3};                        // with this thread, up to four displays at once
    std::vector<DirectComposition> m_directCompositions; // composed, the display not yet caught up
    std::map<uint64_t, std::shared_ptr<Stream>> m_streams;
    uint64_t m_nextStream = 1;
    bool m_poison = false;

    // Framebuffer to slot, read by the kernel's notification calls on other threads.
    mutable std::mutex m_tableMutex;
    std::map<const kernel::IOFramebuffer*, std::shared_ptr<FramebufferSlot>> m_table;
};

} // namespace windowserver
