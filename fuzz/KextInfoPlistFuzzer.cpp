// A kext bundle's Info.plist as the kernel reads it: anything short of an identifier, a
// version and an executable file name is refused; a bundle that reads has checked fields, and
// each personality it kept has its class names and is matched against real providers.
#include "fuzz/KextBundleSupport.h"
#include "platform/kernel/IOService.h"
#include "platform/kernel/KextBundle.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/PersonalityMatching.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    kernel::Kernel& kernel = fuzz::fuzzKernel();
    const std::string path =
        fuzz::writeKextBundle("Fuzz", std::string_view(reinterpret_cast<const char*>(data), size));
    auto bundle = kernel::readKextBundle(path);
    if (!bundle) return 0;
    FUZZ_CHECK(!bundle->identifier.empty() && bundle->identifier.size() <= 255, bundle->identifier);
    FUZZ_CHECK(!bundle->version.empty() && bundle->version.size() <= 255, bundle->version);
    FUZZ_CHECK(bundle->executable.find('/') == std::string::npos, bundle->executable);
    for (const auto& personality : bundle->personalities) {
        FUZZ_CHECK(OSDynamicCast(kernel::OSString, personality->getObject("IOClass")), "IOClass");
        (void)kernel::matchCategory(personality.get());
        (void)kernel::probeScore(personality.get());
        (void)kernel::personalityMatches(personality.get(), kernel.platformExpert(), kernel.resources());
        (void)kernel::personalityMatches(personality.get(), kernel.resources(), kernel.resources());
    }
    return 0;
}
