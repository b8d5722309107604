// Core Audio as the audio bridge sees it, process-local: one HAL output unit used as audio
// input and one default input device (44 100 Hz, 2 channels, 16-bit signed packed, 512-frame
// buffer). Once started, the unit's device thread calls the input callback every 512 frames,
// paced on the process clock, and AudioUnitRender answers a known signal: frame k has
// left = int16(k mod 65536) and right = its bitwise complement.
#pragma once

#include <cstdint>

namespace coreaudio {

using OSStatus = int32_t;
using OSType = uint32_t;
using UInt32 = uint32_t;
using Boolean = uint8_t;
using AudioObjectID = uint32_t;
using AudioDeviceID = AudioObjectID;
using AudioUnitPropertyID = uint32_t;
using AudioUnitScope = uint32_t;
using AudioUnitElement = uint32_t;
using AudioUnitRenderActionFlags = uint32_t;

constexpr OSStatus noErr = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
constexpr OSStatus kAudioHardwareBadDeviceError = 0x21646576;       // '!dev'
constexpr OSStatus kAudioHardwareUnknownPropertyError = 0x77686f3f; // 'who?'

constexpr OSType kAudioUnitType_Output = 0x61756f75;        // 'auou'
constexpr OSType kAudioUnitSubType_HALOutput = 0x6168616c;  // 'ahal'
constexpr OSType kAudioUnitManufacturer_Apple = 0x6170706c; // 'appl'
constexpr OSType kAudioFormatLinearPCM = 0x6c70636d;        // 'lpcm'

constexpr UInt32 kAudioFormatFlagIsFloat = 1u << 0;
constexpr UInt32 kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr UInt32 kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr UInt32 kAudioFormatFlagIsPacked = 1u << 3;
constexpr UInt32 kAudioFormatFlagIsAlignedHigh = 1u << 4;
constexpr UInt32 kAudioFormatFlagIsNonInterleaved = 1u << 5;
constexpr UInt32 kAudioFormatFlagIsNonMixable = 1u << 6;
constexpr UInt32 kLinearPCMFormatFlagsSampleFractionShift = 7;
constexpr UInt32 kLinearPCMFormatFlagsSampleFractionMask = 0x3Fu << kLinearPCMFormatFlagsSampleFractionShift;
constexpr UInt32 kAudioFormatFlagsNativeEndian = 0;

constexpr AudioUnitScope kAudioUnitScope_Global = 0;
constexpr AudioUnitScope kAudioUnitScope_Input = 1;
constexpr AudioUnitScope kAudioUnitScope_Output = 2;

constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = 2003;
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = 2005;
constexpr AudioUnitPropertyID kAudioDevicePropertyBufferFrameSize = 0x6673697a; // 'fsiz'

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;
constexpr uint32_t kAudioHardwarePropertyDefaultInputDevice = 0x64496e20; // 'dIn '
constexpr uint32_t kAudioObjectPropertyScopeGlobal = 0x676c6f62;          // 'glob'
constexpr uint32_t kAudioObjectPropertyElementMaster = 0;

// The stream description: 40 bytes, as the platform lays it out.
struct AudioStreamBasicDescription {
    double mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1]; // mNumberBuffers of them
};

struct AudioTimeStamp {
    double mSampleTime; // frame index of the first frame in the device's stream
    uint64_t mHostTime;
    UInt32 mFlags;
};

using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};

struct AudioObjectPropertyAddress {
    uint32_t mSelector;
    uint32_t mScope;
    uint32_t mElement;
};

struct OpaqueAudioComponent;
struct OpaqueAudioComponentInstance;
struct OpaqueAUGraph;
using AudioComponent = OpaqueAudioComponent*;
using AudioComponentInstance = OpaqueAudioComponentInstance*;
using AudioUnit = AudioComponentInstance;
using AUGraph = OpaqueAUGraph*;

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc);
OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
// Stops the unit's device thread (waiting for a callback in progress) and frees the unit.
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize);
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize);
OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioOutputUnitStart(AudioUnit ci);
// Returns once no callback runs any more (unless called from the callback itself).
OSStatus AudioOutputUnitStop(AudioUnit ci);
OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                         AudioBufferList* ioData);

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);

// No graph can be made here: every call answers kAudio_ParamError for the null graph.
OSStatus AUGraphStart(AUGraph inGraph);
OSStatus AUGraphStop(AUGraph inGraph);
OSStatus AUGraphIsRunning(AUGraph inGraph, Boolean* outIsRunning);

// The device's figures.
constexpr double kDeviceSampleRate = 44100.0;
constexpr UInt32 kDeviceChannels = 2;
constexpr UInt32 kDeviceBufferFrames = 512;
constexpr AudioDeviceID kDefaultInputDeviceID = 0x49; // any id other than unknown and system

} // namespace coreaudio
