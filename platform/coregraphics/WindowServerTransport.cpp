#include "platform/coregraphics/WindowServerTransport.h"

#include "platform/ipc/Connection.h"

#include <cmath>
#include <mutex>

namespace cg {

namespace {

class SocketTransport : public WindowServerTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        return ipc::requestShared(op, args);
    }
};

std::mutex gMutex;
std::shared_ptr<WindowServerTransport> gTransport;

} // namespace

void CGSSetTransport(std::shared_ptr<WindowServerTransport> transport) {
    std::lock_guard lock(gMutex);
    gTransport = std::move(transport);
}

std::shared_ptr<WindowServerTransport> CGSCurrentTransport() {
    std::lock_guard lock(gMutex);
    if (!gTransport) gTransport = std::make_shared<SocketTransport>();
    return gTransport;
}

std::optional<cf::Value> CGSRequest(std::string_view op, cf::Dictionary args) {
    return CGSCurrentTransport()->request(op, cf::Value(std::move(args)));
}

std::optional<int64_t> CGSReplyInteger(const std::optional<cf::Value>& reply, std::string_view key,
                                       int64_t min, int64_t max) {
    const cf::Value* v = reply ? reply->find(key) : nullptr;
    auto n = v && !v->isFloatNumber() ? v->storedInteger() : std::nullopt;
    if (!n || *n < min || *n > max) return std::nullopt;
    return n;
}

std::optional<double> CGSReplyReal(const std::optional<cf::Value>& reply, std::string_view key) {
    const cf::Value* v = reply ? reply->find(key) : nullptr;
    if (!v || !v->isNumber() || !std::isfinite(v->doubleValue())) return std::nullopt;
    return v->doubleValue();
}

} // namespace cg
