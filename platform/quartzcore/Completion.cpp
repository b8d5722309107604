#include "platform/quartzcore/Completion.h"

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSTimer.h"

#include <cmath>

namespace quartzcore::detail {

std::shared_ptr<Completion> Completion::after(double seconds, std::function<void()> block) {
    auto completion = std::make_shared<Completion>();
    auto state = std::make_shared<State>();
    state->block = std::move(block);
    completion->m_state = state;
    auto loop = ns::NSRunLoop::mainRunLoop();
    if (std::isfinite(seconds) && seconds > 0) {
        completion->m_timer =
            ns::NSTimer::timerWithTimeInterval(seconds, false, [state](ns::NSTimer&) { state->run(); });
        loop->addTimer(completion->m_timer, ns::NSRunLoopCommonModes);
    } else {
        loop->performBlock([state] { state->run(); });
    }
    return completion;
}

void Completion::cancel() {
    if (m_state) m_state->block = nullptr;
    if (m_timer) m_timer->invalidate();
}

void Completion::State::run() {
    auto taken = std::move(block);
    block = nullptr; // runs once, even if it schedules more work
    if (taken) taken();
}

} // namespace quartzcore::detail
