#include "platform/iokit/IOKitTransport.h"

#include "platform/ipc/Connection.h"

#include <mutex>

namespace iokit {

namespace {

// platformd's socket: the process's one connection, opened on first need.
class SocketTransport : public IOKitTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        return ipc::requestShared(op, args);
    }
};

std::mutex gMutex;
std::shared_ptr<IOKitTransport> gTransport;

} // namespace

void IOKitSetTransport(std::shared_ptr<IOKitTransport> transport) {
    std::lock_guard lock(gMutex);
    gTransport = std::move(transport);
}

std::shared_ptr<IOKitTransport> IOKitCurrentTransport() {
    std::lock_guard lock(gMutex);
    if (!gTransport) gTransport = std::make_shared<SocketTransport>();
    return gTransport;
}

} // namespace iokit
