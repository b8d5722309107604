// What the end-to-end benchmarks share: a private platformd with the build's drivers,
// TesselHelper.app launched by it, reference-client devices invited as the host does, test
// windows driven through platformd's window server, CPU clocks of the processes involved, the
// rectangles a device received, and their re-encoding on one thread as the yardstick.
#pragma once

#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/windowserver/DisplayInfo.h"
#include "tools/refclient/Client.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench {

struct Options {
    double seconds = 5;
};
// "--seconds S"; prints the usage and exits 2 on anything else.
Options parseOptions(int argc, char** argv, const char* program);

// Prints a line and flushes, so a long run shows its progress.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The machine's cores and load averages, one line: figures taken on a busy machine say so.
void sayMachineLoad();

// CLOCK_MONOTONIC in nanoseconds, the clock the window server stamps compositions with.
int64_t monotonicNs();
// CPU seconds (user and system, every thread) a process has used so far; -1 when it is gone.
double processCpuSeconds(pid_t pid);
// CPU seconds the calling thread has used so far.
double threadCpuSeconds();
// Sleeps to an absolute CLOCK_MONOTONIC time.
void sleepUntilNs(int64_t deadline);

// The machine's other runs (integration tests, other benchmarks) use the same ports: waits until
// the server's stream port and the devices' sideband ports are free; false after limit seconds.
bool waitForProtocolPorts(const std::vector<std::string>& addresses, double limit = 600);

struct Counters {
    int64_t vblanks = 0;
    int64_t compositions = 0;
    int64_t grabs = 0;
    int64_t streamFrames = 0;
    int64_t streamSkipped = 0;
    int64_t composedAt = 0;
};

// A display's composed pixels, packed BGRX rows.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgrx;
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

// A frame as a device's record log shows it: its JPEG rectangles, in order.
struct ReceivedFrame {
    std::vector<Rect> rects;
};
// The frames among log lines from index from on (updates without a JPEG rectangle are skipped).
std::vector<ReceivedFrame> framesInLog(const std::vector<std::string>& lines, size_t from = 0);

// The road under measurement. Everything it started is stopped at destruction.
class Road {
  public:
    Road();
    ~Road();
    Road(const Road&) = delete;
    Road& operator=(const Road&) = delete;

    // Once the protocol ports of the devices' addresses are free, boots platformd with the
    // drivers and launches TesselHelper.app; false (and why) on failure.
    bool start(const std::vector<std::string>& addresses, std::string& why);
    pid_t platformdPid() const { return m_platformd ? m_platformd->pid() : -1; }
    pid_t helperPid() const { return m_helperPid; }
    std::string helperLogTail() const;

    // A device on address asking for width × height, invited and activated; null (and why) when not.
    std::unique_ptr<refclient::Client> connectDevice(const std::string& address, const std::string& name,
                                                     int width, int height, std::string& why);

    // The online displays the drivers added, in serial-number order.
    std::vector<windowserver::DisplayInfo> virtualDisplays();

    // Test windows of this process's connection to platformd: a display-sized "photo" window and
    // moves of its origin (global points).
    bool drawPhoto(const std::string& window, uint32_t display, int seed);
    bool moveWindow(const std::string& window, double x, double y);
    std::optional<Counters> counters(uint32_t display);
    std::optional<Pixels> readDisplay(uint32_t display);

  private:
    std::unique_ptr<platformd::testing::PrivatePlatformd> m_platformd;
    pid_t m_helperPid = 0;
};

// Shifts test windows 16 pixels to the right and back, rate times a second, on its own thread
// until stopped (or destroyed).
class WindowShaker {
  public:
    struct Window {
        std::string name;
        double x = 0, y = 0; // its resting origin, global points
    };
    WindowShaker(Road& road, std::vector<Window> windows, double rate);
    ~WindowShaker();
    WindowShaker(const WindowShaker&) = delete;
    WindowShaker& operator=(const WindowShaker&) = delete;
    // Stops and leaves every window at rest.
    void stop();
    uint64_t moves() const { return m_moves; }
    uint64_t refused() const { return m_refused; }

  private:
    Road& m_road;
    std::vector<Window> m_windows;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_moves{0}, m_refused{0};
    std::thread m_thread;
};

// A road set up by setup: a fresh one for each of up to attempts tries while setup fails, since
// another run can take the protocol ports between their check and the binds. Null (and the
// last why) when every try failed.
std::unique_ptr<Road> setUpRoad(const std::function<bool(Road&, std::string&)>& setup, std::string& why,
                                int attempts = 3);

// The single-device setting of the frame benchmarks: the road started, one device at width ×
// height activated, and a display-sized "photo" window on its display.
struct PhotoDevice {
    std::unique_ptr<refclient::Client> device;
    windowserver::DisplayInfo display;
};
std::optional<PhotoDevice> startPhotoDevice(Road& road, int width, int height, std::string& why);
// A road set up (with retries) around a started photo device.
std::unique_ptr<Road> setUpPhotoRoad(std::optional<PhotoDevice>& photo, int width, int height,
                                     std::string& why);
// The four-device setting: devices on 127.0.0.2 to 127.0.0.5 asking for width × height, each
// display (in serial-number order) with a display-sized photo window at rest on it.
struct PhotoDevices {
    std::vector<std::unique_ptr<refclient::Client>> devices;
    std::vector<windowserver::DisplayInfo> displays;
    std::vector<WindowShaker::Window> windows;
};
// A road set up (with retries) around four started devices and their photo windows, once each
// device has been quiet for a while. Null (and why) when not.
std::unique_ptr<Road> setUpFourPhotoDevices(PhotoDevices& photo, int width, int height, std::string& why);

// The display's pixels with the photo window moved shift pixels right of its resting place,
// read once the device has been quiet for a while.
std::optional<Pixels> readShifted(Road& road, const PhotoDevice& photo, double shift);

// Waits for a device to receive no frame for quiet seconds (at most limit seconds in all).
bool waitForQuiet(const refclient::Client& device, double quiet, double limit);

// One TurboJPEG compressor encoding rectangles of a picture into one reused buffer, as the
// server encodes them (BGRX, 4:2:0, quality 99, fast DCT, no reallocation).
class Reencoder {
  public:
    Reencoder();
    ~Reencoder();
    Reencoder(const Reencoder&) = delete;
    Reencoder& operator=(const Reencoder&) = delete;

    // Encodes the rectangles (clipped to the picture) once; the thread's CPU seconds it took,
    // or -1 when a rectangle failed. bytes, when given, gets the JPEG bytes produced. With a
    // sink, each rectangle is also written to it as the server writes a frame: the update
    // header first, then each record with its JPEG in one write.
    double encode(const Pixels& source, const std::vector<Rect>& rects, uint64_t* bytes = nullptr,
                  class LoopbackSink* sink = nullptr);

  private:
    void* m_handle = nullptr;
    std::vector<unsigned char> m_buffer;
};

// A loopback TCP connection whose far end a thread of its own reads and discards, as a device
// would: what a frame costs the writing thread on the socket, the receiving side's protocol
// work included (the kernel does that on the sender's time).
class LoopbackSink {
  public:
    LoopbackSink();
    ~LoopbackSink();
    LoopbackSink(const LoopbackSink&) = delete;
    LoopbackSink& operator=(const LoopbackSink&) = delete;
    bool ready() const { return m_writer >= 0; }
    // Writes every byte (blocking while the reader is behind); false on a broken connection.
    bool write(const void* head, size_t headLength, const void* payload = nullptr, size_t payloadLength = 0);

  private:
    int m_writer = -1;
    int m_reader = -1;
    std::thread m_drain;
};

double median(std::vector<double> values);

// A signal-safe pair of processes exchanging one byte rate times a second for seconds: the CPU
// seconds both sides used (the bare cost of that many cross-process round trips), and the
// number made.
struct RoundTrips {
    double cpuSeconds = 0;
    uint64_t made = 0;
};
RoundTrips measureRoundTrips(double rate, double seconds);

} // namespace bench
