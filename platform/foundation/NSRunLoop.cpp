#include "platform/foundation/NSRunLoop.h"

#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSTimer.h"

namespace ns {

std::shared_ptr<NSRunLoop> NSRunLoop::mainRunLoop() {
    static auto* loop =
        new std::shared_ptr<NSRunLoop>(std::make_shared<NSRunLoop>(dispatch::RunLoop::main()));
    return *loop;
}

std::shared_ptr<NSRunLoop> NSRunLoop::currentRunLoop() {
    if (dispatch::isMainThread()) return mainRunLoop();
    thread_local std::shared_ptr<NSRunLoop> loop;
    if (!loop) loop = std::make_shared<NSRunLoop>(dispatch::RunLoop::current());
    return loop;
}

std::string NSRunLoop::currentMode() const {
    return m_loop->currentMode();
}

void NSRunLoop::addTimer(const std::shared_ptr<NSTimer>& timer, std::string_view mode) {
    m_loop->addTimer(timer, {std::string(mode)});
}

void NSRunLoop::run() {
    m_loop->run();
}

void NSRunLoop::runUntilDate(platform::TimePoint limit) {
    m_loop->runUntilDate(limit);
}

bool NSRunLoop::runModeBeforeDate(std::string_view mode, platform::TimePoint limit) {
    return m_loop->runModeBeforeDate(mode, limit);
}

void NSRunLoop::performInModes(const dispatch::RunLoopModes& modes, std::function<void()> block) {
    m_loop->perform(modes, std::move(block));
}

void NSRunLoop::performBlock(std::function<void()> block) {
    m_loop->perform({std::string(NSRunLoopCommonModes)}, std::move(block));
}

} // namespace ns
