#include "input/QNBAudioBridge.h"

#include "net/RTPRuntime.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSRunLoop.h"

#include <ortp/ortp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace input {

using namespace coreaudio;

namespace {

constexpr OSStatus kMemFullErr = -108;

void printLine(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

} // namespace

QNBAudioBridge::QNBAudioBridge() : mAudioBuffer(new uint8_t[kAudioBufferBytes]()) {}

QNBAudioBridge::~QNBAudioBridge() {
    waitForCallbackToStop(0.1);
    if (mBufferLock) mBufferLock->cv.notify_all();
    if (mRTPSession) rtp_session_destroy(mRTPSession);
    // The unit would otherwise go on calling into a bridge that is gone.
    if (mMixer) AudioComponentInstanceDispose(mMixer);
    setInputAudioBuffer(nullptr);
}

void QNBAudioBridge::commonInit() {
    mBufferLock = std::make_shared<QNBCondition>();
    mLockLock = std::make_shared<QNBConditionLock>();
    net::ensureRTPRuntime();
    if (!mRTPSession) {
        // Prepared for 16-bit stereo audio; no destination, so nothing is ever sent. Of the
        // prepared parameters oRTP takes the payload type and a packet size limit, which it
        // holds for packets it receives only. It has no session-wide mark bit, timestamp increment
        // or limit on packets sent: the mark bit and the timestamp go with each packet
        // (rtp_set_markbit, rtp_session_send_with_ts), so a sender takes them, and the size of
        // what it sends, from the fields below.
        mRTPSession = rtp_session_new(RTP_SESSION_SENDONLY);
        rtp_session_set_payload_type(mRTPSession, kRTPDefaultPayloadType);
        rtp_session_set_recv_buf_size(mRTPSession, static_cast<int>(kRTPMaximumPacketSize));
    }
    mRTPDefaultPayloadType = kRTPDefaultPayloadType;
    mRTPDefaultMark = false;
    mRTPTimestampIncrement = kRTPTimestampIncrement;
    mRTPMaximumPacketSize = kRTPMaximumPacketSize;
    setupAUGraph();
    mAudioBufferSize.store(0);
    mAudioBufferTail.store(0);
    mAudioBufferHead.store(0);
}

OSStatus QNBAudioBridge::initializeAUGraph() {
    // 1. The HAL output unit.
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &desc);
    OSStatus err = AudioComponentInstanceNew(component, &mMixer);
    if (err) {
        mMixer = nullptr;
        return err;
    }
    // 2. Input on, output off.
    UInt32 enableIO = 1;
    err = AudioUnitSetProperty(mMixer, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &enableIO,
                               sizeof enableIO);
    if (err == noErr) {
        enableIO = 0;
        err = AudioUnitSetProperty(mMixer, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                                   &enableIO, sizeof enableIO);
    }
    if (err) return err;
    // 3. The default input device becomes the unit's device.
    UInt32 size = sizeof fInputDeviceID;
    AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice,
                                       kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    err = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &fInputDeviceID);
    if (err) {
        printLine("failed to get default input device\n");
        return err;
    }
    err = AudioUnitSetProperty(mMixer, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                               &fInputDeviceID, sizeof fInputDeviceID);
    if (err) {
        printLine("failed to set AU input device\n");
        return err;
    }
    // 4. The input callback.
    AURenderCallbackStruct callback{&QNBAudioBridge::inputCallback, this};
    err = AudioUnitSetProperty(mMixer, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                               &callback, sizeof callback);
    if (err) return err;
    // 5. The device's format.
    size = sizeof fDeviceFormat;
    err = AudioUnitGetProperty(mMixer, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1,
                               &fDeviceFormat, &size);
    if (err) {
        printLine("failed to get input device ASBD\n");
        return err;
    }
    // 6. What the unit hands us: 44.1 kHz, 16-bit signed packed, interleaved stereo.
    fAudioChannels = 2;
    fOutputFormat = AudioStreamBasicDescription{44100.0,
                                                kAudioFormatLinearPCM,
                                                kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                                                4,
                                                1,
                                                4,
                                                fAudioChannels,
                                                16,
                                                0};
    err = AudioUnitSetProperty(mMixer, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                               &fOutputFormat, sizeof fOutputFormat);
    if (err) {
        printLine("failed to set input device ASBD\n");
        return err;
    }
    // 7. The device's buffer size.
    size = sizeof fAudioSamples;
    err = AudioUnitGetProperty(mMixer, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                               &fAudioSamples, &size);
    if (err) {
        printLine("failed to get audio sample size\n");
        return err;
    }
    // 8.
    err = AudioUnitInitialize(mMixer);
    if (err) {
        printLine("failed to initialize AU\n");
        return err;
    }
    // 9. The buffer list the unit renders into.
    setInputAudioBuffer(allocateAudioBufferList(fAudioChannels, 4 * fAudioSamples));
    if (!fAudioBuffer) {
        printLine("failed to allocate buffers\n");
        return kMemFullErr;
    }
    return noErr;
}

OSStatus QNBAudioBridge::startAUGraph() {
    OSStatus result = AUGraphStart(mGraph);
    if (result) {
        const auto u = static_cast<uint32_t>(result);
        const char code[5] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16),
                              static_cast<char>(u >> 8), static_cast<char>(u), 0};
        std::fprintf(stderr, "AUGraphStart result %d %08X %4.4s\n", result, u, code);
        std::fflush(stderr);
    }
    return result;
}

OSStatus QNBAudioBridge::stopAUGraph() {
    Boolean isRunning = 0;
    OSStatus result = AUGraphIsRunning(mGraph, &isRunning);
    if (isRunning) result = AUGraphStop(mGraph);
    return result;
}

OSStatus QNBAudioBridge::startRecording() {
    OSStatus err = AudioOutputUnitStart(mMixer);
    printLine(err ? "failed to start AU\n" : "Recording started...\n");
    if (!err) mRecording.store(true);
    return err;
}

OSStatus QNBAudioBridge::stopRecording() {
    OSStatus err = AudioOutputUnitStop(mMixer);
    printLine(err ? "failed to stop AU\n" : "Recording stoped.\n");
    if (!err) mRecording.store(false);
    return err;
}

void QNBAudioBridge::setInputAudioBuffer(AudioBufferList* list) {
    if (list == fAudioBuffer) return;
    freeAudioBufferList(fAudioBuffer);
    fAudioBuffer = list;
}

void QNBAudioBridge::stopProcessingAudio() {
    mShouldStop.store(true);
    if (!dispatch::isMainThread()) {
        waitForCallbackToStop(0.05);
        return;
    }
    while (!callbackStopped())
        ns::NSRunLoop::mainRunLoop()->runUntilDate(platform::now() + platform::seconds(0.05));
}

bool QNBAudioBridge::callbackStopped() const {
    // Only a started unit's callback can set stopped: a wait for it on a bridge that was never
    // started, or whose unit was stopped, would never end (and teardown would hang with it). The
    // waits end as soon as no callback can come.
    return !mRunning.load() || mStopped.load() || !mRecording.load();
}

void QNBAudioBridge::waitForCallbackToStop(double step) {
    auto done = [this] { return callbackStopped(); };
    if (done()) return;
    mShouldStop.store(true);
    if (!mBufferLock) return;
    std::unique_lock lock(mBufferLock->mutex);
    while (!done())
        platform::waitUntil(mBufferLock->cv, lock, platform::now() + platform::seconds(step), done);
}

OSStatus QNBAudioBridge::inputCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                       const AudioTimeStamp* inTimeStamp, uint32_t inBusNumber,
                                       uint32_t inNumberFrames, AudioBufferList*) {
    auto* bridge = static_cast<QNBAudioBridge*>(inRefCon);
    if (!bridge) return kAudio_ParamError;
    return bridge->storeInput(ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames);
}

OSStatus QNBAudioBridge::storeInput(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp,
                                    uint32_t bus, uint32_t frames) {
    // The callback is what sets stopped once it was asked to stop: nothing else does, and the
    // waits of stopProcessingAudio and teardown for a running unit would never end without it.
    if (mShouldStop.load()) {
        mStopped.store(true);
        if (auto condition = mBufferLock) condition->cv.notify_all();
        return noErr;
    }
    // The buffer list holds fAudioSamples frames and the ring a quarter of its bytes: a longer
    // render is cut to what fits, the rest dropped.
    const uint32_t capacity =
        fAudioBuffer ? std::min<uint32_t>(fAudioSamples, static_cast<uint32_t>(kAudioBufferBytes / 4)) : 0;
    if (frames > capacity) {
        if (!mReportedOverlong.exchange(true))
            platform::log("Audio input of %u frames is longer than the %u-frame buffer; the rest is dropped",
                          frames, capacity);
        frames = capacity;
    }
    if (frames == 0) return noErr;
    fAudioBuffer->mBuffers[0].mDataByteSize = 4 * fAudioSamples;
    OSStatus err = AudioUnitRender(mMixer, flags, stamp, bus, frames, fAudioBuffer);
    if (err) {
        std::fprintf(stderr, "AudioUnitRender() failed with error %i\n", static_cast<int>(err));
        // The list holds nothing of this render (the last one's bytes, or zeros): storing it
        // would put sound in the ring that was never recorded.
        return err;
    }
    storeInRing(static_cast<const uint8_t*>(fAudioBuffer->mBuffers[0].mData), 4ull * frames);
    return noErr;
}

void QNBAudioBridge::storeInRing(const uint8_t* bytes, uint64_t length) {
    uint8_t* ring = mAudioBuffer.get();
    const uint64_t tail = mAudioBufferTail.load() % kAudioBufferBytes;
    if (tail + length < kAudioBufferBytes) {
        std::memcpy(ring + tail, bytes, length);
        mAudioBufferTail.store(tail + length);
    } else {
        const uint64_t toEnd = kAudioBufferBytes - tail;
        std::memcpy(ring + tail, bytes, toEnd);
        std::memcpy(ring, bytes + toEnd, length - toEnd);
        mAudioBufferTail.store(length - toEnd);
    }
    mAudioBufferSize.fetch_add(length);
}

AudioBufferList* QNBAudioBridge::allocateAudioBufferList(uint32_t channels, uint32_t bytes) {
    auto* list = static_cast<AudioBufferList*>(std::calloc(1, sizeof(AudioBufferList)));
    if (!list) return nullptr;
    list->mNumberBuffers = 1;
    list->mBuffers[0].mNumberChannels = channels;
    list->mBuffers[0].mDataByteSize = bytes;
    list->mBuffers[0].mData = std::calloc(1, bytes ? bytes : 1);
    if (!list->mBuffers[0].mData) {
        std::free(list);
        return nullptr;
    }
    return list;
}

void QNBAudioBridge::freeAudioBufferList(AudioBufferList* list) {
    if (!list) return;
    for (uint32_t i = 0; i < list->mNumberBuffers; ++i)
        std::free(list->mBuffers[i].mData);
    std::free(list);
}

} // namespace input
