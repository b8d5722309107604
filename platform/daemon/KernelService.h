// platformd's kernel service: one kernel task per connected process, the I/O Kit facade's
// requests answered on that process's own connection thread in its order (blocking on
// nothing but driver gates and the window-server thread), and the kext manager's list. A
// dropped connection is a dead process: its user clients get clientDied and its handles go.
#pragma once

#include "platform/daemon/KernelHost.h"
#include "platform/daemon/KextService.h"
#include "platform/daemon/SystemService.h"
#include "platform/kernel/UserTask.h"

#include "platform/ipc/UniqueFd.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platformd {

class Platformd;

class KernelService : public SystemService {
  public:
    explicit KernelService(std::shared_ptr<KernelHost> host);
    ~KernelService() override;

    void registerRequests(RequestTable& table) override;
    // The facade's requests, for platformd's connection-thread table.
    void registerConnectionRequests(RequestTable& table);
    void clientArrived(const Client& client) override;
    void clientGone(const Client& client) override;
    void shutdown() override;

  private:
    // A process's lean channel for scalar calls: platformd's end and the thread serving it.
    struct FastChannel {
        ipc::UniqueFd fd;
        std::thread thread;
    };
    void serve(std::string_view op, RequestContext& ctx);
    void openFastChannel(RequestContext& ctx);
    // Shuts the channel down, waits for its thread (outside every lock) and closes it.
    static void endFastChannel(FastChannel channel);
    std::shared_ptr<kernel::UserTask> taskOf(uint64_t clientId);

    std::shared_ptr<KernelHost> m_host;
    std::mutex m_mutex;
    std::map<uint64_t, std::shared_ptr<kernel::UserTask>> m_tasks; // by client id
    std::map<uint64_t, std::vector<FastChannel>> m_fastChannels; // by client id
    bool m_shuttingDown = false;
};

// The kext manager's list: the kexts the hosted kernel has loaded.
class HostedKextList : public KextListProvider {
  public:
    explicit HostedKextList(std::shared_ptr<KernelHost> host) : m_host(std::move(host)) {}
    cf::Dictionary loadedKexts() const override;

  private:
    std::shared_ptr<KernelHost> m_host;
};

// Boots the kernel with the kexts of kextFolder (none when absent) and the window server,
// and wires both into the daemon: call before its boot, with the root it will serve.
void hostKernelAndWindowServer(Platformd& daemon, const std::string& root,
                               const std::optional<std::string>& kextFolder);

} // namespace platformd
