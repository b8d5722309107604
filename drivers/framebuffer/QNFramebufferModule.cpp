// The module record of the framebuffer kext.
#include "platform/kernel/ModuleInfo.h"

KMOD_EXPLICIT_DECL("com.quenby.driver.QNFramebuffer", "1.3.0", nullptr, nullptr);
