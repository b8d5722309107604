// Completions of animations and transactions: one-shot work on the main run loop in every mode
// (common modes, so modal loops and tracking menus serve them too), after a delay on the
// process clock; a delay of 0 runs on the next turn. A main-loop timer carries the delay, as
// NSTimer schedules, so the fake clock drives it in tests.
#pragma once

#include <functional>
#include <memory>

namespace ns {
class NSTimer;
}

namespace quartzcore::detail {

class Completion {
  public:
    // Non-finite or negative delays count as 0. The loop keeps the work; the handle only
    // cancels it.
    static std::shared_ptr<Completion> after(double seconds, std::function<void()> block);
    // The block never runs after this returns (idempotent).
    void cancel();
    bool isPending() const { return m_state && m_state->block; }

  private:
    struct State {
        std::function<void()> block;
        void run();
    };
    std::shared_ptr<State> m_state;
    std::shared_ptr<ns::NSTimer> m_timer;
};

} // namespace quartzcore::detail
