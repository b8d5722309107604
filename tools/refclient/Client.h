// The reference client device: invited on its sideband port, it connects to the
// server's stream port, sends its handshake, reads every message of the main stream
// into its picture and cursor, asks for updates, keeps the connection alive, answers
// feature requests and sends input datagrams. One event-loop thread does all of it;
// the calls below post to that thread or read a snapshot of its state.
#pragma once

#include "tools/refclient/Config.h"
#include "tools/refclient/EventLoop.h"
#include "tools/refclient/JpegDecoder.h"
#include "tools/refclient/NetAddress.h"
#include "tools/refclient/Picture.h"
#include "tools/refclient/RecordLog.h"
#include "tools/refclient/StreamParser.h"
#include "tools/refclient/UsbFrame.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <thread>

namespace ns {
class NSNetService;
}

namespace refclient {

struct SidebandDatagram;

enum class ClientState { Idle, Connecting, Handshaking, Session, Ended };
const char* NSStringFromClientState(ClientState state);

struct CursorState {
    bool haveDatagram = false; // last sideband position
    int16_t x = 0;
    int16_t y = 0;
    bool visible = false;
    bool haveStreamPosition = false; // last encoding-2 record on the stream
    int16_t streamX = 0;
    int16_t streamY = 0;
    bool haveImage = false; // last encoding-3 record
    int16_t hotX = 0;
    int16_t hotY = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t pngWidth = 0;
    uint32_t pngHeight = 0;
};

struct CursorImage {
    Bytes png;
    int16_t hotX = 0;
    int16_t hotY = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

struct Snapshot {
    ClientState state = ClientState::Idle;
    bool activated = false; // a frame has arrived in this session
    bool silent = false;
    uint16_t sidebandPort = 0;
    std::string serverAddress;
    uint64_t invitations = 0;
    uint64_t sessions = 0;
    uint64_t updates = 0;
    uint64_t frames = 0;
    int64_t lastFrameAt = 0; // process clock, ns: when the last frame was whole in the picture
    uint64_t emptyUpdates = 0;
    uint64_t cursorOnlyUpdates = 0;
    uint64_t requestsSent = 0;
    uint64_t heartbeatsSent = 0;
    uint64_t datagramsSent = 0;
    uint64_t pngsWritten = 0;
    uint64_t resolutions = 0;
    std::optional<ResolutionMessage> lastResolution;
    CursorState cursor;
    std::map<uint16_t, uint16_t> features; // feature -> last operation the server sent
    std::optional<uint64_t> busyId;
    std::optional<uint16_t> displayCount;
    uint64_t systemInformationCount = 0;
    bool systemInformationOk = false;
    std::vector<std::string> protocolErrors;
    int pictureWidth = 0;
    int pictureHeight = 0;
    std::optional<int> exitCode;
};

// The announcement's TXT entries (section 8's keys, then --txt; an empty value removes a key).
std::map<std::string, std::string> announcementTXT(const Config& config, bool connected);

class Client : private StreamHandler {
public:
    explicit Client(Config config);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Binds the sideband port and starts the loop; false (exit code 2) when it cannot.
    bool start(std::string* error = nullptr);
    // Ends the run (code 0 unless it has ended already) and joins the loop.
    void stop();
    // Waits for the run to end and answers its exit code.
    int waitForExit();

    bool waitFor(const std::function<bool(const Snapshot&)>& predicate, platform::Duration timeout) const;
    Snapshot snapshot() const;
    Picture picture() const;
    std::optional<CursorImage> cursorImage() const;
    std::vector<std::string> log() const;

    // A datagram to the server's sideband port (dropped and logged without a session).
    void send(Bytes datagram);
    // Raw bytes on the main stream, for hostile input.
    void sendStream(Bytes bytes);
    // The bytes sent instead of the handshake and hashes at the next connection.
    void handshakeOverride(Bytes bytes);
    // USB device mode: closes every device connection, then unregisters ("Detached"), as
    // --usb-detach-after-frames does; the run ends.
    void detachUsb();

private:
    // The Bonjour announcement of the bound sideband port (ClientAnnounce.cpp); false with why
    // when it cannot be made.
    bool announce(uint16_t port, std::string* why);
    void announceConnState(bool connected);
    void withdrawAnnouncement();

    struct Connection {
        int fd = -1;
        NetAddress server;
        uint64_t generation = 0;
        std::unique_ptr<StreamParser> parser;
        platform::TimePoint lastSent;
        uint64_t heartbeatTimer = 0;
        uint64_t endAfterTimer = 0;
        bool usb = false; // a framed 6004 connection from the usbmuxd double (or the loopback road)
        std::unique_ptr<UsbFrameDecoder> frames;
        uint32_t nextTag = 1;
    };
    // A 6005 or 6006 connection of USB device mode.
    struct UsbLink {
        int fd = -1;
        uint16_t port = 0;
        std::unique_ptr<UsbFrameDecoder> frames;
        uint32_t nextTag = 1;
        bool broken = false;
    };
    struct Pending {
        bool close = false;
        std::string reason;
        std::optional<int> endCode;
        bool usbDetach = false;
    };
    struct UpdateTally {
        uint8_t type = 0;
        bool frame = false;
        bool cursor = false;
        bool changed = false;
    };

    void runLoop();
    void onDatagramReadable();
    void handleDatagram(ByteView bytes, const NetAddress& from);
    void answerFeature(uint16_t feature, uint16_t operation, const NetAddress& from);
    void cursorDatagramSeen(const SidebandDatagram& datagram);
    void featureDatagramSeen(std::string_view source, const SidebandDatagram& datagram, const NetAddress& from);
    void connectTo(const std::string& ip);
    void onConnectReady();
    void connectFailed(const std::string& reason);
    void beginSession();
    void onStreamReadable();
    void settlePending();
    bool sendOnStream(ByteView bytes);
    void sendUpdateRequest();
    void scheduleHeartbeat();
    void scheduleDelayedRequest();
    bool requestsAllowed(bool answeringFrame) const;
    void closeConnection(const std::string& reason, EndMode mode);
    void goSilent();
    void endByLimit(const std::string& reason);
    void endRun(int code, const std::string& reason);
    void sendDatagramTo(ByteView bytes, NetAddress to);
    void runSendSteps();
    void pictureChanged();
    void writePng();
    void setState(ClientState state);
    // Changes the snapshot under its lock and wakes the waiters.
    template <typename F> void update(F&& change) {
        {
            std::lock_guard lock(m_mutex);
            change(m_snapshot);
        }
        m_changed.notify_all();
    }

    // StreamHandler
    void busyReceived(uint64_t id) override;
    void resolutionReceived(const ResolutionMessage& message) override;
    void updateBegan(uint8_t type, uint16_t count) override;
    void updateRecordReceived(const RectangleRecord& record, ByteView payload) override;
    void updateEnded() override;
    void multiDisplayReceived(uint16_t count) override;
    void systemInformationReceived(ByteView document, bool wellFormed) override;
    void protocolError(const std::string& what, bool fatal) override;

    // USB device mode.
    bool startUsb(std::string* error);
    void onUsbRegistrationReadable();
    void adoptUsbConnection(uint16_t port, int fd);
    void onUsbLinkReadable(uint64_t id);
    void closeUsbLink(uint64_t id);
    void onUsbStreamFrame(uint32_t type, ByteView bytes);
    void handleUsbDatagram(ByteView bytes, const char* source);
    void sendUsbDatagram(ByteView bytes);
    void sendDatagram(ByteView bytes);
    void usbDetach();
    void injectUsbFrameFault();

    void handleRecord(const RectangleRecord& record, ByteView payload, JpegDecodeJob* decoded);
    // Runs the records waiting for their decodings, in the order they were read.
    void flushRecords();
    bool decodesInPlace(const RectangleRecord& record, ByteView payload);
    void paintRecord(const RectangleRecord& record, ByteView payload, JpegDecodeJob* decoded);
    void cursorImageRecord(const RectangleRecord& record, ByteView payload);

    Config m_config;
    EventLoop m_loop;
    std::thread m_thread;
    RecordLog m_log;
    int m_udpFd = -1;
    std::shared_ptr<ns::NSNetService> m_announcement;
    std::optional<NetAddress> m_bindAddress;
    std::unique_ptr<Connection> m_connection;
    std::vector<int> m_keptFds; // silent connections, kept open until the end of the run
    uint64_t m_nextGeneration = 1;
    Pending m_pending;
    UpdateTally m_tally;
    // The JPEGs of an update decode on these workers while the stream is read on; the update's
    // records wait here from the first of them on and run in order as their decodings finish.
    // A JPEG whose rectangle meets none read before it in its update decodes straight into the
    // picture; the others are painted in order.
    struct WaitingRecord {
        std::function<void()> run;
        std::shared_ptr<JpegDecodeJob> job;
    };
    std::unique_ptr<JpegDecodePool> m_decoders;
    std::deque<WaitingRecord> m_waitingRecords;
    std::vector<RectangleRecord> m_updateJpegs; // the update's JPEG rectangles so far
    bool m_updateDecodesInPlace = true;         // until a header cannot be read or the list is long
    // Drops the waiting records; decodings under way are waited for.
    void dropWaitingRecords();
    Bytes m_streamReadBuffer; // the stream's reads land here
    bool m_flushingRecords = false;
    bool m_busyRefused = false;
    // Until then (--away) invitations are logged, not acted on.
    std::optional<platform::TimePoint> m_awayUntil;
    std::string_view m_errorSource = "tcp"; // where the bytes being read came from
    const char* m_streamSource = "tcp";     // the main stream's name in the record log
    int m_usbRegistrationFd = -1;
    std::map<uint64_t, UsbLink> m_usbLinks;
    std::vector<std::pair<int, uint16_t>> m_usbLoopbackListeners;
    uint64_t m_nextUsbLink = 1;
    bool m_usbFaultSent = false;
    bool m_ended = false;
    size_t m_nextStep = 0;
    bool m_stepsStarted = false;
    std::optional<platform::TimePoint> m_lastPngWrite;
    uint64_t m_pngTimer = 0;
    uint64_t m_framesInRun = 0;
    platform::TimePoint m_startTime;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Snapshot m_snapshot;
    // The picture's pixels: decodings write their own rectangles holding this shared; reading
    // the whole picture or resizing it holds it alone. Taken before m_mutex.
    mutable std::shared_mutex m_pictureLock;
    Picture m_picture;
    std::optional<CursorImage> m_cursorImage;
};

} // namespace refclient
