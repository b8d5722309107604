// The audio bridge: captures the default audio input through the HAL output unit, 44.1 kHz
// 16-bit stereo, into a 128 KiB ring, and carries an RTP session prepared for that audio.
// Nothing in the screen server creates it; it is a building block for audio streaming.
#pragma once

#include "input/CAStreamBasicDescription.h"

#include "platform/coreaudio/CoreAudio.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

struct _RtpSession;

namespace input {

// A condition (a lock with its signal).
struct QNBCondition {
    std::mutex mutex;
    std::condition_variable cv;
};

// A condition lock: a lock with a condition value.
struct QNBConditionLock {
    std::mutex mutex;
    std::condition_variable cv;
    int condition = 0;
};

class QNBAudioBridge {
  public:
    static constexpr uint64_t kAudioBufferBytes = 0x20000;
    static constexpr int kRTPDefaultPayloadType = 10; // L16 stereo at 44.1 kHz
    static constexpr uint32_t kRTPTimestampIncrement = 1024;
    static constexpr uint32_t kRTPMaximumPacketSize = 16384;

    QNBAudioBridge();  // init: plain initialisation only
    ~QNBAudioBridge(); // teardown
    QNBAudioBridge(const QNBAudioBridge&) = delete;
    QNBAudioBridge& operator=(const QNBAudioBridge&) = delete;

    void commonInit();
    coreaudio::OSStatus setupAUGraph() { return coreaudio::noErr; }
    void processAudio() {}
    coreaudio::OSStatus initializeAUGraph();
    coreaudio::OSStatus startAUGraph();
    coreaudio::OSStatus stopAUGraph();
    coreaudio::OSStatus startRecording();
    coreaudio::OSStatus stopRecording();
    void stopProcessingAudio();

    // The unit's input procedure; the context is the bridge.
    static coreaudio::OSStatus inputCallback(void* inRefCon,
                                             coreaudio::AudioUnitRenderActionFlags* ioActionFlags,
                                             const coreaudio::AudioTimeStamp* inTimeStamp,
                                             uint32_t inBusNumber, uint32_t inNumberFrames,
                                             coreaudio::AudioBufferList* ioData);

    uint64_t audioBufferSize() const { return mAudioBufferSize.load(); }
    void setAudioBufferSize(uint64_t v) { mAudioBufferSize.store(v); }
    uint64_t audioBufferHead() const { return mAudioBufferHead.load(); }
    void setAudioBufferHead(uint64_t v) { mAudioBufferHead.store(v); }
    uint64_t audioBufferTail() const { return mAudioBufferTail.load(); }
    void setAudioBufferTail(uint64_t v) { mAudioBufferTail.store(v); }
    const uint8_t* audioBuffer() const { return mAudioBuffer.get(); }
    bool buffering() const { return mBuffering; }
    void setBuffering(bool v) { mBuffering = v; }
    bool bufferUnderrun() const { return mBufferUnderrun; }
    void setBufferUnderrun(bool v) { mBufferUnderrun = v; }
    bool stopped() const { return mStopped.load(); }
    void setStopped(bool v) { mStopped.store(v); }
    bool shouldStop() const { return mShouldStop.load(); }
    void setShouldStop(bool v) { mShouldStop.store(v); }
    bool running() const { return mRunning.load(); }
    void setRunning(bool v) { mRunning.store(v); }
    coreaudio::AudioUnit mixer() const { return mMixer; }
    void setMixer(coreaudio::AudioUnit v) { mMixer = v; }
    coreaudio::AUGraph graph() const { return mGraph; }
    void setGraph(coreaudio::AUGraph v) { mGraph = v; }
    coreaudio::AudioBufferList* inputAudioBuffer() const { return fAudioBuffer; }
    // Takes the list (one header and one data block per buffer, from malloc) and frees the one
    // held before.
    void setInputAudioBuffer(coreaudio::AudioBufferList* list);
    std::shared_ptr<QNBCondition> bufferLock() const { return mBufferLock; }
    void setBufferLock(std::shared_ptr<QNBCondition> v) { mBufferLock = std::move(v); }
    std::shared_ptr<QNBConditionLock> lockLock() const { return mLockLock; }
    void setLockLock(std::shared_ptr<QNBConditionLock> v) { mLockLock = std::move(v); }

    const CAStreamBasicDescription& outputCASBD() const { return mOutputCASBD; }
    const coreaudio::AudioStreamBasicDescription& outputFormat() const { return fOutputFormat; }
    const coreaudio::AudioStreamBasicDescription& deviceFormat() const { return fDeviceFormat; }
    coreaudio::AudioDeviceID inputDeviceID() const { return fInputDeviceID; }
    uint32_t audioChannels() const { return fAudioChannels; }
    uint32_t audioSamples() const { return fAudioSamples; }
    _RtpSession* rtpSession() const { return mRTPSession; }
    int rtpDefaultPayloadType() const { return mRTPDefaultPayloadType; }
    bool rtpDefaultMark() const { return mRTPDefaultMark; }
    uint32_t rtpTimestampIncrement() const { return mRTPTimestampIncrement; }
    uint32_t rtpMaximumPacketSize() const { return mRTPMaximumPacketSize; }

  private:
    coreaudio::OSStatus storeInput(coreaudio::AudioUnitRenderActionFlags* flags,
                                   const coreaudio::AudioTimeStamp* stamp, uint32_t bus, uint32_t frames);
    void storeInRing(const uint8_t* bytes, uint64_t length);
    bool callbackStopped() const;
    // Waits while running is set and stopped is not, in steps of `step` seconds.
    void waitForCallbackToStop(double step);
    static coreaudio::AudioBufferList* allocateAudioBufferList(uint32_t channels, uint32_t bytes);
    static void freeAudioBufferList(coreaudio::AudioBufferList* list);

    _RtpSession* mRTPSession = nullptr;
    int mRTPDefaultPayloadType = 0;
    bool mRTPDefaultMark = false;
    uint32_t mRTPTimestampIncrement = 0;
    uint32_t mRTPMaximumPacketSize = 0;

    CAStreamBasicDescription mOutputCASBD;
    std::unique_ptr<uint8_t[]> mAudioBuffer;
    // Written by the device thread while others read them; the ring itself takes no lock.
    std::atomic<uint64_t> mAudioBufferTail{0};
    std::atomic<uint64_t> mAudioBufferHead{0};
    std::atomic<uint64_t> mAudioBufferSize{0};

    coreaudio::AudioStreamBasicDescription fOutputFormat{};
    coreaudio::AudioStreamBasicDescription fDeviceFormat{};
    coreaudio::AudioDeviceID fInputDeviceID = 0;
    uint32_t fAudioChannels = 0;
    uint32_t fAudioSamples = 0;
    coreaudio::AudioBufferList* fAudioBuffer = nullptr;

    coreaudio::AudioUnit mMixer = nullptr;
    coreaudio::AUGraph mGraph = nullptr;
    std::shared_ptr<QNBCondition> mBufferLock;
    std::shared_ptr<QNBConditionLock> mLockLock;

    bool mBuffering = false;
    bool mBufferUnderrun = false;
    std::atomic<bool> mStopped{false};
    std::atomic<bool> mShouldStop{false};
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mRecording{false}; // the output unit was started and not stopped
    std::atomic<bool> mReportedOverlong{false};
};

} // namespace input
