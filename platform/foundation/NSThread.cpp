#include "platform/foundation/NSThread.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <thread>

namespace ns {

namespace {

thread_local std::shared_ptr<NSThread> tCurrent;

// Thrown by exit() and caught at the bottom of the thread's body, so every frame on the way
// (run loops, locks) unwinds normally.
struct ThreadExit {};

} // namespace

NSThread::NSThread(std::function<void()> main, bool isMain, bool spawned)
    : m_body(std::move(main)), m_isMain(isMain), m_spawned(spawned) {}

std::shared_ptr<NSThread> NSThread::create(std::function<void()> main) {
    return std::make_shared<NSThread>(std::move(main), false, true);
}

std::shared_ptr<NSThread> NSThread::detachNewThread(std::function<void()> main) {
    auto thread = create(std::move(main));
    thread->start();
    return thread;
}

void NSThread::start() {
    if (!m_spawned || m_started.exchange(true)) {
        platform::log("NSThread start on a thread already started; ignored");
        return;
    }
    m_executing = true;
    std::thread([self = shared_from_this()] { self->body(); }).detach();
}

void NSThread::body() {
    tCurrent = shared_from_this();
    try {
        if (m_body) m_body();
    } catch (const ThreadExit&) {
        // exit(): the thread ends here
    }
    NSNotificationCenter::defaultCenter().postNotificationName(NSThreadWillExitNotification,
                                                               shared_from_this());
    m_body = nullptr; // what the body captured goes with the thread
    m_executing = false;
    m_finished = true;
    tCurrent.reset();
}

std::shared_ptr<NSThread> NSThread::currentThread() {
    if (dispatch::isMainThread()) {
        static auto* main = new std::shared_ptr<NSThread>(std::make_shared<NSThread>(nullptr, true, false));
        return *main;
    }
    if (!tCurrent) tCurrent = std::make_shared<NSThread>(nullptr, false, false);
    return tCurrent;
}

bool NSThread::isMainThread() {
    return dispatch::isMainThread();
}

void NSThread::exit() {
    if (!tCurrent || !tCurrent->m_spawned) {
        platform::log("NSThread exit on a thread NSThread did not start; ignored");
        return;
    }
    throw ThreadExit{};
}

} // namespace ns
