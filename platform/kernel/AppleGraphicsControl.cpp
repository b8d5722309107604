#include "platform/kernel/AppleGraphicsControl.h"

#include "platform/kernel/Kernel.h"

namespace kernel {

OSDefineMetaClassAndStructors(AppleGraphicsControl, IOService);
OSDefineMetaClassAndStructors(AppleGraphicsControlClient, IOUserClient);

namespace {

constexpr uint32_t kSelectorCount = 5;

IOReturn succeed(OSObject*, void*, IOExternalMethodArguments*) {
    return kIOReturnSuccess;
}

IOReturn setMuxState(OSObject* target, void*, IOExternalMethodArguments* a) {
    auto* control = static_cast<AppleGraphicsControl*>(target);
    control->setState(a->scalarInput[0], a->scalarInput[1], a->scalarInput[2]);
    return kIOReturnSuccess;
}

IOReturn featureOrState(OSObject* target, void*, IOExternalMethodArguments* a) {
    auto* control = static_cast<AppleGraphicsControl*>(target);
    uint64_t answer = a->scalarInput[0] == 1 && a->scalarInput[1] == 0
                          ? control->features()
                          : control->state(a->scalarInput[0], a->scalarInput[1]);
    if (a->scalarOutputCount >= 1) a->scalarOutput[0] = answer;
    a->scalarOutputCount = 1;
    return kIOReturnSuccess;
}

const IOExternalMethodDispatch kMethods[kSelectorCount] = {
    {succeed, 0, 0, 0, 0},        // 0 open
    {succeed, 0, 0, 0, 0},        // 1 close
    {setMuxState, 3, 0, 0, 0},    // 2 set mux state
    {featureOrState, 2, 0, 1, 0}, // 3 feature or state
    {succeed, 1, 0, 0, 0},        // 4 set exclusive
};

} // namespace

AppleGraphicsControl* AppleGraphicsControl::withFeatures(uint64_t features) {
    auto* control = new AppleGraphicsControl;
    if (!control->init(nullptr)) {
        control->release();
        return nullptr;
    }
    control->setName("AppleGraphicsControl");
    control->m_features = features;
    return control;
}

IOReturn AppleGraphicsControl::newUserClient(task_t owningTask, void* securityID, uint32_t type,
                                             IOUserClient** handler) {
    if (type != kUserClientType) return super::newUserClient(owningTask, securityID, type, handler);
    if (!handler) return kIOReturnBadArgument;
    *handler = nullptr;
    auto* client = new AppleGraphicsControlClient;
    if (!client->initWithTask(owningTask, securityID, type) || !client->attach(this)) {
        client->release();
        return kIOReturnNoMemory;
    }
    if (!client->start(this)) {
        client->detach(this);
        client->release();
        return kIOReturnError;
    }
    client->m_control = this;
    client->m_pid = owningTask ? owningTask->pid : 0;
    *handler = client;
    return kIOReturnSuccess;
}

uint64_t AppleGraphicsControl::state(uint64_t a, uint64_t b) {
    std::lock_guard lock(m_mutex);
    auto it = m_states.find({a, b});
    return it == m_states.end() ? 0 : it->second;
}

void AppleGraphicsControl::setState(uint64_t a, uint64_t b, uint64_t c) {
    std::lock_guard lock(m_mutex);
    m_states[{a, b}] = c;
}

IOReturn AppleGraphicsControlClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                                    const IOExternalMethodDispatch* dispatch,
                                                    OSObject* target, void* reference) {
    if (selector < kSelectorCount && m_control) {
        dispatch = &kMethods[selector];
        target = m_control;
    }
    IOReturn result = super::externalMethod(selector, arguments, dispatch, target, reference);
    if (Kernel* kernel = Kernel::current()) {
        cf::Array input, output;
        for (uint32_t i = 0; arguments && i < arguments->scalarInputCount; ++i)
            input.push_back(int64_t(arguments->scalarInput[i]));
        for (uint32_t i = 0; result == kIOReturnSuccess && arguments && i < arguments->scalarOutputCount; ++i)
            output.push_back(int64_t(arguments->scalarOutput[i]));
        kernel->recordEvent("graphics-control", "IOConnectCallScalarMethod",
                            cf::Dictionary{{"pid", int64_t(m_pid)},
                                           {"selector", selector},
                                           {"input", cf::Value(std::move(input))},
                                           {"output", cf::Value(std::move(output))},
                                           {"status", int64_t(result)}});
    }
    return result;
}

IOReturn AppleGraphicsControlClient::clientClose() {
    if (m_control) detach(m_control);
    m_control = nullptr;
    terminate();
    return kIOReturnSuccess;
}

} // namespace kernel
