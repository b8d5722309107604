// Input while frames are encoded: the time from a device's input message leaving the reference
// client to its event reaching the window server (the event log's stamp, CLOCK_MONOTONIC), with
// four devices at 2048 × 1536 on 127.0.0.2 to 127.0.0.5. First with still screens, then while
// every display's photo window shifts 16 pixels and back 60 times a second, so each device takes
// full-screen frames. The first device sends the pointer moves, one at a time, each waited for.
// Last line: `input latency: still X ms streaming Y ms ratio R` (medians, p99 beside them).
#include "bench/RoadBench.h"

#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Datagrams.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace bench;

namespace {

constexpr int kWidth = 2048, kHeight = 1536;
constexpr int kSamples = 200;
constexpr double kEventTimeout = 10;
// Between moves, so the window server is not flooded and each move is measured alone.
constexpr double kGapSeconds = 0.01;

struct Latencies {
    std::vector<double> ms;
    int lost = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[at];
}

// One pointer move sent and its event waited for; the latency in milliseconds, or -1 when the
// event never came. last is the newest event sequence seen, moved past this move's event.
double measureMove(refclient::Client& device, int i, int64_t& last) {
    const int16_t x = int16_t(200 + (i % 2) * 40), y = int16_t(300 + (i % 7) * 10);
    const int64_t since = server::testing::lastSequence();
    const int64_t sent = monotonicNs();
    device.send(refclient::datagram::mouse(0, x, y));
    auto event =
        server::testing::waitEvent("cg-event", {{"type", int64_t(5)}}, std::max(since, last), kEventTimeout);
    if (!event) return -1;
    last = event->find("sequence")->integerValue();
    const cf::Value* time = event->find("time");
    if (!time || !time->isNumber()) return -1;
    return (time->doubleValue() * 1e9 - double(sent)) * 1e-6;
}

Latencies measure(refclient::Client& device, int samples) {
    Latencies result;
    int64_t last = server::testing::lastSequence();
    for (int i = 0; i < samples; ++i) {
        const double ms = measureMove(device, i, last);
        if (ms < 0)
            ++result.lost;
        else
            result.ms.push_back(ms);
        std::this_thread::sleep_for(std::chrono::duration<double>(kGapSeconds));
    }
    return result;
}

void report(const char* phase, const Latencies& l) {
    say("%s: %zu moves, %d lost; median %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms", phase, l.ms.size(),
        l.lost, median(l.ms), percentile(l.ms, 0.9), percentile(l.ms, 0.99), percentile(l.ms, 1.0));
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv, "input_latency_bench");
    (void)options;
    PhotoDevices photo;
    std::string why;
    auto road = setUpFourPhotoDevices(photo, kWidth, kHeight, why);
    if (!road) {
        say("input_latency_bench: %s", why.c_str());
        return 1;
    }
    auto& devices = photo.devices;

    // The device's input features are negotiated after its activation: the first move that
    // arrives says they are on.
    refclient::Client& pointer = *devices.front();
    int64_t last = server::testing::lastSequence();
    bool inputOn = false;
    for (int i = 0; i < 30 && !inputOn; ++i)
        inputOn = measureMove(pointer, i, last) >= 0;
    if (!inputOn) {
        say("input_latency_bench: the device's pointer moves never reached the window server: %s",
            road->helperLogTail().c_str());
        return 1;
    }

    const Latencies still = measure(pointer, kSamples);
    report("still screens", still);

    Latencies streaming;
    {
        WindowShaker shaker(*road, photo.windows, 60);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::vector<refclient::Snapshot> before;
        for (auto& device : devices)
            before.push_back(device->snapshot());
        const int64_t begin = monotonicNs();
        streaming = measure(pointer, kSamples);
        const double wall = double(monotonicNs() - begin) * 1e-9;
        shaker.stop();
        for (size_t i = 0; i < devices.size(); ++i)
            say("device 127.0.0.%zu: %.1f frames a second while measured", i + 2,
                double(devices[i]->snapshot().frames - before[i].frames) / wall);
    }
    report("streaming full-screen frames", streaming);
    sayMachineLoad();
    if (still.ms.empty() || streaming.ms.empty()) {
        say("input_latency_bench: no move measured");
        return 1;
    }
    const double stillMedian = median(still.ms), streamingMedian = median(streaming.ms);
    say("input latency: still %.2f ms streaming %.2f ms ratio %.2f (p99: still %.2f ms, streaming %.2f ms)",
        stillMedian, streamingMedian, stillMedian > 0 ? streamingMedian / stillMedian : 0,
        percentile(still.ms, 0.99), percentile(streaming.ms, 0.99));
    return 0;
}
