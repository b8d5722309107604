// The client connection against a scripted server: matching replies to requests, events,
// a lost platformd, hostile replies; and waiting for a socket to appear.
#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/Readiness.h"
#include "platform/ipc/UnixSocket.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace {

// A one-client server: answers the hello, then hands each request to the script.
class ScriptedServer {
  public:
    using Script = std::function<void(int fd, ipc::Request&)>;

    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        char dir[] = "/tmp/ipct.XXXXXX";
        m_dir = ::mkdtemp(dir);
        m_path = m_dir + "/s";
        m_listen = ipc::listenUnix(m_path);
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        ::shutdown(m_listen.get(), SHUT_RDWR);
        if (m_client) ::shutdown(m_client.get(), SHUT_RDWR);
        m_thread.join();
        ::unlink(m_path.c_str());
        ::rmdir(m_dir.c_str());
    }
    const std::string& path() const { return m_path; }
    static void reply(int fd, int64_t id, const cf::Value& result) {
        std::string why;
        ASSERT_TRUE(ipc::writeFrame(fd, *ipc::encodeMessage(ipc::makeReply(id, result, 0), why)));
    }
    static void event(int fd, const std::string& topic, const cf::Value& body) {
        std::string why;
        ASSERT_TRUE(ipc::writeFrame(fd, *ipc::encodeMessage(ipc::makeEvent(topic, body, 0), why)));
    }
    void hangUp() { ::shutdown(m_client.get(), SHUT_RDWR); }

  private:
    void serve() {
        int fd = ::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        m_client.reset(fd);
        ipc::Frame frame;
        while (ipc::readFrame(fd, frame) == ipc::ReadResult::Ok) {
            std::string why;
            auto message = ipc::decodeFrame(frame, why);
            auto request = ipc::parseRequest(*message, frame, why);
            if (request->op == ipc::op::hello)
                reply(fd, request->id, cf::Dictionary{{"pid", 4242}});
            else
                m_script(fd, *request);
        }
    }
    Script m_script;
    std::string m_dir, m_path;
    ipc::UniqueFd m_listen, m_client;
    std::thread m_thread;
};

ipc::HelloInfo hello() {
    return ipc::HelloInfo::forThisProcess();
}

TEST(Connection, MatchesRepliesToRequestsFromManyThreadsInAnyOrder) {
    std::mutex mutex;
    std::vector<ipc::Request> held;
    ScriptedServer server([&](int fd, ipc::Request& r) {
        std::lock_guard lock(mutex);
        held.push_back(std::move(r));
        if (held.size() < 4) return;
        // Answer in reverse order of arrival, each with its own argument echoed.
        for (auto it = held.rbegin(); it != held.rend(); ++it)
            ScriptedServer::reply(fd, it->id, cf::Dictionary{{"echo", *it->args.find("n")}});
    });
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->platformdPid(), 4242);
    std::vector<std::thread> threads;
    std::vector<int64_t> echoed(4, -1);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            auto reply = c->request("echo", cf::Dictionary{{"n", i}});
            if (reply.ok) echoed[i] = reply.result->find("echo")->integerValue();
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(echoed, (std::vector<int64_t>{0, 1, 2, 3}));
}

TEST(Connection, HandsEventsToTheirTopicsHandlerOnTheReaderThread) {
    ScriptedServer server([](int fd, ipc::Request& r) {
        ScriptedServer::event(fd, "elsewhere", cf::Dictionary{});
        ScriptedServer::event(fd, "distnote", cf::Dictionary{{"name", "n"}});
        ScriptedServer::reply(fd, r.id, cf::Dictionary{});
    });
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> names;
    bool onReader = false;
    c->setEventHandler("distnote", [&](ipc::Event& e) {
        std::lock_guard lock(mutex);
        names.push_back(*e.body.find("name")->asString());
        onReader = c->isReaderThread();
        cv.notify_all();
    });
    ASSERT_TRUE(c->request("poke").ok);
    std::unique_lock lock(mutex);
    // The reply came after the event, on the same ordered stream: the handler has run.
    EXPECT_EQ(names, std::vector<std::string>{"n"});
    EXPECT_TRUE(onReader);
}

TEST(Connection, ALostPlatformdFailsPendingAndLaterRequests) {
    platform::LogCapture capture(true);
    ScriptedServer* serverPtr = nullptr;
    ScriptedServer server([&](int, ipc::Request&) { serverPtr->hangUp(); });
    serverPtr = &server;
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    bool lostCalled = false;
    c->addLostHandler([&] { lostCalled = true; });
    auto reply = c->request("never-answered");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error.domain, platform::PlatformErrorDomain);
    EXPECT_EQ(reply.error.code, platform::kPlatformErrorConnectionLost);
    EXPECT_TRUE(lostCalled);
    EXPECT_FALSE(c->isConnected());
    EXPECT_EQ(c->request("later").error.code, platform::kPlatformErrorConnectionLost);
}

TEST(Connection, AMalformedMessageFromPlatformdEndsTheConnectionNotTheProcess) {
    platform::LogCapture capture(true);
    ScriptedServer server([](int fd, ipc::Request&) {
        std::vector<uint8_t> junk{'j', 'u', 'n', 'k'};
        ipc::writeFrame(fd, junk);
    });
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->request("x").ok);
    EXPECT_TRUE(capture.contains("malformed message from platformd"));
}

// Signals once it is destroyed: a handler capturing it shows when the connection's last copy
// of that handler, and so the connection's state, is gone.
class DestructionSignal {
  public:
    explicit DestructionSignal(std::promise<void>& done) : m_done(done) {}
    ~DestructionSignal() { m_done.set_value(); }

  private:
    std::promise<void>& m_done;
};

TEST(ConnectionLifetime, ConcurrentClosesAllReturnAndFailThePendingRequest) {
    platform::LogCapture capture(true);
    std::promise<void> requestArrived;
    ScriptedServer server([&](int, ipc::Request&) { requestArrived.set_value(); }); // never answers
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    std::atomic<int> lostCalls{0};
    c->addLostHandler([&] { ++lostCalls; });
    ipc::Reply pending;
    std::thread requester([&] { pending = c->request("never-answered"); });
    requestArrived.get_future().wait();
    std::vector<std::thread> closers;
    for (int i = 0; i < 6; ++i)
        closers.emplace_back([&] { c->close(); });
    for (auto& t : closers)
        t.join();
    requester.join();
    EXPECT_FALSE(pending.ok);
    EXPECT_EQ(pending.error.code, platform::kPlatformErrorConnectionLost);
    EXPECT_EQ(lostCalls.load(), 1);
    EXPECT_FALSE(c->isConnected());
    c->close(); // once more after all that: a no-op
    EXPECT_EQ(c->request("later").error.code, platform::kPlatformErrorConnectionLost);
    EXPECT_FALSE(capture.contains("platformd connection lost"));
}

TEST(ConnectionLifetime, TheLastOwnerLettingGoInAnEventHandlerEndsTheConnectionCleanly) {
    ScriptedServer server([](int fd, ipc::Request& r) {
        ScriptedServer::reply(fd, r.id, cf::Dictionary{});
        ScriptedServer::event(fd, "bye", cf::Dictionary{});
    });
    auto owner = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(owner);
    std::promise<void> released, stateGone;
    std::shared_future<void> releasedFuture = released.get_future().share();
    std::thread::id handlerThread, lostThread;
    owner->addLostHandler([&] { lostThread = std::this_thread::get_id(); });
    auto signal = std::make_shared<DestructionSignal>(stateGone);
    owner->setEventHandler("bye", [&, signal](ipc::Event&) {
        handlerThread = std::this_thread::get_id();
        releasedFuture.wait(); // until the test thread is done with the connection
        owner.reset();         // the last reference, dropped on the reader thread
    });
    signal.reset();
    EXPECT_TRUE(owner->request("poke").ok);
    released.set_value();
    // The reader's state, holding the handler, goes only once the reader has finished with it.
    stateGone.get_future().wait();
    EXPECT_FALSE(owner);
    EXPECT_EQ(lostThread, handlerThread);
}

TEST(ConnectionLifetime, TheLastOwnerLettingGoWhenPlatformdHangsUpEndsCleanly) {
    platform::LogCapture capture(true);
    ScriptedServer* serverPtr = nullptr;
    ScriptedServer server([&](int fd, ipc::Request& r) {
        ScriptedServer::reply(fd, r.id, cf::Dictionary{});
        serverPtr->hangUp();
    });
    serverPtr = &server;
    auto owner = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(owner);
    std::promise<void> released, stateGone;
    std::shared_future<void> releasedFuture = released.get_future().share();
    auto signal = std::make_shared<DestructionSignal>(stateGone);
    owner->setEventHandler("unused", [signal](ipc::Event&) {});
    signal.reset();
    owner->addLostHandler([&] {
        releasedFuture.wait();
        owner.reset(); // the last reference, dropped while the reader handles the loss
    });
    EXPECT_TRUE(owner->request("then-hang-up").ok);
    released.set_value();
    stateGone.get_future().wait();
    EXPECT_FALSE(owner);
    EXPECT_TRUE(capture.contains("platformd connection lost"));
}

TEST(ConnectionLifetime, CloseFromAnEventHandlerThenDropElsewhere) {
    ScriptedServer server([](int fd, ipc::Request&) { ScriptedServer::event(fd, "stop", cf::Dictionary{}); });
    auto c = ipc::Connection::open(server.path(), hello());
    ASSERT_TRUE(c);
    std::promise<void> closed;
    c->setEventHandler("stop", [&](ipc::Event&) {
        c->close(); // on the reader thread: must not wait for itself
        closed.set_value();
    });
    EXPECT_FALSE(c->request("stop-me").ok);
    closed.get_future().wait();
    EXPECT_FALSE(c->isConnected());
    c.reset(); // joins the reader from this thread
}

TEST(Connection, UnreachablePlatformdIsErrorOne) {
    platform::Error error;
    EXPECT_FALSE(ipc::Connection::open("/tmp/no-such-dir-for-ipc/s", hello(), &error));
    EXPECT_EQ(error.domain, platform::PlatformErrorDomain);
    EXPECT_EQ(error.code, platform::kPlatformErrorUnreachable);
    // Without a root the shared connection is unreachable too, and says why.
    ::unsetenv("PLATFORM_ROOT");
    ipc::Connection::resetShared();
    EXPECT_FALSE(ipc::Connection::shared(&error));
    EXPECT_EQ(error.code, platform::kPlatformErrorUnreachable);
}

TEST(Connection, HelloDescribesTheProcess) {
    auto info = ipc::HelloInfo::forThisProcess();
    EXPECT_NE(info.executable.find("platform_ipc_tests"), std::string::npos);
    EXPECT_TRUE(info.bundlePath.empty());
    ::setenv("PLATFORM_USER", "alice", 1);
    EXPECT_EQ(ipc::HelloInfo::forThisProcess().user, "alice");
    ::unsetenv("PLATFORM_USER");
    cf::Value v = info.toValue();
    EXPECT_EQ(v.find("protocol")->integerValue(), ipc::kProtocolVersion);
    EXPECT_FALSE(v.find("bundleIdentifier"));
}

TEST(Readiness, ReadyWhenTheSocketAppearsWhileWaiting) {
    char dir[] = "/tmp/ipcr.XXXXXX";
    std::string root = ::mkdtemp(dir);
    std::string path = ipc::socketPathForRoot(root); // its run/ folder does not exist yet
    ipc::UniqueFd listening;
    std::thread maker([&] {
        ::mkdir((root + "/run").c_str(), 0700);
        listening = ipc::listenUnix(path);
    });
    auto result = ipc::waitForSocket(path, platform::now() + platform::seconds(20));
    maker.join();
    EXPECT_EQ(result, ipc::WaitResult::Ready);
    ::unlink(path.c_str());
    ::rmdir((root + "/run").c_str());
    ::rmdir(root.c_str());
}

TEST(Readiness, AbortsOrTimesOutWhenNothingComes) {
    ipc::UniqueFd abort(::eventfd(1, EFD_CLOEXEC)); // already readable
    EXPECT_EQ(
        ipc::waitForSocket("/tmp/no-such-root-ipc/run/platformd.sock", platform::kDistantFuture, abort.get()),
        ipc::WaitResult::Aborted);
    EXPECT_EQ(ipc::waitForSocket("/tmp/no-such-root-ipc/run/platformd.sock",
                                 platform::now() + platform::seconds(0.05)),
              ipc::WaitResult::TimedOut);
}

TEST(UnixSocket, PathsMustFitTheAddress) {
    EXPECT_EQ(ipc::socketPathForRoot("/tmp/r/"), "/tmp/r/run/platformd.sock");
    EXPECT_FALSE(ipc::connectUnix("/tmp/" + std::string(120, 'x')));
    EXPECT_EQ(errno, ENAMETOOLONG);
}

} // namespace
