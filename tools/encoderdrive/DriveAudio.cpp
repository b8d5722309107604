// encoder_drive audio: the audio bridge on the Core Audio stand-in's HAL unit for the drive's
// seconds, then its ring read back: every frame the device thread delivered is counted, and the
// last ring's worth must hold the stand-in's signal (frame k: left int16(k), right its
// complement) in ring order up to the tail.
#include "tools/encoderdrive/Drive.h"

#include "input/QNBAudioBridge.h"

#include "platform/core/Clock.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace encoderdrive {

namespace {

constexpr double kSampleRate = 44100;
constexpr uint64_t kBytesPerFrame = 4; // 16-bit stereo
constexpr uint64_t kFramesPerBuffer = 512;
constexpr double kRateTolerance = 0.02;

int16_t sampleAt(const uint8_t* ring, uint64_t slot, int channel) {
    int16_t value;
    std::memcpy(&value, ring + slot * kBytesPerFrame + 2 * channel, sizeof value);
    return value;
}

} // namespace

int driveAudio(double seconds) {
    input::QNBAudioBridge bridge;
    bridge.commonInit();
    if (const auto status = bridge.initializeAUGraph())
        return failure("audio: the HAL unit was not set up (status " + std::to_string(status) + ")");
    if (const auto status = bridge.startRecording())
        return failure("audio: recording did not start (status " + std::to_string(status) + ")");
    platform::sleepUntil(platform::now() + platform::seconds(seconds));
    if (const auto status = bridge.stopRecording())
        return failure("audio: recording did not stop (status " + std::to_string(status) + ")");

    const uint64_t bytes = bridge.audioBufferSize();
    const uint64_t frames = bytes / kBytesPerFrame;
    const uint64_t ringFrames = input::QNBAudioBridge::kAudioBufferBytes / kBytesPerFrame;
    const uint64_t wraps = bytes / input::QNBAudioBridge::kAudioBufferBytes;
    // The newest frames, ending just before the tail, oldest first.
    const uint64_t kept = std::min(frames, ringFrames);
    const uint64_t tailSlot = bridge.audioBufferTail() / kBytesPerFrame;
    bool signal = bytes % kBytesPerFrame == 0 &&
                  bridge.audioBufferTail() == bytes % input::QNBAudioBridge::kAudioBufferBytes;
    for (uint64_t i = 0; i < kept && signal; ++i) {
        const uint64_t frame = frames - kept + i;
        const uint64_t slot = (tailSlot + ringFrames - kept + i) % ringFrames;
        const int16_t left = int16_t(uint16_t(frame % 65536));
        signal = sampleAt(bridge.audioBuffer(), slot, 0) == left &&
                 sampleAt(bridge.audioBuffer(), slot, 1) == int16_t(~left);
    }

    char line[160];
    std::snprintf(line, sizeof line, "audio: frames %llu signal %s wraps %llu", (unsigned long long)frames,
                  signal ? "ok" : "wrong", (unsigned long long)wraps);
    if (!signal) return failure(std::string(line) + ": the ring does not hold the signal");
    if (frames % kFramesPerBuffer != 0) return failure(std::string(line) + ": not whole buffers");
    const double expected = kSampleRate * seconds;
    if (std::fabs(double(frames) - expected) > kRateTolerance * expected)
        return failure(std::string(line) + ": not " + std::to_string(int64_t(expected)) +
                       " frames within 2 %");
    std::printf("%s\n", line);
    return 0;
}

} // namespace encoderdrive
