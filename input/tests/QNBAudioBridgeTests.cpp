#include "input/QNBAudioBridge.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coreaudio/Testing.h"
#include "platform/dispatch/Dispatch.h"

#include <gtest/gtest.h>

#include <ortp/ortp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using namespace coreaudio;
using input::QNBAudioBridge;

namespace {

constexpr uint64_t kRing = QNBAudioBridge::kAudioBufferBytes;

platform::Duration framesDuration(uint64_t frames) {
    return platform::Duration(static_cast<int64_t>(frames * 1'000'000'000ull / 44100ull));
}

// Frame `slot` of the ring holds signal frame `frame`.
void expectSignalAt(const QNBAudioBridge& bridge, uint64_t slot, uint64_t frame) {
    int16_t sample[2];
    std::memcpy(sample, bridge.audioBuffer() + 4 * slot, 4);
    ASSERT_EQ(sample[0], coreaudio::testing::leftSample(frame)) << "slot " << slot;
    ASSERT_EQ(sample[1], coreaudio::testing::rightSample(frame)) << "slot " << slot;
}

OSStatus callBridge(QNBAudioBridge& bridge, uint64_t firstFrame, UInt32 frames) {
    AudioTimeStamp stamp{static_cast<double>(firstFrame), 0, 1};
    AudioUnitRenderActionFlags flags = 0;
    return QNBAudioBridge::inputCallback(&bridge, &flags, &stamp, 1, frames, nullptr);
}

class QNBAudioBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock = &platform::installFakeClock();
        coreaudio::testing::reset();
        bridge = std::make_unique<QNBAudioBridge>();
        bridge->commonInit();
    }
    void TearDown() override {
        bridge.reset();
        coreaudio::testing::reset();
    }
    // Runs set-up, capturing what it prints.
    OSStatus initialize(std::string& printed) {
        ::testing::internal::CaptureStderr();
        OSStatus status = bridge->initializeAUGraph();
        printed = ::testing::internal::GetCapturedStderr();
        return status;
    }
    // Runs `stop` on a thread of its own, then moves the clock one buffer once the bridge has been
    // asked to stop, so the device thread's next call is what ends the wait.
    // `stopping` lives until the clock moves.
    void stopWithinOneBuffer(QNBAudioBridge* stopping, std::function<void()> stop) {
        std::thread stopper(std::move(stop));
        while (!stopping->shouldStop())
            std::this_thread::yield();
        const uint64_t before = coreaudio::testing::callbacksDelivered();
        clock->advance(framesDuration(512) + platform::Duration(1));
        coreaudio::testing::waitForCallbacks(before + 1);
        stopper.join();
    }
    platform::FakeClock* clock = nullptr;
    std::unique_ptr<QNBAudioBridge> bridge;
};

} // namespace

TEST_F(QNBAudioBridgeTest, CommonInitPreparesTheRTPSessionAndTheRing) {
    ASSERT_NE(bridge->rtpSession(), nullptr);
    EXPECT_EQ(rtp_session_get_send_payload_type(bridge->rtpSession()), 10);
    EXPECT_EQ(bridge->rtpDefaultPayloadType(), 10);
    EXPECT_FALSE(bridge->rtpDefaultMark());
    EXPECT_EQ(bridge->rtpTimestampIncrement(), 1024u);
    EXPECT_EQ(bridge->rtpMaximumPacketSize(), 16384u);
    EXPECT_EQ(bridge->rtpSession()->recv_buf_size, 16384);
    EXPECT_NE(bridge->bufferLock(), nullptr);
    EXPECT_NE(bridge->lockLock(), nullptr);
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
    EXPECT_EQ(bridge->audioBufferTail(), 0u);
    EXPECT_EQ(bridge->audioBufferHead(), 0u);
    EXPECT_EQ(bridge->outputCASBD().mFormatID, 0u);
    EXPECT_EQ(bridge->graph(), nullptr);
}

TEST_F(QNBAudioBridgeTest, InitializeSetsUpTheHALUnit) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    EXPECT_EQ(printed, "");
    ASSERT_NE(bridge->mixer(), nullptr);
    EXPECT_EQ(bridge->inputDeviceID(), kDefaultInputDeviceID);
    EXPECT_EQ(bridge->audioChannels(), 2u);
    EXPECT_EQ(bridge->audioSamples(), 512u);
    EXPECT_EQ(bridge->deviceFormat().mSampleRate, 44100.0);
    const AudioStreamBasicDescription& out = bridge->outputFormat();
    EXPECT_EQ(out.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(out.mFormatFlags, 0x0Cu);
    EXPECT_EQ(out.mBytesPerPacket, 4u);
    EXPECT_EQ(out.mFramesPerPacket, 1u);
    EXPECT_EQ(out.mBytesPerFrame, 4u);
    EXPECT_EQ(out.mBitsPerChannel, 16u);
    AudioBufferList* list = bridge->inputAudioBuffer();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->mNumberBuffers, 1u);
    EXPECT_EQ(list->mBuffers[0].mNumberChannels, 2u);
    EXPECT_EQ(list->mBuffers[0].mDataByteSize, 2048u);
    UInt32 on = 0, size = sizeof on;
    AudioUnitGetProperty(bridge->mixer(), kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on,
                         &size);
    EXPECT_EQ(on, 1u);
    AudioUnitGetProperty(bridge->mixer(), kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &on,
                         &size);
    EXPECT_EQ(on, 0u);
}

TEST_F(QNBAudioBridgeTest, EachSetUpFailurePrintsItsLineAndAnswersItsStatus) {
    struct Case {
        const char* call;
        int64_t property; // -1: the whole call
        const char* line;
    } cases[] = {
        {"AudioObjectGetPropertyData", -1, "failed to get default input device\n"},
        {"AudioUnitSetProperty", kAudioOutputUnitProperty_CurrentDevice, "failed to set AU input device\n"},
        {"AudioUnitGetProperty", kAudioUnitProperty_StreamFormat, "failed to get input device ASBD\n"},
        {"AudioUnitSetProperty", kAudioUnitProperty_StreamFormat, "failed to set input device ASBD\n"},
        {"AudioUnitGetProperty", kAudioDevicePropertyBufferFrameSize, "failed to get audio sample size\n"},
        {"AudioUnitInitialize", -1, "failed to initialize AU\n"},
        {"AudioUnitSetProperty", kAudioOutputUnitProperty_EnableIO, ""},
        {"AudioUnitSetProperty", kAudioOutputUnitProperty_SetInputCallback, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + "/" + std::to_string(c.property));
        coreaudio::testing::reset();
        bridge = std::make_unique<QNBAudioBridge>();
        bridge->commonInit();
        if (c.property < 0)
            coreaudio::testing::failCall(c.call, -4242);
        else
            coreaudio::testing::failProperty(c.call, static_cast<AudioUnitPropertyID>(c.property), -4242);
        std::string printed;
        EXPECT_EQ(initialize(printed), -4242);
        EXPECT_EQ(printed, c.line);
        EXPECT_EQ(bridge->inputAudioBuffer(), nullptr);
    }
}

TEST_F(QNBAudioBridgeTest, OpeningFailureForgetsTheUnit) {
    coreaudio::testing::failCall("AudioComponentInstanceNew", -3000);
    std::string printed;
    EXPECT_EQ(initialize(printed), -3000);
    EXPECT_EQ(bridge->mixer(), nullptr);
}

TEST_F(QNBAudioBridgeTest, NoDefaultDeviceFailsToSetTheDevice) {
    coreaudio::testing::setNoDefaultInputDevice(true);
    std::string printed;
    EXPECT_EQ(initialize(printed), kAudioHardwareBadDeviceError);
    EXPECT_EQ(printed, "failed to set AU input device\n");
}

TEST_F(QNBAudioBridgeTest, RecordingAndGraphLines) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bridge->startRecording(), kAudio_ParamError); // no unit yet
    EXPECT_EQ(bridge->startAUGraph(), kAudio_ParamError);   // the graph is never made
    EXPECT_EQ(bridge->stopAUGraph(), kAudio_ParamError);
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.substr(0, 19), "failed to start AU\n");
    EXPECT_NE(printed.find("AUGraphStart result -50 FFFFFFCE "), std::string::npos);

    std::string ignored;
    ASSERT_EQ(initialize(ignored), noErr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bridge->startRecording(), noErr);
    EXPECT_EQ(bridge->stopRecording(), noErr);
    coreaudio::testing::failCall("AudioOutputUnitStop", -1);
    EXPECT_EQ(bridge->stopRecording(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Recording started...\nRecording stoped.\nfailed to stop AU\n");
}

// 86 buffers of 512 frames: the 64th fills the ring to its end exactly.
TEST_F(QNBAudioBridgeTest, RingOnTheFakeClock) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    ::testing::internal::CaptureStderr();
    const uint64_t base = coreaudio::testing::callbacksDelivered();
    const platform::TimePoint start = platform::now();
    ASSERT_EQ(bridge->startRecording(), noErr);
    clock->advanceTo(start + framesDuration(64 * 512));
    ASSERT_EQ(coreaudio::testing::waitForCallbacks(base + 64), base + 64);
    EXPECT_EQ(bridge->audioBufferTail(), 0u);
    EXPECT_EQ(bridge->audioBufferSize(), kRing);
    clock->advanceTo(start + platform::seconds(1.0)); // 86 buffers are due by then, the 87th is not
    ASSERT_EQ(coreaudio::testing::waitForCallbacks(base + 86), base + 86);
    bridge->stopRecording();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(coreaudio::testing::callbacksDelivered(), base + 86);
    EXPECT_EQ(bridge->audioBufferSize(), 176128u);
    EXPECT_EQ(bridge->audioBufferTail(), 45056u);
    EXPECT_EQ(bridge->audioBufferHead(), 0u);
    // From the tail round: frames 11 264 to 44 031.
    const uint64_t tailSlot = 45056 / 4;
    for (uint64_t i = 0; i < kRing / 4; ++i)
        expectSignalAt(*bridge, (tailSlot + i) % (kRing / 4), 11264 + i);
}

TEST_F(QNBAudioBridgeTest, WrapSplitsAcrossTheRingEnd) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    bridge->setAudioBufferTail(131000);
    ASSERT_EQ(callBridge(*bridge, 0, 100), noErr);
    EXPECT_EQ(bridge->audioBufferTail(), 328u);
    EXPECT_EQ(bridge->audioBufferSize(), 400u);
    for (uint64_t f = 0; f < 18; ++f) // 72 bytes at the end
        expectSignalAt(*bridge, 131000 / 4 + f, f);
    for (uint64_t f = 18; f < 100; ++f) // 328 at the start
        expectSignalAt(*bridge, f - 18, f);
}

TEST_F(QNBAudioBridgeTest, ZeroFramesStoreNothing) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    EXPECT_EQ(callBridge(*bridge, 0, 0), noErr);
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
    EXPECT_EQ(bridge->audioBufferTail(), 0u);
}

// A render longer than the buffer list is cut to the list, the rest dropped, logged once.
TEST_F(QNBAudioBridgeTest, OverlongRenderIsCutToTheBuffer) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    platform::LogCapture log(true);
    EXPECT_EQ(callBridge(*bridge, 0, 100000), noErr);
    EXPECT_EQ(callBridge(*bridge, 512, 100000), noErr);
    EXPECT_EQ(bridge->audioBufferSize(), 4096u);
    EXPECT_EQ(bridge->audioBufferTail(), 4096u);
    for (uint64_t f = 0; f < 1024; ++f)
        expectSignalAt(*bridge, f, f);
    EXPECT_EQ(log.count("100000 frames"), 1u);
}

// The unit renders into the list the bridge was handed; the one it held before is freed.
TEST_F(QNBAudioBridgeTest, SetInputAudioBufferTakesTheListTheUnitRendersInto) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    auto* list = static_cast<AudioBufferList*>(std::calloc(1, sizeof(AudioBufferList)));
    list->mNumberBuffers = 1;
    list->mBuffers[0].mNumberChannels = 2;
    list->mBuffers[0].mDataByteSize = 2048;
    list->mBuffers[0].mData = std::calloc(1, 2048);
    bridge->setInputAudioBuffer(list);
    EXPECT_EQ(bridge->inputAudioBuffer(), list);
    ASSERT_EQ(callBridge(*bridge, 0, 512), noErr);
    int16_t first[2];
    std::memcpy(first, static_cast<const uint8_t*>(list->mBuffers[0].mData) + 4 * 511, 4);
    EXPECT_EQ(first[0], coreaudio::testing::leftSample(511));
    expectSignalAt(*bridge, 511, 511);
    bridge->setInputAudioBuffer(bridge->inputAudioBuffer()); // the same list: kept
    EXPECT_EQ(bridge->inputAudioBuffer(), list);
}

TEST_F(QNBAudioBridgeTest, CallbackWithoutBuffersStoresNothing) {
    EXPECT_EQ(callBridge(*bridge, 0, 512), noErr);
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
}

// A failed render leaves the ring alone and answers its status.
TEST_F(QNBAudioBridgeTest, FailedRenderStoresNothing) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    ASSERT_EQ(callBridge(*bridge, 0, 512), noErr);
    coreaudio::testing::failCall("AudioUnitRender", -10863);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(callBridge(*bridge, 512, 512), -10863);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "AudioUnitRender() failed with error -10863\n");
    EXPECT_EQ(bridge->audioBufferSize(), 2048u);
    EXPECT_EQ(bridge->audioBufferTail(), 2048u);
}

TEST_F(QNBAudioBridgeTest, StopProcessingReturnsAtOnceWhenStoppedOrNotRunning) {
    bridge->stopProcessingAudio(); // not running
    EXPECT_TRUE(bridge->shouldStop());
    bridge->setRunning(true);
    bridge->setStopped(true);
    bridge->stopProcessingAudio();
    EXPECT_TRUE(bridge->stopped());
}

// The callback that sees shouldStop sets stopped and stores nothing more.
TEST_F(QNBAudioBridgeTest, StopProcessingEndsWithinOneBufferWhenRunning) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(bridge->startRecording(), noErr);
    bridge->setRunning(true);
    stopWithinOneBuffer(bridge.get(), [this] { bridge->stopProcessingAudio(); });
    EXPECT_TRUE(bridge->stopped());
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
    const uint64_t before = coreaudio::testing::callbacksDelivered();
    clock->advance(framesDuration(4 * 512));
    coreaudio::testing::waitForCallbacks(before + 4);
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
    bridge->stopRecording();
    ::testing::internal::GetCapturedStderr();
}

// On the main thread the wait runs the main run loop, so the main queue is served meanwhile;
// the unit's next callback ends it.
TEST_F(QNBAudioBridgeTest, StopProcessingOnTheMainThreadWhileTheUnitRuns) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(bridge->startRecording(), noErr);
    bridge->setRunning(true);
    bool served = false;
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [&served] { served = true; });
    std::atomic<bool> returned{false};
    // The clock moves only once the bridge was asked to stop, and on until the wait has ended:
    // each step of the wait is a 0.05 s turn of the run loop.
    std::thread device([&] {
        while (!bridge->shouldStop())
            std::this_thread::yield();
        while (!returned.load()) {
            clock->advance(platform::seconds(0.05));
            std::this_thread::yield();
        }
    });
    bridge->stopProcessingAudio();
    returned.store(true);
    device.join();
    EXPECT_TRUE(bridge->stopped());
    EXPECT_TRUE(served);
    EXPECT_EQ(bridge->audioBufferSize(), 0u);
    bridge->stopRecording();
    ::testing::internal::GetCapturedStderr();
}

TEST_F(QNBAudioBridgeTest, TeardownWaitsForTheCallbackToStop) {
    std::string printed;
    ASSERT_EQ(initialize(printed), noErr);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(bridge->startRecording(), noErr);
    ::testing::internal::GetCapturedStderr();
    bridge->setRunning(true);
    stopWithinOneBuffer(bridge.get(), [this] { bridge.reset(); });
    EXPECT_EQ(bridge, nullptr);
}
