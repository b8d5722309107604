// Test hooks of the Core Audio stand-in.
#pragma once

#include "platform/coreaudio/CoreAudio.h"

#include <cstdint>
#include <string>

namespace coreaudio::testing {

// The next calls of the named function (e.g. "AudioUnitRender", "AudioOutputUnitStart") answer
// status until cleared; an empty name clears.
void failCall(const std::string& name, OSStatus status);
// AudioUnitSetProperty or AudioUnitGetProperty of one property answers status.
void failProperty(const std::string& name, AudioUnitPropertyID property, OSStatus status);
// The hardware has no default input device: the look-up answers kAudioObjectUnknown.
void setNoDefaultInputDevice(bool none);
// Clears every hook.
void reset();

// Input callbacks the device threads have made in this process.
uint64_t callbacksDelivered();
// Waits (real time, event-driven) until at least n callbacks have been made or no unit is
// running any more; answers callbacksDelivered().
uint64_t waitForCallbacks(uint64_t n);

// The signal of frame k.
int16_t leftSample(uint64_t frame);
int16_t rightSample(uint64_t frame);

} // namespace coreaudio::testing
