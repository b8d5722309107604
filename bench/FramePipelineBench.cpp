// P1: the frame pipeline's CPU cost against its floor. One device at 2048 × 1536; a
// display-sized photo window shifted 16 pixels and back 60 times a second, so every frame
// is the whole display. The floor is one thread re-encoding the rectangles the device received
// from the display's own pixels with one compressor into one reused buffer, and writing the
// same records, behind the same update header, to a loopback TCP connection that a second
// thread drains; the pipeline's cost is TesselHelper's CPU time over the same frames. The
// floor without the socket is printed beside it. Goal: floor / cost at least 0.95.
#include "bench/RoadBench.h"

#include <chrono>
#include <thread>

using namespace bench;

namespace {

constexpr int kWidth = 2048, kHeight = 1536;
constexpr double kGoal = 0.95;
constexpr double kWarmUpSeconds = 1;

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
    WindowShaker shaker(*road, {{"photo", x, y}}, 60);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));

    const size_t logBegin = device->log().size();
    const auto countersBegin = road->counters(display.displayID);
    const double helperBegin = processCpuSeconds(road->helperPid());
    const int64_t wallBegin = monotonicNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    const auto lines = device->log();
    const double helperEnd = processCpuSeconds(road->helperPid());
    const int64_t wallEnd = monotonicNs();
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
    say("TesselHelper: %.2f ms CPU a frame (%.0f %% of a core)", helperCpu / n * 1e3, helperCpu / wall * 100);
    say("one-thread re-encoding: %.2f ms CPU a frame (ratio %.2f)", encodeCpu / n * 1e3,
        encodeCpu / helperCpu);
    say("one-thread re-encoding and sending over loopback TCP: %.2f ms CPU a frame", floorCpu / n * 1e3);
    if (!snapshot.protocolErrors.empty())
        say("device protocol errors: %zu, first: %s", snapshot.protocolErrors.size(),
            snapshot.protocolErrors.front().c_str());
    const double ratio = floorCpu / helperCpu;
    sayMachineLoad();
    say("P1 frame_pipeline_bench: ratio=%.2f goal >= %.2f (%s)", ratio, kGoal,
        ratio >= kGoal ? "met" : "missed");
    return 0;
}
