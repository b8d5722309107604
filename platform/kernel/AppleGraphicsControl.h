// The graphics multiplexer's control service ("AppleGraphicsControl" under IOResources),
// present only when the Mac has a graphics multiplexer. A type-0 connection opens, reads
// the feature bits, sets the multiplexer's state and closes; every call is recorded in the
// event log (kind "graphics-control") in order, for tests.
//
// | selector | in | out | answer |
// | 0 open, 1 close | 0 | 0 | success |
// | 2 set mux state | 3 (a, b, c) | 0 | success; c is remembered under (a, b) |
// | 3 feature or state | 2 (a, b) | 1 | (1, 0): the feature bits; else the c last set under (a, b), or 0 |
// | 4 set exclusive | 1 | 0 | success |
#pragma once

#include "platform/kernel/IOService.h"
#include "platform/kernel/IOUserClient.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace kernel {

class AppleGraphicsControl : public IOService {
    OSDeclareDefaultStructors(AppleGraphicsControl);

  public:
    using super = IOService;
    static constexpr uint32_t kUserClientType = 0;

    // Unattached, with the multiplexer's feature bits (bit 2, value 4: it can switch).
    static AppleGraphicsControl* withFeatures(uint64_t features);

    IOReturn newUserClient(task_t owningTask, void* securityID, uint32_t type,
                           IOUserClient** handler) override;

    uint64_t features() const { return m_features; }
    uint64_t state(uint64_t a, uint64_t b);
    void setState(uint64_t a, uint64_t b, uint64_t c);

  private:
    uint64_t m_features = 0;
    std::mutex m_mutex;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> m_states;
};

class AppleGraphicsControlClient : public IOUserClient {
    OSDeclareDefaultStructors(AppleGraphicsControlClient);

  public:
    using super = IOUserClient;

    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            const IOExternalMethodDispatch* dispatch, OSObject* target,
                            void* reference) override;
    IOReturn clientClose() override;

  private:
    friend class AppleGraphicsControl;
    AppleGraphicsControl* m_control = nullptr;
    pid_t m_pid = 0;
};

} // namespace kernel
