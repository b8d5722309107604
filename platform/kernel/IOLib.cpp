#include "platform/kernel/IOLib.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sched.h>

namespace kernel {

int version_major = 16;

namespace {

std::mutex gLibMutex;
std::string gModel = "Macmini7,1";
std::map<const void*, std::string> gKextImages;

std::string ownerOfAddress(const void* address) {
    Dl_info info{};
    if (!dladdr(address, &info)) return "kernel";
    std::lock_guard lock(gLibMutex);
    auto it = gKextImages.find(info.dli_fbase);
    return it == gKextImages.end() ? "kernel" : it->second;
}

} // namespace

void* IOMalloc(size_t size) {
    return size ? std::malloc(size) : nullptr;
}

void IOFree(void* address, size_t) {
    std::free(address);
}

void IOLog(const char* format, ...) {
    const void* caller = __builtin_extract_return_addr(__builtin_return_address(0));
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string text(buffer);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    platform::log("%@: %@", ownerOfAddress(caller), text);
}

bool OSCompareAndSwapPtr(void* oldValue, void* newValue, void* volatile* address) {
    return __atomic_compare_exchange_n(address, &oldValue, newValue, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void processorYield() {
    sched_yield();
}

bool PEGetModelName(char* name, int maxLength) {
    if (!name || maxLength <= 0) return false;
    std::lock_guard lock(gLibMutex);
    size_t n = std::min(gModel.size(), static_cast<size_t>(maxLength - 1));
    std::memcpy(name, gModel.data(), n);
    name[n] = '\0';
    return true;
}

void clock_get_system_microtime(clock_sec_t* secs, clock_usec_t* microsecs) {
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(platform::now().time_since_epoch()).count();
    if (secs) *secs = static_cast<clock_sec_t>(micros / 1'000'000);
    if (microsecs) *microsecs = static_cast<clock_usec_t>(micros % 1'000'000);
}

void setMachineModel(const std::string& model) {
    std::lock_guard lock(gLibMutex);
    gModel = model;
}

int versionMajorForProductVersion(const std::string& productVersion) {
    int major = std::atoi(productVersion.c_str());
    int minor = 0;
    if (auto dot = productVersion.find('.'); dot != std::string::npos)
        minor = std::atoi(productVersion.c_str() + dot + 1);
    if (major == 10) return minor + 4;
    if (major >= 11) return major + 9;
    return 0;
}

void registerKextImage(const void* imageBase, const std::string& bundleIdentifier) {
    std::lock_guard lock(gLibMutex);
    gKextImages[imageBase] = bundleIdentifier;
}

void unregisterKextImage(const void* imageBase) {
    std::lock_guard lock(gLibMutex);
    gKextImages.erase(imageBase);
}

} // namespace kernel
