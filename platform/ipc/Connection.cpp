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
#include <sys/socket.h>
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

Connection::Connection(UniqueFd fd) : m_fd(std::move(fd)) {}

Connection::~Connection() {
    close();
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
    state.connection = open(socketPathForRoot(root), HelloInfo::forThisProcess(), error);
    state.everConnected = state.connection != nullptr;
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
    m_reader = std::thread([this] {
        m_readerId = std::this_thread::get_id();
        readLoop();
    });
}

void Connection::close() {
    if (m_closing.exchange(true)) {
        if (m_reader.joinable() && !isReaderThread()) m_reader.join();
        return;
    }
    if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
    if (m_reader.joinable()) {
        if (isReaderThread())
            m_reader.detach();
        else
            m_reader.join();
    }
    markLost("closed");
}

bool Connection::sendMessage(const cf::Value& message, const std::vector<int>& fds) {
    std::string why;
    auto bytes = encodeMessage(message, why);
    if (!bytes) {
        platform::log("platformd connection: cannot send a message: %s", why);
        return false;
    }
    std::lock_guard lock(m_writeMutex);
    if (m_lost) return false;
    return writeFrame(m_fd.get(), *bytes, fds);
}

Reply Connection::request(std::string_view op, const cf::Value& args, const std::vector<int>& fds) {
    if (isReaderThread()) {
        platform::log(
            "platformd connection: a synchronous request (%s) on the reader thread would wait for itself",
            std::string(op));
        std::abort();
    }
    Reply failed;
    failed.ok = false;
    failed.error = connectionLostError();
    int64_t id = m_nextId++;
    {
        std::lock_guard lock(m_mutex);
        if (m_lost) return failed;
        m_pending.emplace(id, std::nullopt);
    }
    if (!sendMessage(makeRequest(std::string(op), id, args, fds.size()), fds)) {
        std::lock_guard lock(m_mutex);
        m_pending.erase(id);
        if (!m_losing)
            failed.error = platform::Error::withDescription(platform::PlatformErrorDomain,
                                                            platform::kPlatformErrorRefused,
                                                            "The request could not be sent.");
        return failed;
    }
    std::unique_lock lock(m_mutex);
    // Only the reply or the end of the connection ends this wait.
    platform::waitUntil(m_cv, lock, platform::kDistantFuture,
                        [&] { return m_lost.load() || m_pending[id].has_value(); });
    auto it = m_pending.find(id);
    if (it->second) {
        Reply reply = std::move(*it->second);
        m_pending.erase(it);
        return reply;
    }
    m_pending.erase(it);
    return failed;
}

void Connection::setEventHandler(std::string_view topic, EventHandler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers.insert_or_assign(std::string(topic), std::move(handler));
}

void Connection::removeEventHandler(std::string_view topic) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_handlers.find(topic); it != m_handlers.end()) m_handlers.erase(it);
}

void Connection::addLostHandler(LostHandler handler) {
    bool lostAlready;
    {
        std::lock_guard lock(m_mutex);
        lostAlready = m_losing;
        if (!lostAlready) m_lostHandlers.push_back(handler);
    }
    if (lostAlready && handler) handler();
}

void Connection::readLoop() {
    Frame frame;
    for (;;) {
        ReadResult r = readFrame(m_fd.get(), frame);
        if (r != ReadResult::Ok) {
            if (!m_closing) markLost(describe(r));
            break;
        }
        handleFrame(frame);
        if (m_lost) break;
    }
    markLost("reader ended");
}

void Connection::handleFrame(Frame& frame) {
    std::string why;
    auto message = decodeFrame(frame, why);
    if (!message) {
        platform::log("platformd connection: malformed message from platformd (%s); closing", why);
        markLost(why);
        return;
    }
    switch (kindOf(*message)) {
    case MessageKind::Reply: {
        auto reply = parseReply(*message, frame, why);
        if (!reply) break;
        std::lock_guard lock(m_mutex);
        auto it = m_pending.find(reply->id);
        if (it == m_pending.end()) {
            platform::log("platformd connection: a reply to no request (%lld)",
                          static_cast<long long>(reply->id));
            return;
        }
        it->second = std::move(*reply);
        m_cv.notify_all();
        return;
    }
    case MessageKind::Event: {
        auto event = parseEvent(*message, frame, why);
        if (!event) break;
        EventHandler handler;
        {
            std::lock_guard lock(m_mutex);
            if (auto it = m_handlers.find(event->topic); it != m_handlers.end()) handler = it->second;
        }
        if (handler) handler(*event);
        return;
    }
    default:
        why = "neither a reply nor an event";
        break;
    }
    platform::log("platformd connection: malformed message from platformd (%s); closing", why);
    markLost(why);
}

void Connection::markLost(const std::string& why) {
    std::vector<LostHandler> handlers;
    {
        std::lock_guard lock(m_mutex);
        if (m_losing) return;
        m_losing = true;
        handlers.swap(m_lostHandlers);
    }
    {
        // No send may start on a descriptor that is being shut down.
        std::lock_guard lock(m_writeMutex);
        if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
    }
    if (!m_closing) platform::log("platformd connection lost (%s)", why);
    // Before any waiting request learns of the loss, so its caller finds the handlers run.
    for (auto& h : handlers)
        if (h) h();
    {
        std::lock_guard lock(m_mutex);
        m_lost = true;
    }
    m_cv.notify_all();
}

} // namespace ipc
