// Interrupt registrations, vertical-blank pacing and the cursor state of a framebuffer.
//
// Vertical blanks come two ways: the screen server signals one through its user client, or,
// once it has been silent for longer than the threshold, the framebuffer's timer delivers
// one every period until the next signal.
#include "drivers/framebuffer/QNExFramebuffer.h"

#include "platform/kernel/IOBufferMemoryDescriptor.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOTimerEventSource.h"

#include <algorithm>
#include <cstring>

namespace drivers {

IOReturn QNExFramebuffer::NewInterruptService(IOSelect type, _VSLService** record) {
    if (!record) return kIOReturnBadArgument;
    auto* service = static_cast<_VSLService*>(IOMalloc(sizeof(_VSLService)));
    if (!service) return kIOReturnNoMemory;
    *service = _VSLService{this, type, nullptr, nullptr, nullptr, m_interruptList};
    m_interruptList = service;
    *record = service;
    return kIOReturnSuccess;
}

void QNExFramebuffer::DisposeInterruptService(_VSLService* record) {
    if (!record) return;
    for (_VSLService** link = &m_interruptList; *link; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            break;
        }
    }
    IOFree(record, sizeof(_VSLService));
}

void QNExFramebuffer::DoInterruptService(_VSLService* record) {
    if (record && record->handler) record->handler(record->target, record->ref);
}

bool QNExFramebuffer::isListedRecord(const void* reference) const {
    for (const _VSLService* s = m_interruptList; s; s = s->next) {
        if (s == reference) return true;
    }
    return false;
}

_VSLService* QNExFramebuffer::recordOfType(IOSelect type) const {
    for (_VSLService* s = m_interruptList; s; s = s->next) {
        if (s->type == type) return s;
    }
    return nullptr;
}

IOReturn QNExFramebuffer::registerForInterruptType(IOSelect interruptType, IOFBInterruptProc proc,
                                                   OSObject* target, void* reference, void** interruptRef) {
    if (interruptRef) *interruptRef = nullptr;
    if (interruptType != kIOFBVBLInterruptType && interruptType != kIOFBConnectInterruptType) {
        return kIOReturnUnsupported;
    }
    if (interruptType == kIOFBVBLInterruptType && m_provider && m_provider->getProperty("Ignore VBL")) {
        return kIOReturnUnsupported;
    }
    _VSLService* record = recordOfType(interruptType);
    if (!record) return kIOReturnNoResources;
    // A second registration keeps the first and hands out nothing to unregister.
    if (record->handler) return kIOReturnSuccess;
    record->target = target;
    record->ref = reference;
    record->handler = proc;
    if (interruptRef) *interruptRef = record;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::unregisterInterrupt(void* interruptRef) {
    if (!isListedRecord(interruptRef)) return super::unregisterInterrupt(interruptRef);
    static_cast<_VSLService*>(interruptRef)->handler = nullptr;
    return kIOReturnSuccess;
}

// Disabling drops the registration for good: enabling again does not bring it back.
IOReturn QNExFramebuffer::setInterruptState(void* interruptRef, UInt32 state) {
    if (!isListedRecord(interruptRef)) return super::setInterruptState(interruptRef, state);
    if (state == kEnabledInterruptState) return kIOReturnSuccess;
    if (state == kDisabledInterruptState) {
        static_cast<_VSLService*>(interruptRef)->handler = nullptr;
        return kIOReturnSuccess;
    }
    return kIOReturnUnsupported;
}

IOReturn QNExFramebuffer::VBLSetSecondaryClock(unsigned int microseconds) {
    // A zero period would make the timer fire back to back without end.
    if (microseconds == 0) {
        IOLog("QNExFramebuffer@%s: a vertical-blank period of 0 refused\n", locationText().c_str());
        return kIOReturnBadArgument;
    }
    m_vblPeriod = microseconds;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::VBLSetSecondaryClockThreshold(unsigned int microseconds) {
    m_vblThreshold = std::max<UInt32>(microseconds, m_vblPeriod);
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::VBLNotifyInterruptClient() {
    m_timerDriven = 0;
    return updateVBL();
}

IOReturn QNExFramebuffer::updateVBL() {
    m_lastVBLTime = current_composite_microtime();
    IOReturn result;
    if (m_vblService && m_enabled && vblStateBit()) {
        setInterruptState(m_vblService, kEnabledInterruptState);
        m_vblDelivered = 1;
        if (m_vblService->handler) {
            m_vblService->handler(m_vblService->target, m_vblService->ref);
            ++m_vblCount;
            result = kIOReturnSuccess;
        } else {
            result = kIOReturnNoInterrupt;
        }
    } else {
        result = m_vblService ? kIOReturnOffline : kIOReturnNoInterrupt;
    }
    queueNextVBLCheck();
    return result;
}

void QNExFramebuffer::queueNextVBLCheck() {
    if (m_timer && m_enabled) m_timer->setTimeoutUS(m_vblPeriod);
}

void QNExFramebuffer::updateVBLViaTimer(OSObject* owner, IOTimerEventSource*) {
    auto* framebuffer = OSDynamicCast(QNExFramebuffer, owner);
    if (!framebuffer) return;
    uint64_t now = framebuffer->current_composite_microtime();
    uint64_t elapsed = now - std::min(now, framebuffer->m_lastVBLTime);
    if (elapsed > framebuffer->m_vblThreshold) {
        framebuffer->m_timerDriven = 1;
        framebuffer->updateVBL();
    } else if (framebuffer->m_timerDriven) {
        framebuffer->updateVBL();
    }
    // Otherwise the screen server paces: each of its notifications delivers one vertical blank
    // and arms one check, so the timer stays idle until the next notification.
}

IOReturn QNExFramebuffer::setCursorState(SInt32 x, SInt32 y, bool visible) {
    m_cursorX = x;
    m_cursorY = y;
    m_cursorVisible = visible ? 1 : 0;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::setCursorImage(void* cursorImage) {
    m_cursorImage = cursorImage;
    m_cursorChanged = 1;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getCursorState(int* x, int* y, int* visible, int* changed) {
    if (x) *x = m_cursorX;
    if (y) *y = m_cursorY;
    if (visible) *visible = m_cursorVisible;
    if (changed) *changed = m_cursorChanged;
    m_cursorChanged = 0;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getCursorData(IOMemoryDescriptor* memory, int, int* value0, int* value1,
                                        int* value2, int* value3) {
    if (!memory) return kIOReturnBadArgument;
    if (m_cursorBuffer) {
        IOByteCount total = std::min(memory->getLength(), m_cursorBuffer->getLength());
        UInt8 piece[4096];
        for (IOByteCount offset = 0; offset < total; offset += sizeof piece) {
            IOByteCount n = std::min<IOByteCount>(sizeof piece, total - offset);
            m_cursorBuffer->readBytes(offset, piece, n);
            memory->writeBytes(offset, piece, n);
        }
    }
    int* outputs[4] = {value0, value1, value2, value3};
    for (int i = 0; i < 4; ++i) {
        if (outputs[i]) *outputs[i] = m_cursorImageValues[i];
    }
    return kIOReturnSuccess;
}

} // namespace drivers
