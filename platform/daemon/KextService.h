// The kext manager's view of loaded kernel extensions. The list comes from a provider: the
// hosted kernel's (HostedKextList), or an empty one where no kernel is hosted.
#pragma once

#include "platform/daemon/SystemService.h"

#include <memory>

namespace platformd {

class KextListProvider {
  public:
    virtual ~KextListProvider() = default;
    // Keyed by bundle identifier: {"CFBundleIdentifier", "CFBundleVersion", "OSBundlePath"}.
    virtual cf::Dictionary loadedKexts() const = 0;
};

class NoKexts : public KextListProvider {
  public:
    cf::Dictionary loadedKexts() const override { return {}; }
};

class KextService : public SystemService {
  public:
    explicit KextService(std::shared_ptr<KextListProvider> provider);
    void setProvider(std::shared_ptr<KextListProvider> provider);
    void registerRequests(RequestTable& table) override;

  private:
    void loaded(RequestContext& ctx);
    std::shared_ptr<KextListProvider> m_provider;
};

} // namespace platformd
