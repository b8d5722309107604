#include "drivers/videocard/QNExVideoUserClient.h"

#include "drivers/videocard/QNExVideo.h"

namespace drivers {

OSDefineMetaClassAndStructors(QNExVideoUserClient, IOUserClient);

bool QNExVideoUserClient::initWithTask(task_t owningTask, void* securityToken, uint32_t type,
                                       OSDictionary* properties) {
    if (!owningTask || !super::initWithTask(owningTask, securityToken, type, properties)) return false;
    m_owningTask = owningTask;
    m_provider = nullptr;
    m_died = 0;
    return true;
}

bool QNExVideoUserClient::start(IOService* provider) {
    if (!super::start(provider)) return false;
    m_provider = OSDynamicCast(QNExVideo, provider);
    if (!m_provider) return false;
    setName("ProxyVideoCardUC");
    return true;
}

IOReturn QNExVideoUserClient::open() {
    if (!m_provider) return kIOReturnNotAttached;
    return m_provider->open(this) ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn QNExVideoUserClient::close() {
    if (!m_provider) return kIOReturnNotAttached;
    if (m_provider->isOpen(this)) m_provider->close(this);
    return kIOReturnSuccess;
}

IOReturn QNExVideoUserClient::clientClose() {
    close();
    m_owningTask = nullptr;
    m_provider = nullptr;
    terminate();
    return kIOReturnSuccess;
}

IOReturn QNExVideoUserClient::clientDied() {
    m_died = 1;
    return super::clientDied();
}

} // namespace drivers
