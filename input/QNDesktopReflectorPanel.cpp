#include "input/QNDesktopReflectorPanel.h"

#include <mutex>

namespace input {

namespace {

std::mutex& makerMutex() {
    static std::mutex mutex;
    return mutex;
}

QNDesktopReflectorPanel::Maker& maker() {
    static QNDesktopReflectorPanel::Maker theMaker;
    return theMaker;
}

} // namespace

std::shared_ptr<QNDesktopReflectorPanel>
QNDesktopReflectorPanel::initWithScreenServer(const std::shared_ptr<ScreenServerInput>& screenServer) {
    Maker make;
    {
        std::lock_guard lock(makerMutex());
        make = maker();
    }
    return make ? make(screenServer) : nullptr;
}

void QNDesktopReflectorPanel::setMaker(Maker newMaker) {
    std::lock_guard lock(makerMutex());
    maker() = std::move(newMaker);
}

} // namespace input
