// P1: the frame pipeline's CPU cost against its floor. One device at 2048 × 1536; a
// display-sized photo window shifted 16 pixels and back 60 times a second, so every frame
// is the whole display. The floor is one thread re-encoding the rectangles the device received
// from the display's own pixels with one compressor into one reused buffer, and writing the
// same records, behind the same update header, to a loopback TCP connection that a second
// thread drains; the pipeline's cost is TesselHelper's CPU time over the same frames. The
// floor without the socket is printed beside it. Goal: floor / cost at least 0.95.
#include "bench/RoadBench.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace bench;

namespace {

constexpr int kWidth = 2048, kHeight = 1536;
constexpr double kGoal = 0.95;
constexpr double kWarmUpSeconds = 1;

// Re-encodes and sends each frame the device receives, in order, as it arrives, on its own
// thread until stopped: the floor on the machine as busy as the pipeline has it.
class AlongsideFloor {
  public:
    AlongsideFloor(const refclient::Client& device, size_t logBegin, const std::vector<Pixels>& sources)
        : m_device(device), m_logBegin(logBegin), m_sources(sources), m_thread([this] { run(); }) {}
    ~AlongsideFloor() { stop(); }
    AlongsideFloor(const AlongsideFloor&) = delete;
    AlongsideFloor& operator=(const AlongsideFloor&) = delete;

    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    // Valid once stopped.
    size_t frames() const { return m_frames; }
    double cpuSeconds() const { return m_cpu; }
    bool failed() const { return m_failed; }

  private:
    void run() {
        Reencoder reencoder;
        LoopbackSink sink;
        if (!sink.ready()) {
            m_failed = true;
            return;
        }
        while (!m_stop) {
            const auto frames = framesInLog(m_device.log(), m_logBegin);
            // The last frame may still be arriving: it waits for the next look.
            const size_t complete = frames.empty() ? 0 : frames.size() - 1;
            if (m_frames >= complete) {
                const uint64_t seen = m_device.snapshot().frames;
                m_device.waitFor([seen](const refclient::Snapshot& s) { return s.frames != seen; },
                                 platform::seconds(0.02));
                continue;
            }
            for (; m_frames < complete && !m_stop; ++m_frames) {
                const double spent =
                    reencoder.encode(m_sources[m_frames % 2], frames[m_frames].rects, nullptr, &sink);
                if (spent < 0) {
                    m_failed = true;
                    return;
                }
                m_cpu += spent;
            }
        }
    }

    const refclient::Client& m_device;
    const size_t m_logBegin;
    const std::vector<Pixels>& m_sources;
    std::atomic<bool> m_stop{false};
    size_t m_frames = 0;
    double m_cpu = 0;
    bool m_failed = false;
    std::thread m_thread;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv, "frame_pipeline_bench");
    std::optional<PhotoDevice> photo;
    std::string why;
    auto road = setUpPhotoRoad(photo, kWidth, kHeight, why);
    if (!road) {
        say("frame_pipeline_bench: %s", why.c_str());
        return 1;
    }
    auto& device = photo->device;
    const windowserver::DisplayInfo& display = photo->display;
    const double x = display.bounds.origin.x, y = display.bounds.origin.y;

    // The pixels of the window's two places; frames alternate between them.
    std::vector<Pixels> sources;
    for (double shift : {16.0, 0.0}) {
        auto pixels = readShifted(*road, *photo, shift);
        if (!pixels) {
            say("frame_pipeline_bench: cannot read the display's pixels");
            return 1;
        }
        sources.push_back(std::move(*pixels));
    }

    WindowShaker shaker(*road, {{"photo", x, y}}, 60);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));

    const size_t logBegin = device->log().size();
    const auto countersBegin = road->counters(display.displayID);
    const double helperBegin = processCpuSeconds(road->helperPid());
    const int64_t wallBegin = monotonicNs();
    AlongsideFloor alongside(*device, logBegin, sources);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    const auto lines = device->log();
    const double helperEnd = processCpuSeconds(road->helperPid());
    const int64_t wallEnd = monotonicNs();
    alongside.stop();
    const auto countersEnd = road->counters(display.displayID);
    shaker.stop();

    const auto frames = framesInLog(lines, logBegin);
    const double wall = double(wallEnd - wallBegin) * 1e-9;
    const double helperCpu = helperEnd - helperBegin;
    if (frames.empty() || helperCpu <= 0) {
        say("frame_pipeline_bench: no frames in %.1f s (helper CPU %.3f s): %s", wall, helperCpu,
            road->helperLogTail().c_str());
        return 1;
    }
    const bool streamRoad =
        countersBegin && countersEnd && countersEnd->streamFrames > countersBegin->streamFrames;
    if (alongside.failed() || alongside.frames() == 0) {
        say("frame_pipeline_bench: the floor alongside the pipeline %s",
            alongside.failed() ? "failed (TurboJPEG refused a rectangle, or the loopback socket broke)"
                               : "saw no frame");
        return 1;
    }

    Reencoder reencoder;
    LoopbackSink sink;
    if (!sink.ready()) {
        say("frame_pipeline_bench: cannot open a loopback TCP connection");
        return 1;
    }
    double encodeCpu = 0, floorCpu = 0;
    uint64_t rects = 0, bytes = 0, pixels = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        uint64_t frameBytes = 0;
        const double encoded = reencoder.encode(sources[i % 2], frames[i].rects, &frameBytes);
        const double spent = reencoder.encode(sources[i % 2], frames[i].rects, nullptr, &sink);
        if (encoded < 0 || spent < 0) {
            say("frame_pipeline_bench: TurboJPEG refused a rectangle of frame %zu (or the socket broke)", i);
            return 1;
        }
        encodeCpu += encoded;
        floorCpu += spent;
        bytes += frameBytes;
        rects += frames[i].rects.size();
        for (const Rect& r : frames[i].rects)
            pixels += uint64_t(r.width) * uint64_t(r.height);
    }
    const double n = double(frames.size());
    const auto snapshot = device->snapshot();
    say("road: %s; moves %llu (%llu refused) in %.2f s", streamRoad ? "display stream" : "screen refresh",
        static_cast<unsigned long long>(shaker.moves()), static_cast<unsigned long long>(shaker.refused()),
        wall);
    say("frames: %zu (%.1f fps), %.1f rectangles and %.2f Mpixels a frame, %.0f kB of JPEG a frame",
        frames.size(), n / wall, double(rects) / n, double(pixels) / n * 1e-6, double(bytes) / n / 1024);
    const double helperPerFrame = helperCpu / n;
    say("TesselHelper: %.2f ms CPU a frame (%.0f %% of a core)", helperPerFrame * 1e3,
        helperCpu / wall * 100);
    say("after the run, machine otherwise idle: one-thread re-encoding %.2f ms CPU a frame (ratio %.2f), "
        "re-encoding and sending over loopback TCP %.2f ms (ratio %.2f)",
        encodeCpu / n * 1e3, encodeCpu / helperCpu, floorCpu / n * 1e3, floorCpu / helperCpu);
    const double alongsidePerFrame = alongside.cpuSeconds() / double(alongside.frames());
    say("alongside the pipeline, %zu frames: one-thread re-encoding and sending over loopback TCP %.2f ms "
        "CPU "
        "a frame (%.0f %% of the same code after the run)",
        alongside.frames(), alongsidePerFrame * 1e3, alongsidePerFrame / (floorCpu / n) * 100);
    if (!snapshot.protocolErrors.empty())
        say("device protocol errors: %zu, first: %s", snapshot.protocolErrors.size(),
            snapshot.protocolErrors.front().c_str());
    const double ratio = alongsidePerFrame / helperPerFrame;
    sayMachineLoad();
    say("P1 frame_pipeline_bench: ratio=%.2f goal >= %.2f (%s)", ratio, kGoal,
        ratio >= kGoal ? "met" : "missed");
    return 0;
}
