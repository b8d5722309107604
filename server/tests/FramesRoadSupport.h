// What the frames road tests share: a device (the reference client) served by TesselHelper,
// its display, platformctl's hooks, and the two pixel checks: the device's picture against the
// display's composed pixels within a tolerance, and exactly against a replay of the device's
// logged rectangles, each re-encoded from the composed pixels as the server encodes and decoded
// with the device's own call.
#pragma once

#include "platform/windowserver/DisplayInfo.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace server::testing {

// Runs platformctl on the test's platformd; failure carries its output.
::testing::AssertionResult ctl(const std::vector<std::string>& args);
std::string hex(uint32_t value);
std::string number(double value);

// A rectangle of display pixels.
struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The window server's counters of one display.
struct DisplayCounters {
    int64_t vblanks = 0;
    int64_t compositions = 0;
    int64_t grabs = 0;
    int64_t streamFrames = 0;
    int64_t streamSkipped = 0;
    // Whether nothing was composed or streamed between this reading and a later one, and nothing
    // grabbed but the `ownGrabs` of the test itself.
    bool sameWork(const DisplayCounters& later, int64_t ownGrabs = 0) const {
        return compositions == later.compositions && grabs + ownGrabs == later.grabs &&
               streamFrames == later.streamFrames && streamSkipped == later.streamSkipped;
    }
};
std::optional<DisplayCounters> displayCounters(uint32_t displayID);
std::optional<windowserver::DisplayInfo> displayInfo(uint32_t displayID);

// A display's composed pixels: B, G, R, X, rows packed.
struct DisplayPixels {
    int width = 0, height = 0;
    std::vector<uint8_t> bgrx;
};
// Read through `platformctl read-display --bgrx`; nothing when the display's size changed meanwhile.
std::optional<DisplayPixels> readDisplay(uint32_t displayID, const std::string& folder);

// Pixels on a colour edge: those whose decoded chroma draws on differently coloured source
// pixels (4:2:0 samples and the upsampling filter reach one pixel past an even-aligned edge,
// two past an odd one). The device keeps what upsampling blended at an edge until that area is
// sent again, so the edges of every phase it has shown are kept out of the flat check.
struct EdgeMask {
    int width = 0, height = 0;
    std::vector<bool> edge;
    // Adds the edges of source; a new size starts afresh.
    void add(const DisplayPixels& source);
};

// The tolerance check: the largest channel difference at pixels off colour edges,
// and the PSNR of a rectangle of photo-like content without its outermost pixels (edges too).
struct Tolerance {
    int worstFlat = 0;
    size_t flatPixels = 0;
    int worstX = -1, worstY = -1;
    double psnr = 0; // infinity when equal, or without a rectangle
};
Tolerance compareWithin(const refclient::Picture& picture, const DisplayPixels& source, const EdgeMask& edges,
                        const std::optional<PixelRect>& photo);

// The device's logged rectangles from line `from` on, re-encoded from source (BGRX, 4:2:0,
// quality 99, fast DCT) and decoded into replay as the device decodes; resolution lines resize
// it. False with why when a rectangle lies outside the source or does not code.
bool replayRectangles(refclient::Picture& replay, const std::vector<std::string>& log, size_t from,
                      const DisplayPixels& source, std::string& why);

class FramesDevice {
  public:
    // The device binds address; its PNG and log go under root.
    FramesDevice(const std::string& root, std::string address,
                 const std::function<void(refclient::Config&)>& tweak = {});
    ~FramesDevice();

    bool start();
    // Invites the device as the host does; true once the session is reported, the display is
    // added and the first frame has arrived.
    bool invite();
    refclient::Client& client() { return *m_client; }
    const std::string& address() const { return m_address; }
    uint32_t displayID() const { return m_displayID; }
    std::optional<windowserver::DisplayInfo> display() const { return displayInfo(m_displayID); }
    std::optional<DisplayCounters> counters() const { return displayCounters(m_displayID); }
    bool waitFor(const std::function<bool(const refclient::Snapshot&)>& predicate, double seconds = 20) const;

    // Waits until the stream is quiet (nothing composed, grabbed or streamed across a reading,
    // every logged rectangle painted) and the picture passes the tolerance check against the
    // composed pixels; then the rectangles logged since the last settled phase, re-encoded from
    // those pixels, must replay onto the last phase's replay to exactly the picture.
    // Without replay only the tolerance check is made (the phase's frames were encoded from
    // pictures of several compositions); the next phase then replays from its own frames on.
    ::testing::AssertionResult settleAndCompare(const std::string& phase,
                                                const std::optional<PixelRect>& photo = std::nullopt,
                                                bool replay = true);
    // Ends the run; the PNG it writes at its end shows the picture.
    ::testing::AssertionResult pngMatchesPicture();
    // Lines of the device's log of one event ("rect", "update", ...).
    std::vector<std::string> logLines(const std::string& event) const;

  private:
    std::string m_root;
    std::string m_address;
    std::unique_ptr<refclient::Client> m_client;
    std::string m_pngPath;
    uint32_t m_displayID = 0;
    bool m_answersEmptyUpdates = true;
    EdgeMask m_edges; // of the settled phases
    refclient::Picture m_replay;
    size_t m_replayed = 0; // log lines replayed by settled phases
};

} // namespace server::testing
