// What the window server hears from the kernel about framebuffers.
#pragma once

#include "platform/kernel/IOReturn.h"

namespace kernel {

class IOFramebuffer;

class FramebufferListener {
  public:
    virtual ~FramebufferListener() = default;
    // A framebuffer was registered and may be opened. Matching thread, no gate held.
    virtual void framebufferPublished(IOFramebuffer* framebuffer) = 0;
    // The framebuffer is about to stop: unregister its interrupts, release its range, remove
    // its display and close it, then return. Matching thread, no gate held.
    virtual void framebufferWillStop(IOFramebuffer* framebuffer) = 0;
    // deliverFramebufferNotification, under the framebuffer's gate: only queue work.
    virtual void framebufferNotification(IOFramebuffer* framebuffer, IOIndex event, void* info) = 0;
};

} // namespace kernel
