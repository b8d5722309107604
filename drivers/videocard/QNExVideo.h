// The video card that is not there: attaches under the resources node as "QNExGFX" and
// publishes one display nub per virtual display.
#pragma once

#include "platform/kernel/IOService.h"

namespace kernel {
class IOWorkLoop;
}

namespace drivers {

using namespace kernel;

inline constexpr uint32_t kQNExDisplayCount = 4;

class QNExVideo : public IOService {
    OSDeclareDefaultStructors(QNExVideo);

public:
    using super = IOService;

    bool start(IOService* provider) override;
    void stop(IOService* provider) override;

    // False when the machine's model is listed in the service's "incompatibleModels", on
    // kernels of major version 11 and later.
    virtual bool isCompatible(IOService* service, const char* name);
    // Created on first use; concurrent callers wait until it exists.
    virtual IOWorkLoop* getWorkLoop();

protected:
    void free() override;

private:
    void publishDisplay(uint32_t index);

    void* volatile m_workLoop = nullptr;
};

} // namespace drivers
