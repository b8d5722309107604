#include "platform/kernel/IODisplayConnect.h"

namespace kernel {

OSDefineMetaClassAndStructors(IODisplayConnect, IOService);

IODisplayConnect* IODisplayConnect::displayConnect() {
    auto* connect = new IODisplayConnect;
    if (!connect->init(nullptr)) {
        connect->release();
        return nullptr;
    }
    connect->setName("display0");
    return connect;
}

} // namespace kernel
