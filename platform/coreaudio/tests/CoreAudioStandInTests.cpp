#include "platform/coreaudio/CoreAudio.h"
#include "platform/coreaudio/Testing.h"

#include "platform/core/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace coreaudio;

namespace {

platform::Duration framesDuration(uint64_t frames) {
    return platform::Duration(static_cast<int64_t>(frames * 1'000'000'000ull / 44100ull));
}

class CoreAudioStandInTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock = &platform::installFakeClock();
        coreaudio::testing::reset();
        AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                       kAudioUnitManufacturer_Apple, 0, 0};
        ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &desc), &unit), noErr);
    }
    void TearDown() override {
        AudioComponentInstanceDispose(unit);
        coreaudio::testing::reset();
    }
    platform::FakeClock* clock = nullptr;
    AudioUnit unit = nullptr;
};

struct Recorder {
    AudioUnit unit = nullptr;
    std::vector<double> sampleTimes;
    std::vector<int16_t> samples;
    bool stopFromCallback = false;
};

OSStatus recordCallback(void* ref, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus,
                        UInt32 frames, AudioBufferList*) {
    auto* r = static_cast<Recorder*>(ref);
    r->sampleTimes.push_back(stamp->mSampleTime);
    std::vector<int16_t> data(2 * frames);
    AudioBufferList list{1, {{2, static_cast<UInt32>(data.size() * 2), data.data()}}};
    OSStatus err = AudioUnitRender(r->unit, flags, stamp, bus, frames, &list);
    if (err == noErr) r->samples.insert(r->samples.end(), data.begin(), data.end());
    if (r->stopFromCallback) AudioOutputUnitStop(r->unit);
    return err;
}

} // namespace

TEST_F(CoreAudioStandInTest, FindsOnlyTheHALOutputUnit) {
    AudioComponentDescription wrong{kAudioUnitType_Output, 0x64656620 /* 'def ' */,
                                    kAudioUnitManufacturer_Apple, 0, 0};
    EXPECT_EQ(AudioComponentFindNext(nullptr, &wrong), nullptr);
    AudioComponentDescription any{};
    AudioComponent hal = AudioComponentFindNext(nullptr, &any);
    ASSERT_NE(hal, nullptr);
    EXPECT_EQ(AudioComponentFindNext(hal, &any), nullptr); // there is one
    AudioUnit none = reinterpret_cast<AudioUnit>(1);
    EXPECT_EQ(AudioComponentInstanceNew(nullptr, &none), kAudio_ParamError);
    EXPECT_EQ(none, nullptr);
}

TEST_F(CoreAudioStandInTest, DeviceFormatBufferSizeAndDefaultDevice) {
    AudioStreamBasicDescription f{};
    UInt32 size = sizeof f;
    ASSERT_EQ(
        AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &f, &size),
        noErr);
    EXPECT_EQ(f.mSampleRate, 44100.0);
    EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(f.mFormatFlags, 0x0Cu);
    EXPECT_EQ(f.mBytesPerFrame, 4u);
    EXPECT_EQ(f.mChannelsPerFrame, 2u);
    EXPECT_EQ(f.mBitsPerChannel, 16u);

    UInt32 frames = 0;
    size = 2; // too short
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                                   &frames, &size),
              kAudio_ParamError);
    size = sizeof frames;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                                   &frames, &size),
              noErr);
    EXPECT_EQ(frames, 512u);

    AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice,
                                       kAudioObjectPropertyScopeGlobal, 0};
    AudioDeviceID device = 0;
    size = sizeof device;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device),
              noErr);
    EXPECT_EQ(device, kDefaultInputDeviceID);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                   &device, sizeof device),
              noErr);

    coreaudio::testing::setNoDefaultInputDevice(true);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device),
              noErr);
    EXPECT_EQ(device, kAudioObjectUnknown);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                   &device, sizeof device),
              kAudioHardwareBadDeviceError);
}

TEST_F(CoreAudioStandInTest, AnotherClientFormatIsRefused) {
    AudioStreamBasicDescription f{44100.0, kAudioFormatLinearPCM, 0x0C, 4, 1, 4, 2, 16, 0};
    EXPECT_EQ(
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, sizeof f),
        noErr);
    for (auto change : {+[](AudioStreamBasicDescription& d) { d.mSampleRate = 48000; },
                        +[](AudioStreamBasicDescription& d) { d.mFormatFlags = 0x09; },
                        +[](AudioStreamBasicDescription& d) { d.mChannelsPerFrame = 1; },
                        +[](AudioStreamBasicDescription& d) { d.mBitsPerChannel = 24; }}) {
        AudioStreamBasicDescription other = f;
        change(other);
        EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                       &other, sizeof other),
                  kAudioUnitErr_FormatNotSupported);
    }
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, 39),
              kAudio_ParamError);
}

TEST_F(CoreAudioStandInTest, RenderAnswersTheSignalFromTheTimeStamp) {
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    int16_t data[2 * 4] = {};
    AudioBufferList list{1, {{2, sizeof data, data}}};
    AudioTimeStamp stamp{65534.0, 0, 1};
    ASSERT_EQ(AudioUnitRender(unit, nullptr, &stamp, 1, 4, &list), noErr);
    EXPECT_EQ(list.mBuffers[0].mDataByteSize, 16u);
    const int16_t expected[] = {-2, 1, -1, 0, 0, -1, 1, -2}; // frames 65534, 65535, 65536, 65537
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(data[i], expected[i]) << i;
    list.mBuffers[0].mDataByteSize = sizeof data;
    EXPECT_EQ(AudioUnitRender(unit, nullptr, &stamp, 1, 5, &list), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(AudioUnitRender(unit, nullptr, nullptr, 1, 4, &list), kAudio_ParamError);
    coreaudio::testing::failCall("AudioUnitRender", -1);
    EXPECT_EQ(AudioUnitRender(unit, nullptr, &stamp, 1, 4, &list), -1);
}

TEST_F(CoreAudioStandInTest, NamedCallsFailWithTheirStatus) {
    coreaudio::testing::failProperty("AudioUnitSetProperty", kAudioUnitProperty_StreamFormat, -7);
    AudioStreamBasicDescription f{44100.0, kAudioFormatLinearPCM, 0x0C, 4, 1, 4, 2, 16, 0};
    EXPECT_EQ(
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, sizeof f),
        -7);
    UInt32 on = 1;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on,
                                   sizeof on),
              noErr);
    coreaudio::testing::failCall("AudioOutputUnitStart", -9);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    EXPECT_EQ(AudioOutputUnitStart(unit), -9);
    coreaudio::testing::failCall("", 0);
    EXPECT_EQ(
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f, sizeof f),
        noErr);
}

TEST_F(CoreAudioStandInTest, NullGraphAnswersParamError) {
    Boolean running = 1;
    EXPECT_EQ(AUGraphStart(nullptr), kAudio_ParamError);
    EXPECT_EQ(AUGraphStop(nullptr), kAudio_ParamError);
    EXPECT_EQ(AUGraphIsRunning(nullptr, &running), kAudio_ParamError);
    EXPECT_EQ(running, 0);
}

TEST_F(CoreAudioStandInTest, StartNeedsInitialize) {
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);
}

TEST_F(CoreAudioStandInTest, DeviceThreadCallsEvery512FramesOnTheProcessClock) {
    Recorder recorder;
    recorder.unit = unit;
    AURenderCallbackStruct cb{recordCallback, &recorder};
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                                   &cb, sizeof cb),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    const uint64_t base = coreaudio::testing::callbacksDelivered();
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    clock->advance(framesDuration(512) - platform::Duration(1));
    EXPECT_EQ(coreaudio::testing::callbacksDelivered(), base); // not due yet
    clock->advance(platform::Duration(1));
    EXPECT_EQ(coreaudio::testing::waitForCallbacks(base + 1), base + 1);
    clock->advance(framesDuration(3 * 512) - framesDuration(512));
    EXPECT_EQ(coreaudio::testing::waitForCallbacks(base + 3), base + 3);
    ASSERT_EQ(AudioOutputUnitStop(unit), noErr);
    ASSERT_EQ(recorder.sampleTimes, (std::vector<double>{0, 512, 1024}));
    ASSERT_EQ(recorder.samples.size(), 3u * 512 * 2);
    for (uint64_t k = 0; k < 3 * 512; ++k) {
        ASSERT_EQ(recorder.samples[2 * k], coreaudio::testing::leftSample(k));
        ASSERT_EQ(recorder.samples[2 * k + 1], coreaudio::testing::rightSample(k));
    }
    clock->advance(platform::seconds(1.0)); // stopped: no more calls
    EXPECT_EQ(coreaudio::testing::callbacksDelivered(), base + 3);
}

TEST_F(CoreAudioStandInTest, StopFromTheCallbackItselfAndRestart) {
    Recorder recorder;
    recorder.unit = unit;
    recorder.stopFromCallback = true;
    AURenderCallbackStruct cb{recordCallback, &recorder};
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                                   &cb, sizeof cb),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    const uint64_t base = coreaudio::testing::callbacksDelivered();
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    clock->advance(platform::seconds(1.0));
    EXPECT_EQ(coreaudio::testing::waitForCallbacks(base + 1), base + 1); // stopped after its first call
    recorder.stopFromCallback = false;
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr); // a new run starts its sample time at 0
    clock->advance(framesDuration(512));
    EXPECT_EQ(coreaudio::testing::waitForCallbacks(base + 2), base + 2);
    EXPECT_EQ(recorder.sampleTimes, (std::vector<double>{0, 0}));
}
