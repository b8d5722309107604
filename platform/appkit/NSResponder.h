// The responder chain: views, then their superviews, then the window. Mouse and key messages a
// responder does not handle go on to the next one; a view or window that wants them overrides.
#pragma once

#include "platform/appkit/NSAction.h"
#include "platform/appkit/NSEvent.h"

namespace appkit {

// Responders answer actions from their class's action table (NSAction.h).
class NSResponder : public NSActionTarget {
  public:
    virtual ~NSResponder() = default;
    // Null at the end of the chain.
    virtual NSResponder* nextResponder() const { return nullptr; }

    virtual void mouseDown(const NSEvent& event) { forward(&NSResponder::mouseDown, event); }
    virtual void mouseUp(const NSEvent& event) { forward(&NSResponder::mouseUp, event); }
    virtual void mouseDragged(const NSEvent& event) { forward(&NSResponder::mouseDragged, event); }
    virtual void mouseMoved(const NSEvent& event) { forward(&NSResponder::mouseMoved, event); }
    virtual void mouseEntered(const NSEvent& event) { forward(&NSResponder::mouseEntered, event); }
    virtual void mouseExited(const NSEvent& event) { forward(&NSResponder::mouseExited, event); }
    virtual void rightMouseDown(const NSEvent& event) { forward(&NSResponder::rightMouseDown, event); }
    virtual void rightMouseUp(const NSEvent& event) { forward(&NSResponder::rightMouseUp, event); }
    virtual void keyDown(const NSEvent& event) { forward(&NSResponder::keyDown, event); }
    virtual void keyUp(const NSEvent& event) { forward(&NSResponder::keyUp, event); }
    virtual void flagsChanged(const NSEvent& event) { forward(&NSResponder::flagsChanged, event); }

    // First responder: NO by default; becoming and resigning are accepted by default.
    virtual bool acceptsFirstResponder() const { return false; }
    virtual bool becomeFirstResponder() { return true; }
    virtual bool resignFirstResponder() { return true; }

  private:
    void forward(void (NSResponder::*message)(const NSEvent&), const NSEvent& event) {
        if (NSResponder* next = nextResponder()) (next->*message)(event);
    }
};

} // namespace appkit
