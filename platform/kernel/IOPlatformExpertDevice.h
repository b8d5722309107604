// The machine itself: the one child of the registry root, named after the model.
#pragma once

#include "platform/kernel/IOService.h"

#include <string>

namespace kernel {

class IOPlatformExpertDevice : public IOService {
    OSDeclareDefaultStructors(IOPlatformExpertDevice);

  public:
    using super = IOService;

    static IOPlatformExpertDevice* withModel(const std::string& model, const std::string& serialNumber);
};

} // namespace kernel
