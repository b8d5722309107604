// Serving this thread's main run loop while other threads ask it: fake applications answer
// accessibility there, so work that asks them runs on another thread meanwhile.
#pragma once

#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoop.h"

#include <atomic>
#include <functional>
#include <thread>

namespace input::testing {

// Runs what the main run loop has been handed, without waiting.
inline void serveMainLoop() {
    auto loop = dispatch::RunLoop::main();
    while (loop->runInMode(dispatch::kDefaultRunLoopMode, platform::now(), true) ==
           dispatch::RunLoop::RunResult::HandledSource) {
    }
}

// Runs work on another thread while this one serves the main run loop; with clockStep, the
// fake clock moves on by that much at each turn (for waits on the process clock).
inline void runOffMain(const std::function<void()>& work, double clockStep = 0,
                       const std::function<void()>& eachTurn = nullptr) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done) {
        serveMainLoop();
        if (eachTurn) eachTurn();
        if (clockStep > 0) platform::installFakeClock().advance(platform::seconds(clockStep));
        std::this_thread::yield();
    }
    worker.join();
    serveMainLoop();
}

} // namespace input::testing
