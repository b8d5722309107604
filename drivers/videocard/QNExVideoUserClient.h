// A user client of the video card that offers no external methods; nothing opens it.
#pragma once

#include "platform/kernel/IOUserClient.h"

namespace drivers {

using namespace kernel;

class QNExVideo;

class QNExVideoUserClient : public IOUserClient {
    OSDeclareDefaultStructors(QNExVideoUserClient);

public:
    using super = IOUserClient;
    using IOService::close;
    using IOService::open;
    using IOUserClient::initWithTask;

    bool initWithTask(task_t owningTask, void* securityToken, uint32_t type,
                      OSDictionary* properties) override;
    bool start(IOService* provider) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;

    virtual IOReturn open();
    virtual IOReturn close();

private:
    QNExVideo* m_provider = nullptr;
    task_t m_owningTask = nullptr;
    uint8_t m_died = 0;
};

} // namespace drivers
