// The process-local Core Audio stand-in: the HAL unit, its device thread and the hooks.
#include "platform/coreaudio/CoreAudio.h"
#include "platform/coreaudio/Testing.h"

#include "platform/core/Clock.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace coreaudio {

struct OpaqueAudioComponent {};

struct OpaqueAudioComponentInstance {
    std::mutex mutex;
    std::condition_variable cv;
    bool inputEnabled = false;
    bool outputEnabled = true;
    AudioDeviceID device = kAudioObjectUnknown;
    AURenderCallbackStruct callback{nullptr, nullptr};
    AudioStreamBasicDescription clientFormat{};
    bool initialized = false;
    bool started = false;
    bool stopRequested = false;
    std::thread thread;
    std::thread::id threadID;
};

namespace {

OpaqueAudioComponent gHALComponent;

struct Hooks {
    std::mutex mutex;
    std::map<std::string, OSStatus> failures;
    bool noDefaultDevice = false;
    std::condition_variable delivered;
    uint64_t callbacks = 0;
    int runningUnits = 0;
};

Hooks& hooks() {
    static Hooks* h = new Hooks; // outlives every device thread
    return *h;
}

// A hook names a function, or a function and a property ("AudioUnitSetProperty/8").
bool hookFails(const char* name, OSStatus& status, int64_t property = -1) {
    Hooks& h = hooks();
    std::lock_guard lock(h.mutex);
    auto it = h.failures.find(name);
    if (it == h.failures.end() && property >= 0)
        it = h.failures.find(std::string(name) + "/" + std::to_string(property));
    if (it == h.failures.end()) return false;
    status = it->second;
    return true;
}

AudioStreamBasicDescription deviceFormat() {
    AudioStreamBasicDescription f{};
    f.mSampleRate = kDeviceSampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 4;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4;
    f.mChannelsPerFrame = kDeviceChannels;
    f.mBitsPerChannel = 16;
    return f;
}

// The only client format the unit converts to is the device's own.
bool isDeviceFormat(const AudioStreamBasicDescription& f) {
    AudioStreamBasicDescription d = deviceFormat();
    return f.mSampleRate == d.mSampleRate && f.mFormatID == d.mFormatID &&
           (f.mFormatFlags & ~kAudioFormatFlagsNativeEndian) == d.mFormatFlags &&
           f.mBytesPerPacket == d.mBytesPerPacket && f.mFramesPerPacket == d.mFramesPerPacket &&
           f.mBytesPerFrame == d.mBytesPerFrame && f.mChannelsPerFrame == d.mChannelsPerFrame &&
           f.mBitsPerChannel == d.mBitsPerChannel;
}

// Start time of buffer `cycle` + 1: computed from the start, so pacing never drifts.
platform::TimePoint dueTime(platform::TimePoint start, uint64_t cycle) {
    const uint64_t frames = (cycle + 1) * kDeviceBufferFrames;
    return start + platform::Duration(static_cast<int64_t>(frames * 1'000'000'000ull / 44100ull));
}

void deviceLoop(AudioUnit unit, platform::TimePoint start) {
    std::unique_lock lock(unit->mutex);
    for (uint64_t cycle = 0;; ++cycle) {
        bool stop = platform::waitUntil(unit->cv, lock, dueTime(start, cycle),
                                        [unit] { return unit->stopRequested; });
        if (stop) break;
        AURenderCallbackStruct cb = unit->callback;
        lock.unlock();
        AudioTimeStamp stamp{static_cast<double>(cycle * kDeviceBufferFrames), platform::machAbsoluteTime(),
                             1};
        AudioUnitRenderActionFlags flags = 0;
        if (cb.inputProc) cb.inputProc(cb.inputProcRefCon, &flags, &stamp, 1, kDeviceBufferFrames, nullptr);
        {
            Hooks& h = hooks();
            std::lock_guard g(h.mutex);
            ++h.callbacks;
            h.delivered.notify_all();
        }
        lock.lock();
    }
    lock.unlock();
    Hooks& h = hooks();
    std::lock_guard g(h.mutex);
    --h.runningUnits; // after its last call was counted
    h.delivered.notify_all();
}

OSStatus needSize(UInt32 given, size_t needed) {
    return given < needed ? kAudio_ParamError : noErr;
}

} // namespace

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) {
    if (inComponent || !inDesc) return nullptr; // one component only
    auto matches = [inDesc](OSType wanted, OSType have) { return wanted == 0 || wanted == have; };
    if (matches(inDesc->componentType, kAudioUnitType_Output) &&
        matches(inDesc->componentSubType, kAudioUnitSubType_HALOutput) &&
        matches(inDesc->componentManufacturer, kAudioUnitManufacturer_Apple))
        return &gHALComponent;
    return nullptr;
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    OSStatus status;
    if (!outInstance) return kAudio_ParamError;
    *outInstance = nullptr;
    if (hookFails("AudioComponentInstanceNew", status)) return status;
    if (inComponent != &gHALComponent) return kAudio_ParamError;
    auto* unit = new OpaqueAudioComponentInstance;
    unit->clientFormat = deviceFormat();
    *outInstance = unit;
    return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    if (!inInstance) return kAudio_ParamError;
    AudioOutputUnitStop(inInstance);
    if (inInstance->thread.joinable()) {
        if (inInstance->thread.get_id() == std::this_thread::get_id())
            return kAudioUnitErr_CannotDoInCurrentContext;
        inInstance->thread.join();
    }
    delete inInstance;
    return noErr;
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    OSStatus status;
    if (!inUnit || !inData) return kAudio_ParamError;
    if (hookFails("AudioUnitSetProperty", status, inID)) return status;
    std::lock_guard lock(inUnit->mutex);
    switch (inID) {
    case kAudioOutputUnitProperty_EnableIO: {
        if ((status = needSize(inDataSize, sizeof(UInt32)))) return status;
        UInt32 on;
        std::memcpy(&on, inData, sizeof on);
        if (inScope == kAudioUnitScope_Input && inElement == 1)
            inUnit->inputEnabled = on != 0;
        else if (inScope == kAudioUnitScope_Output && inElement == 0)
            inUnit->outputEnabled = on != 0;
        else
            return kAudioUnitErr_InvalidProperty;
        return noErr;
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
        if ((status = needSize(inDataSize, sizeof(AudioDeviceID)))) return status;
        AudioDeviceID device;
        std::memcpy(&device, inData, sizeof device);
        if (device != kDefaultInputDeviceID) return kAudioHardwareBadDeviceError;
        inUnit->device = device;
        return noErr;
    }
    case kAudioOutputUnitProperty_SetInputCallback:
        if ((status = needSize(inDataSize, sizeof(AURenderCallbackStruct)))) return status;
        std::memcpy(&inUnit->callback, inData, sizeof(AURenderCallbackStruct));
        return noErr;
    case kAudioUnitProperty_StreamFormat: {
        if ((status = needSize(inDataSize, sizeof(AudioStreamBasicDescription)))) return status;
        if (inScope != kAudioUnitScope_Output || inElement != 1) return kAudioUnitErr_InvalidProperty;
        AudioStreamBasicDescription f;
        std::memcpy(&f, inData, sizeof f);
        if (!isDeviceFormat(f)) return kAudioUnitErr_FormatNotSupported;
        inUnit->clientFormat = f;
        return noErr;
    }
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    OSStatus status;
    if (!inUnit || !outData || !ioDataSize) return kAudio_ParamError;
    if (hookFails("AudioUnitGetProperty", status, inID)) return status;
    std::lock_guard lock(inUnit->mutex);
    auto answer = [&](const void* value, size_t size) {
        if (*ioDataSize < size) return kAudio_ParamError;
        std::memcpy(outData, value, size);
        *ioDataSize = static_cast<UInt32>(size);
        return noErr;
    };
    switch (inID) {
    case kAudioUnitProperty_StreamFormat: {
        if (inElement != 1) return kAudioUnitErr_InvalidProperty;
        AudioStreamBasicDescription f =
            inScope == kAudioUnitScope_Input ? deviceFormat() : inUnit->clientFormat;
        return answer(&f, sizeof f);
    }
    case kAudioDevicePropertyBufferFrameSize: {
        UInt32 frames = kDeviceBufferFrames;
        return answer(&frames, sizeof frames);
    }
    case kAudioOutputUnitProperty_CurrentDevice:
        return answer(&inUnit->device, sizeof inUnit->device);
    case kAudioOutputUnitProperty_EnableIO: {
        UInt32 on = inScope == kAudioUnitScope_Input ? inUnit->inputEnabled : inUnit->outputEnabled;
        return answer(&on, sizeof on);
    }
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    OSStatus status;
    if (!inUnit) return kAudio_ParamError;
    if (hookFails("AudioUnitInitialize", status)) return status;
    std::lock_guard lock(inUnit->mutex);
    inUnit->initialized = true;
    return noErr;
}

OSStatus AudioOutputUnitStart(AudioUnit ci) {
    OSStatus status;
    if (!ci) return kAudio_ParamError;
    if (hookFails("AudioOutputUnitStart", status)) return status;
    std::unique_lock lock(ci->mutex);
    if (!ci->initialized) return kAudioUnitErr_Uninitialized;
    if (ci->started) return noErr;
    if (ci->thread.joinable()) { // an earlier run, stopped from its own callback
        if (ci->thread.get_id() == std::this_thread::get_id()) return kAudioUnitErr_CannotDoInCurrentContext;
        lock.unlock();
        ci->thread.join();
        lock.lock();
    }
    ci->started = true;
    ci->stopRequested = false;
    {
        Hooks& h = hooks();
        std::lock_guard g(h.mutex);
        ++h.runningUnits;
    }
    ci->thread = std::thread(deviceLoop, ci, platform::now());
    ci->threadID = ci->thread.get_id();
    return noErr;
}

OSStatus AudioOutputUnitStop(AudioUnit ci) {
    OSStatus status;
    if (!ci) return kAudio_ParamError;
    if (hookFails("AudioOutputUnitStop", status)) return status;
    std::unique_lock lock(ci->mutex);
    if (!ci->started) return noErr;
    ci->started = false;
    ci->stopRequested = true;
    ci->cv.notify_all();
    lock.unlock();
    if (ci->thread.get_id() != std::this_thread::get_id()) ci->thread.join();
    return noErr;
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp* inTimeStamp,
                         UInt32 inOutputBusNumber, UInt32 inNumberFrames, AudioBufferList* ioData) {
    OSStatus status;
    if (!inUnit || !inTimeStamp || !ioData || ioData->mNumberBuffers < 1) return kAudio_ParamError;
    if (hookFails("AudioUnitRender", status)) return status;
    if (inOutputBusNumber != 1) return kAudioUnitErr_InvalidParameter;
    AudioBuffer& buffer = ioData->mBuffers[0];
    if (inNumberFrames == 0) {
        buffer.mDataByteSize = 0;
        return noErr;
    }
    if (!buffer.mData) return kAudio_ParamError;
    if (static_cast<uint64_t>(inNumberFrames) * 4 > buffer.mDataByteSize)
        return kAudioUnitErr_TooManyFramesToProcess;
    auto* out = static_cast<int16_t*>(buffer.mData);
    const uint64_t first = inTimeStamp->mSampleTime > 0 ? static_cast<uint64_t>(inTimeStamp->mSampleTime) : 0;
    for (UInt32 i = 0; i < inNumberFrames; ++i) {
        out[2 * i] = testing::leftSample(first + i);
        out[2 * i + 1] = testing::rightSample(first + i);
    }
    buffer.mDataByteSize = inNumberFrames * 4;
    return noErr;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32, const void*, UInt32* ioDataSize, void* outData) {
    OSStatus status;
    if (!inAddress || !ioDataSize || !outData) return kAudio_ParamError;
    if (hookFails("AudioObjectGetPropertyData", status)) return status;
    if (inObjectID != kAudioObjectSystemObject ||
        inAddress->mSelector != kAudioHardwarePropertyDefaultInputDevice)
        return kAudioHardwareUnknownPropertyError;
    if (*ioDataSize < sizeof(AudioDeviceID)) return kAudio_ParamError;
    AudioDeviceID device = kDefaultInputDeviceID;
    {
        Hooks& h = hooks();
        std::lock_guard g(h.mutex);
        if (h.noDefaultDevice) device = kAudioObjectUnknown;
    }
    std::memcpy(outData, &device, sizeof device);
    *ioDataSize = sizeof device;
    return noErr;
}

OSStatus AUGraphStart(AUGraph) {
    return kAudio_ParamError;
}
OSStatus AUGraphStop(AUGraph) {
    return kAudio_ParamError;
}
OSStatus AUGraphIsRunning(AUGraph, Boolean* outIsRunning) {
    if (outIsRunning) *outIsRunning = 0;
    return kAudio_ParamError;
}

namespace testing {

void failCall(const std::string& name, OSStatus status) {
    Hooks& h = hooks();
    std::lock_guard lock(h.mutex);
    if (name.empty())
        h.failures.clear();
    else
        h.failures[name] = status;
}

void failProperty(const std::string& name, AudioUnitPropertyID property, OSStatus status) {
    failCall(name + "/" + std::to_string(property), status);
}

void setNoDefaultInputDevice(bool none) {
    Hooks& h = hooks();
    std::lock_guard lock(h.mutex);
    h.noDefaultDevice = none;
}

void reset() {
    Hooks& h = hooks();
    std::lock_guard lock(h.mutex);
    h.failures.clear();
    h.noDefaultDevice = false;
}

uint64_t callbacksDelivered() {
    Hooks& h = hooks();
    std::lock_guard lock(h.mutex);
    return h.callbacks;
}

uint64_t waitForCallbacks(uint64_t n) {
    Hooks& h = hooks();
    std::unique_lock lock(h.mutex);
    h.delivered.wait(lock, [&] { return h.callbacks >= n || h.runningUnits == 0; });
    return h.callbacks;
}

int16_t leftSample(uint64_t frame) {
    return static_cast<int16_t>(static_cast<uint16_t>(frame & 0xFFFF));
}
int16_t rightSample(uint64_t frame) {
    return static_cast<int16_t>(~static_cast<uint16_t>(frame & 0xFFFF));
}

} // namespace testing

} // namespace coreaudio
