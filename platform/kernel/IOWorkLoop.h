// A thread that runs the actions of its event sources (here: timers), each under its
// owner's gate. Adding and removing sources never waits; the last release lets the thread
// go, and it is joined later where no gate is held.
#pragma once

#include "platform/kernel/IOReturn.h"
#include "platform/kernel/OSObject.h"

#include <memory>
#include <thread>

namespace kernel {

class IOTimerEventSource;
struct WorkLoopState;

class IOWorkLoop : public OSObject {
    OSDeclareDefaultStructors(IOWorkLoop);

  public:
    using super = OSObject;

    static IOWorkLoop* workLoop();

    // Retains the source; a source belongs to one work loop at a time.
    IOReturn addEventSource(IOTimerEventSource* source);
    IOReturn removeEventSource(IOTimerEventSource* source);

    // Joins the threads of released work loops. Call only where no gate is held.
    static void reapRetiredThreads();

  protected:
    void free() override;

  private:
    std::shared_ptr<WorkLoopState> m_state;
    std::thread m_thread;
};

} // namespace kernel
