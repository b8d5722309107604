#include "platform/daemon/KernelHost.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <dirent.h>
#include <memory>

#ifndef TESSEL_DEFAULT_KEXT_DIR
#define TESSEL_DEFAULT_KEXT_DIR ""
#endif

namespace platformd {

namespace {

kernel::KernelConfig kernelConfigOf(const platform::Profile& profile) {
    kernel::KernelConfig config;
    config.model = profile.modelIdentifier;
    config.serialNumber = profile.serialNumber;
    config.productVersion = profile.productVersion;
    return config;
}

} // namespace

KernelHost::KernelHost(const KernelHostOptions& options)
    : m_kernel(std::make_unique<kernel::Kernel>(kernelConfigOf(options.profile))) {
    m_kernel->setEventRecorder(options.recordEvent);
    if (options.profile.graphicsMultiplexer && *options.profile.graphicsMultiplexer >= 0)
        m_kernel->publishGraphicsControl(uint64_t(*options.profile.graphicsMultiplexer));
    auto config = windowserver::WindowServerConfig::fromProfile(options.profile);
    config.recordEvent = options.recordEvent;
    m_windowServer = std::make_unique<windowserver::WindowServer>(*m_kernel, config);
    m_windowServer->setDisplayObserver(options.displayObserver);
    m_windowServer->setApplicationObserver(options.applicationObserver);
    if (!options.kextBundles.empty()) {
        auto loaded = m_kernel->loadKexts(options.kextBundles);
        platform::log("platformd: loaded %zu of %zu kexts", loaded.size(), options.kextBundles.size());
    }
    m_kernel->waitQuiet();
    m_windowServer->boot();
    m_running = true;
}

KernelHost::~KernelHost() {
    shutdown();
}

KernelHost::Use KernelHost::use() {
    std::shared_lock lock(m_mutex);
    bool running = m_running;
    return Use(std::move(lock), running);
}

void KernelHost::shutdown() {
    std::unique_lock lock(m_mutex);
    if (!m_running) return;
    m_running = false;
    m_windowServer->stop();
    m_kernel->shutdown();
}

std::vector<std::string> KernelHost::kextBundlesIn(const std::string& folder) {
    std::vector<std::string> bundles;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        platform::log("platformd: no kext folder at %@", folder);
        return bundles;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".kext") == 0)
            bundles.push_back(folder + "/" + name);
    }
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

std::string KernelHost::defaultKextFolder() {
    return TESSEL_DEFAULT_KEXT_DIR;
}

} // namespace platformd
