// P3 and P4: four sessions at once. Devices on 127.0.0.2 to 127.0.0.5 at 2048 × 1536, each
// display with a display-sized photo window shifted 16 pixels and back 60 times a second, the
// devices decoding on the same cores as the server.
// P3: the slowest device's frames a second over 30; goal at least 1.9 (57 frames a second, nearly
// every blank). Beside it, where the cores go: CPU seconds a second of platformd, TesselHelper
// and the devices, and the pixels a second the server encoded for the devices.
// P4: then idle, the CPU of platformd and TesselHelper against a floor measured in the same run:
// 480 bare cross-process round trips a second (the cursor loop's four displays at 120 Hz) plus
// what platformd spends on the enabled displays' vertical blanks while TesselHelper is held
// stopped; goal at most 1.2 times the floor.
#include "bench/RoadBench.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace bench;

namespace {

constexpr int kWidth = 2048, kHeight = 1536;
constexpr int kDevices = 4;
constexpr double kFpsGoal = 30;
constexpr double kFpsRatioGoal = 1.9;
constexpr double kIdleGoal = 1.2;
constexpr double kRoundTripsPerSecond = 480;
constexpr double kWarmUpSeconds = 1;

void pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

struct CpuWindow {
    double platformd = 0, helper = 0, devices = 0, wall = 0;
};

CpuWindow measureCpu(const Road& road, double seconds) {
    const double p = processCpuSeconds(road.platformdPid()), h = processCpuSeconds(road.helperPid()),
                 d = processCpuSeconds(::getpid());
    const int64_t begin = monotonicNs();
    pause(seconds);
    return CpuWindow{processCpuSeconds(road.platformdPid()) - p, processCpuSeconds(road.helperPid()) - h,
                     processCpuSeconds(::getpid()) - d, double(monotonicNs() - begin) * 1e-9};
}

// The virtual displays' counters, summed.
Counters allCounters(Road& road, const std::vector<windowserver::DisplayInfo>& displays) {
    Counters sum;
    for (const auto& d : displays) {
        const Counters c = road.counters(d.displayID).value_or(Counters{});
        sum.vblanks += c.vblanks;
        sum.compositions += c.compositions;
        sum.grabs += c.grabs;
        sum.streamFrames += c.streamFrames;
        sum.streamSkipped += c.streamSkipped;
    }
    return sum;
}

void sayCounters(const char* phase, const Counters& before, const Counters& after, uint64_t moves) {
    say("%s on the virtual displays: %llu window moves, %lld blanks, %lld compositions, %lld grabs, %lld "
        "stream "
        "frames",
        phase, static_cast<unsigned long long>(moves), static_cast<long long>(after.vblanks - before.vblanks),
        static_cast<long long>(after.compositions - before.compositions),
        static_cast<long long>(after.grabs - before.grabs),
        static_cast<long long>(after.streamFrames - before.streamFrames));
}

double percentOfCore(double cpu, double wall) {
    return cpu / wall * 100;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv, "four_sessions_bench");
    PhotoDevices photo;
    std::string why;
    auto road = setUpFourPhotoDevices(photo, kWidth, kHeight, why);
    if (!road) {
        say("four_sessions_bench: %s", why.c_str());
        return 1;
    }
    auto& devices = photo.devices;
    const auto& displays = photo.displays;
    const auto& windows = photo.windows;

    // P3: all four displays changing at once.
    std::vector<double> fps;
    {
        WindowShaker shaker(*road, windows, 60);
        pause(kWarmUpSeconds);
        std::vector<refclient::Snapshot> before;
        std::vector<size_t> logBegin;
        for (auto& device : devices) {
            before.push_back(device->snapshot());
            logBegin.push_back(device->log().size());
        }
        const auto busyBefore = allCounters(*road, displays);
        const CpuWindow busy = measureCpu(*road, options.seconds);
        const auto busyAfter = allCounters(*road, displays);
        shaker.stop();
        for (size_t i = 0; i < devices.size(); ++i) {
            const refclient::Snapshot now = devices[i]->snapshot();
            fps.push_back(double(now.frames - before[i].frames) / busy.wall);
            // Empty answers make a device wait before asking again.
            say("device 127.0.0.%zu: %.1f fps, %.1f empty updates a second", i + 2, fps[i],
                double(now.emptyUpdates - before[i].emptyUpdates) / busy.wall);
        }
        uint64_t encodedPixels = 0;
        for (size_t i = 0; i < devices.size(); ++i)
            for (const ReceivedFrame& frame : framesInLog(devices[i]->log(), logBegin[i]))
                for (const Rect& r : frame.rects)
                    encodedPixels += uint64_t(r.width) * uint64_t(r.height);
        say("busy: platformd %.0f %%, TesselHelper %.0f %%, the devices (this process) %.0f %% of a core",
            percentOfCore(busy.platformd, busy.wall), percentOfCore(busy.helper, busy.wall),
            percentOfCore(busy.devices, busy.wall));
        say("busy CPU seconds a second: platformd %.2f, TesselHelper %.2f, devices %.2f, together %.2f of %u "
            "cores; %.1f Mpixels a second encoded",
            busy.platformd / busy.wall, busy.helper / busy.wall, busy.devices / busy.wall,
            (busy.platformd + busy.helper + busy.devices) / busy.wall, std::thread::hardware_concurrency(),
            double(encodedPixels) / busy.wall * 1e-6);
        // What one frame costs all told, and so how many frames the machine's cores could carry at
        // best: a ceiling on P3 that no pipeline lever can pass.
        double frames = 0;
        for (double f : fps)
            frames += f * busy.wall;
        if (frames > 0) {
            const double perFrame = (busy.platformd + busy.helper + busy.devices) / frames;
            const double ceiling = double(std::thread::hardware_concurrency()) / perFrame / double(kDevices);
            say("CPU a frame: platformd %.1f ms, TesselHelper %.1f ms, its device %.1f ms, together %.1f ms; "
                "%u cores fit at most %.1f frames a second a device (ratio %.2f)",
                busy.platformd / frames * 1e3, busy.helper / frames * 1e3, busy.devices / frames * 1e3,
                perFrame * 1e3, std::thread::hardware_concurrency(), ceiling, ceiling / kFpsGoal);
        }
        sayCounters("busy", busyBefore, busyAfter, shaker.moves());
    }
    const double slowest = *std::min_element(fps.begin(), fps.end());
    const double p3 = slowest / kFpsGoal;

    // P4: idle, then the floor.
    for (auto& device : devices)
        waitForQuiet(*device, 0.5, 10);
    const auto countersBefore = allCounters(*road, displays);
    const CpuWindow idle = measureCpu(*road, options.seconds);
    const auto countersAfter = allCounters(*road, displays);

    // The blanks' share: platformd with TesselHelper held still, its displays left enabled. The
    // round trips run meanwhile, in processes of their own.
    const auto heldBefore = allCounters(*road, displays);
    ::kill(road->helperPid(), SIGSTOP);
    const double platformdBefore = processCpuSeconds(road->platformdPid());
    const int64_t floorBegin = monotonicNs();
    const RoundTrips trips = measureRoundTrips(kRoundTripsPerSecond, idle.wall);
    const double floorWall = double(monotonicNs() - floorBegin) * 1e-9;
    const double blanksCpu = processCpuSeconds(road->platformdPid()) - platformdBefore;
    ::kill(road->helperPid(), SIGCONT);
    const int64_t vblanks = allCounters(*road, displays).vblanks - heldBefore.vblanks;

    // Both floors scaled to the idle window's wall time.
    const double tripsCpu = trips.cpuSeconds / floorWall * idle.wall;
    const double blanksFloor = blanksCpu / floorWall * idle.wall;
    const double floor = tripsCpu + blanksFloor;
    const double idleCpu = idle.platformd + idle.helper;
    say("idle over %.2f s: platformd %.2f %%, TesselHelper %.2f %%, together %.2f %% of a core", idle.wall,
        percentOfCore(idle.platformd, idle.wall), percentOfCore(idle.helper, idle.wall),
        percentOfCore(idleCpu, idle.wall));
    sayCounters("idle", countersBefore, countersAfter, 0);
    say("floor: %llu round trips (%.2f %% of a core) + platformd's blanks, %lld on the virtual displays "
        "(%.2f %%) = %.2f %% of a core",
        static_cast<unsigned long long>(trips.made), percentOfCore(tripsCpu, idle.wall),
        static_cast<long long>(vblanks), percentOfCore(blanksFloor, idle.wall),
        percentOfCore(floor, idle.wall));
    for (auto& device : devices) {
        const auto s = device->snapshot();
        if (!s.protocolErrors.empty())
            say("device protocol errors: %zu, first: %s", s.protocolErrors.size(),
                s.protocolErrors.front().c_str());
    }
    const double p4 = floor > 0 ? idleCpu / floor : 0;
    sayMachineLoad();
    say("P3 four_sessions_bench: ratio=%.2f goal >= %.2f (%s)", p3, kFpsRatioGoal,
        p3 >= kFpsRatioGoal ? "met" : "missed");
    say("P4 four_sessions_bench idle: ratio=%.2f goal <= %.2f (%s); idle %.2f %% of a core", p4, kIdleGoal,
        p4 <= kIdleGoal ? "met" : "missed", percentOfCore(idleCpu, idle.wall));
    return 0;
}
