#include "platform/ipc/Connection.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UnixSocket.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

namespace ipc {

namespace {

std::string executablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string currentUser() {
    if (const char* u = std::getenv("PLATFORM_USER"); u && *u) return u;
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
    return std::to_string(::geteuid());
}

// "/x/Name.app/Contents/MacOS/exe" gives "/x/Name.app"; anything else gives "".
std::string enclosingBundle(const std::string& exe) {
    const std::string marker = ".app/Contents/MacOS/";
    auto at = exe.rfind(marker);
    if (at == std::string::npos || exe.find('/', at + marker.size()) != std::string::npos) return {};
    return exe.substr(0, at + 4);
}

} // namespace

platform::Error connectionLostError() {
    return platform::Error::withDescription(platform::PlatformErrorDomain,
                                            platform::kPlatformErrorConnectionLost,
                                            "The connection to platformd was lost.");
}

platform::Error unreachableError(const std::string& why) {
    return platform::Error::withDescription(platform::PlatformErrorDomain,
                                            platform::kPlatformErrorUnreachable,
                                            "platformd is unreachable: " + why);
}

HelloInfo HelloInfo::forThisProcess() {
    HelloInfo info;
    info.executable = executablePath();
    info.processName = platform::processName();
    info.user = currentUser();
    info.bundlePath = enclosingBundle(info.executable);
    if (!info.bundlePath.empty()) {
        auto plist = cf::readPropertyListFile(info.bundlePath + "/Contents/Info.plist");
        if (plist) {
            if (const cf::Value* id = plist->find("CFBundleIdentifier"); id && id->asString())
                info.bundleIdentifier = *id->asString();
        }
    }
    return info;
}

cf::Value HelloInfo::toValue() const {
    cf::Dictionary d{{"protocol", kProtocolVersion},
                     {"executable", executable},
                     {"processName", processName},
                     {"user", user}};
    if (!bundleIdentifier.empty()) d.insert_or_assign("bundleIdentifier", bundleIdentifier);
    if (!bundlePath.empty()) d.insert_or_assign("bundlePath", bundlePath);
    return d;
}

Connection::Connection(UniqueFd fd) : m_state(std::make_shared<ConnectionState>(std::move(fd))) {}

Connection::~Connection() {
    close();
    // Only when the last owner let go on the reader thread: the thread ends on its own, on
    // the state it holds.
    if (m_reader.joinable()) m_reader.detach();
}

std::shared_ptr<Connection> Connection::open(const std::string& socketPath, const HelloInfo& hello,
                                             platform::Error* error) {
    UniqueFd fd = connectUnix(socketPath);
    if (!fd) {
        platform::setError(error, unreachableError(socketPath + ": " + std::strerror(errno)));
        return nullptr;
    }
    std::shared_ptr<Connection> connection(new Connection(std::move(fd)));
    connection->start();
    Reply reply = connection->request(op::hello, hello.toValue());
    if (!reply.ok) {
        platform::setError(error, unreachableError("hello refused: " + reply.error.localizedDescription()));
        connection->close();
        return nullptr;
    }
    if (reply.result) {
        if (const cf::Value* pid = reply.result->find("pid"))
            connection->m_platformdPid = pid->integerValue();
    }
    return connection;
}

namespace {
struct SharedState {
    std::mutex mutex;
    std::shared_ptr<Connection> connection;
    bool everConnected = false;
};
// Never destroyed: its reader thread may still run while the process exits.
SharedState& sharedState() {
    static SharedState* state = new SharedState;
    return *state;
}
} // namespace

std::shared_ptr<Connection> Connection::shared(platform::Error* error) {
    SharedState& state = sharedState();
    std::lock_guard lock(state.mutex);
    if (state.connection) {
        if (state.connection->isConnected()) return state.connection;
        platform::setError(error, connectionLostError());
        return nullptr;
    }
    if (state.everConnected) {
        platform::setError(error, connectionLostError());
        return nullptr;
    }
    std::string root = rootFromEnvironment();
    if (root.empty()) {
        platform::setError(error, unreachableError("PLATFORM_ROOT is not set"));
        return nullptr;
    }
    const HelloInfo hello = HelloInfo::forThisProcess();
    state.connection = open(socketPathForRoot(root), hello, error);
    state.everConnected = state.connection != nullptr;
    if (state.connection && !hello.bundlePath.empty() && state.connection->platformdPid() != ::getpid())
        state.connection->m_state->endProcessWhenLost();
    return state.connection;
}

void Connection::resetShared() {
    SharedState& state = sharedState();
    std::shared_ptr<Connection> old;
    {
        std::lock_guard lock(state.mutex);
        old = std::move(state.connection);
        state.everConnected = false;
    }
    if (old) old->close();
}

void Connection::start() {
    // The thread owns its own reference: should the last owner let go from a handler, the
    // loop still has its state until it returns.
    m_reader = std::thread([state = m_state] { state->readLoop(); });
}

void Connection::close() {
    m_state->beginClose();
    if (!isReaderThread()) {
        std::lock_guard lock(m_joinMutex);
        if (m_reader.joinable()) m_reader.join();
    }
    m_state->markLost("closed");
}

Reply Connection::request(std::string_view op, const cf::Value& args, const std::vector<int>& fds) {
    if (isReaderThread()) {
        platform::log(
            "platformd connection: a synchronous request (%s) on the reader thread would wait for itself",
            std::string(op));
        std::abort();
    }
    return m_state->request(op, args, fds);
}

void Connection::setEventHandler(std::string_view topic, EventHandler handler) {
    m_state->setEventHandler(topic, std::move(handler));
}

void Connection::removeEventHandler(std::string_view topic) {
    m_state->removeEventHandler(topic);
}

void Connection::addLostHandler(LostHandler handler) {
    m_state->addLostHandler(std::move(handler));
}

std::optional<cf::Value> requestShared(std::string_view op, const cf::Value& args) {
    auto connection = Connection::shared();
    if (!connection) return std::nullopt;
    Reply reply = connection->request(op, args);
    if (!reply.ok) return std::nullopt;
    return reply.result ? *reply.result : cf::Value::emptyDictionary();
}

} // namespace ipc
