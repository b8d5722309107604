#include "platform/kernel/KextLoader.h"

#include "platform/core/Log.h"
#include "platform/kernel/IOCatalogue.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSMetaClass.h"
#include "platform/kernel/ServiceMatcher.h"

#include <algorithm>
#include <dlfcn.h>

namespace kernel {

namespace {

bool isKernelComponent(const std::string& identifier) {
    return identifier.rfind("com.apple.", 0) == 0;
}

} // namespace

KextLoader::~KextLoader() = default;

std::vector<std::string> KextLoader::load(const std::vector<std::string>& bundlePaths) {
    std::lock_guard lock(m_mutex);
    std::map<std::string, KextBundle> bootSet;
    std::vector<std::string> order;
    for (const auto& path : bundlePaths) {
        auto bundle = readKextBundle(path);
        if (!bundle) continue;
        if (bootSet.count(bundle->identifier)) {
            platform::log("kernel: kext %@ given twice; %@ ignored", bundle->identifier, path);
            continue;
        }
        order.push_back(bundle->identifier);
        bootSet.emplace(bundle->identifier, std::move(*bundle));
    }
    std::vector<std::string> loadedNow;
    for (const auto& identifier : order) {
        std::vector<std::string> stack;
        loadWithLibraries(identifier, bootSet, stack, loadedNow);
    }
    return loadedNow;
}

bool KextLoader::loadWithLibraries(const std::string& identifier,
                                   const std::map<std::string, KextBundle>& bootSet,
                                   std::vector<std::string>& stack, std::vector<std::string>& loadedNow) {
    if (isLoadedLocked(identifier)) return true;
    if (std::find(stack.begin(), stack.end(), identifier) != stack.end()) {
        platform::log("kernel: kext %@ refused: its libraries form a cycle", identifier);
        return false;
    }
    auto it = bootSet.find(identifier);
    if (it == bootSet.end()) return false;
    const KextBundle& bundle = it->second;
    stack.push_back(identifier);
    for (const auto& library : bundle.libraries) {
        if (isKernelComponent(library) || isLoadedLocked(library)) continue;
        if (!bootSet.count(library)) {
            platform::log("kernel: kext %@ refused: library %@ is missing", identifier, library);
            stack.pop_back();
            return false;
        }
        if (!loadWithLibraries(library, bootSet, stack, loadedNow)) {
            platform::log("kernel: kext %@ refused: library %@ did not load", identifier, library);
            stack.pop_back();
            return false;
        }
    }
    stack.pop_back();
    if (!loadImage(bundle)) return false;
    loadedNow.push_back(identifier);
    return true;
}

bool KextLoader::loadImage(const KextBundle& bundle) {
    OSMetaClass::beginKextLoad(bundle.identifier);
    void* handle = dlopen(bundle.executablePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    OSMetaClass::KextLoadResult classes = OSMetaClass::endKextLoad();
    if (!handle) {
        const char* why = dlerror();
        platform::log("kernel: kext %@ refused: %@", bundle.identifier, why ? why : "dlopen failed");
        return false;
    }
    auto fail = [&](const std::string& why) {
        platform::log("kernel: kext %@ refused: %@", bundle.identifier, why);
        OSMetaClass::removeClassesOfKext(bundle.identifier);
        dlclose(handle);
        return false;
    };
    if (!classes.duplicates.empty())
        return fail("class " + classes.duplicates.front() + " is defined already");
    auto* module = static_cast<kmod_info_t*>(dlsym(handle, kKmodInfoSymbol));
    if (!module) return fail("no module record");
    Dl_info image{};
    const void* imageBase = dladdr(module, &image) ? image.dli_fbase : nullptr;
    if (imageBase) registerKextImage(imageBase, bundle.identifier);
    if (module->start && module->start(module, nullptr) != KERN_SUCCESS) {
        if (imageBase) unregisterKextImage(imageBase);
        return fail("module start failed");
    }
    m_loaded.push_back({bundle, handle, module, imageBase});
    m_kernel.catalogue().addPersonalities(bundle.identifier, bundle.personalities);
    m_kernel.matcher().queueRematchAll();
    platform::log("kernel: loaded %@ %@ (%@ %@)", bundle.identifier, bundle.version,
                  module->name ? module->name : "", module->version ? module->version : "");
    return true;
}

IOReturn KextLoader::unload(const std::string& identifier) {
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_loaded.begin(), m_loaded.end(),
                           [&](const LoadedKext& k) { return k.bundle.identifier == identifier; });
    if (it == m_loaded.end()) return kIOReturnNotFound;
    if (std::string user = dependentOf(identifier); !user.empty()) {
        platform::log("kernel: kext %@ not unloaded: %@ uses it", identifier, user);
        return kIOReturnExclusiveAccess;
    }
    LoadedKext kext = std::move(*it);
    m_loaded.erase(it);
    m_kernel.catalogue().removePersonalities(identifier);
    for (auto& service : m_kernel.servicesOfKext(identifier))
        service->terminate();
    m_kernel.matcher().waitQuiet();
    m_kernel.dropTaskHandlesOfKext(identifier);
    m_kernel.matcher().waitQuiet();
    finishUnload(std::move(kext));
    return kIOReturnSuccess;
}

void KextLoader::finishUnload(LoadedKext kext) {
    const std::string& identifier = kext.bundle.identifier;
    if (uint32_t alive = OSMetaClass::instanceCountOfKext(identifier)) {
        // Its code must stay mapped while any of its objects can still be called.
        platform::log("kernel: kext %@ still has %u live objects; its code stays loaded", identifier, alive);
        return;
    }
    if (kext.module->stop && kext.module->stop(kext.module, nullptr) != KERN_SUCCESS) {
        platform::log("kernel: kext %@: module stop failed", identifier);
    }
    OSMetaClass::removeClassesOfKext(identifier);
    if (kext.imageBase) unregisterKextImage(kext.imageBase);
    dlclose(kext.handle);
    platform::log("kernel: unloaded %@", identifier);
}

void KextLoader::unloadAll() {
    std::lock_guard lock(m_mutex);
    while (!m_loaded.empty()) {
        std::string identifier = m_loaded.back().bundle.identifier;
        if (unload(identifier) != kIOReturnSuccess) break;
    }
}

std::vector<LoadedKextInfo> KextLoader::loaded() const {
    std::lock_guard lock(m_mutex);
    std::vector<LoadedKextInfo> infos;
    for (const auto& k : m_loaded) {
        infos.push_back({k.bundle.identifier, k.bundle.version, k.bundle.bundlePath,
                         k.module->name ? k.module->name : "", k.module->version ? k.module->version : ""});
    }
    return infos;
}

bool KextLoader::isLoaded(const std::string& identifier) const {
    std::lock_guard lock(m_mutex);
    return isLoadedLocked(identifier);
}

bool KextLoader::isLoadedLocked(const std::string& identifier) const {
    return std::any_of(m_loaded.begin(), m_loaded.end(),
                       [&](const LoadedKext& k) { return k.bundle.identifier == identifier; });
}

std::string KextLoader::dependentOf(const std::string& identifier) const {
    for (const auto& k : m_loaded) {
        const auto& libs = k.bundle.libraries;
        if (std::find(libs.begin(), libs.end(), identifier) != libs.end()) return k.bundle.identifier;
    }
    return {};
}

} // namespace kernel
