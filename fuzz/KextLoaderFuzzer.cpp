// The kext loader on a boot set of up to four bundles whose Info.plists come from the input:
// duplicates, missing or cyclic libraries and unloadable images are refused one kext at a
// time, and since no image here can load, nothing is ever reported loaded.
#include "fuzz/KextBundleSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    kernel::Kernel& kernel = fuzz::fuzzKernel();
    static const size_t loadedBefore = kernel.loadedKexts().size();
    // Up to four Info.plists, each after a little-endian u16 whose top bit gives the bundle
    // twice.
    fuzz::Reader input(data, size);
    std::vector<std::string> paths;
    for (int i = 0; i < 4 && input.remaining() > 0; ++i) {
        const uint16_t head = input.u16();
        const auto plist = input.bytes(head & 0x7fff);
        paths.push_back(fuzz::writeKextBundle(
            "Fuzz" + std::to_string(i),
            std::string_view(reinterpret_cast<const char*>(plist.data()), plist.size())));
        if (head & 0x8000) paths.push_back(paths.back());
    }
    const auto loaded = kernel.loadKexts(paths);
    FUZZ_CHECK(loaded.empty(), "an empty image was loaded");
    FUZZ_CHECK(kernel.loadedKexts().size() == loadedBefore, "the loaded set changed");
    return 0;
}
