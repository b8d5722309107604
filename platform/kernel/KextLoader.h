// Loads kexts (dlopen of the shared object in each bundle, after the libraries it lists) and
// unloads them. Identifiers beginning "com.apple." are the kernel itself.
#pragma once

#include "platform/kernel/IOReturn.h"
#include "platform/kernel/KextBundle.h"
#include "platform/kernel/ModuleInfo.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kernel {

class Kernel;

struct LoadedKextInfo {
    std::string identifier;
    std::string version;
    std::string bundlePath;
    std::string moduleName;
    std::string moduleVersion;
};

class KextLoader {
  public:
    explicit KextLoader(Kernel& kernel) : m_kernel(kernel) {}
    ~KextLoader();

    // Loads each bundle after its libraries (found among these bundles or loaded already); a
    // missing library or a cycle refuses that kext with a log line. Answers the identifiers
    // this call loaded, in load order.
    std::vector<std::string> load(const std::vector<std::string>& bundlePaths);
    // Refused while a loaded kext lists it as a library; otherwise its personalities go, its
    // instances terminate, process handles to them are dropped, then module stop and dlclose.
    IOReturn unload(const std::string& identifier);
    // Every kext, in reverse load order.
    void unloadAll();

    std::vector<LoadedKextInfo> loaded() const;
    bool isLoaded(const std::string& identifier) const;

  private:
    struct LoadedKext {
        KextBundle bundle;
        void* handle = nullptr;
        kmod_info_t* module = nullptr;
        const void* imageBase = nullptr;
    };

    bool loadWithLibraries(const std::string& identifier, const std::map<std::string, KextBundle>& bootSet,
                           std::vector<std::string>& stack, std::vector<std::string>& loadedNow);
    bool loadImage(const KextBundle& bundle);
    bool isLoadedLocked(const std::string& identifier) const;
    std::string dependentOf(const std::string& identifier) const;
    void finishUnload(LoadedKext kext);

    Kernel& m_kernel;
    mutable std::recursive_mutex m_mutex;
    std::vector<LoadedKext> m_loaded;
};

} // namespace kernel
