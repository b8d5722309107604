// platformd's services in-process: a Platformd booted on a temporary root in the test process,
// reached through real sockets by as many connections as a test needs.
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/AuthorizationService.h"
#include "platform/daemon/ClientConnection.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/FrameIO.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UnixSocket.h"

#include <condition_variable>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using platformd::Platformd;
using platformd::PlatformdOptions;

// Collects pushed distributed notifications of one connection.
struct Inbox {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<cf::Value> bodies;

    void attach(ipc::Connection& c) {
        c.setEventHandler(ipc::topic::distributedNotification, [this](ipc::Event& e) {
            std::lock_guard lock(mutex);
            bodies.push_back(e.body);
            cv.notify_all();
        });
    }
    bool waitFor(size_t n) {
        std::unique_lock lock(mutex);
        return platform::waitUntil(cv, lock, platform::now() + platform::seconds(20),
                                   [&] { return bodies.size() >= n; });
    }
};

class InProcessPlatformd : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pdu.XXXXXX";
        m_root = ::mkdtemp(pattern);
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        boot();
    }
    void TearDown() override {
        m_daemon.reset();
        platformd::testing::removeTree(m_root);
    }
    void boot() {
        m_daemon = std::make_unique<Platformd>(PlatformdOptions{m_root, nullptr});
        platform::Error error;
        ASSERT_TRUE(m_daemon->boot(&error)) << error.description();
    }
    std::shared_ptr<ipc::Connection> connect(ipc::HelloInfo hello = ipc::HelloInfo::forThisProcess()) {
        platform::Error error;
        auto c = ipc::Connection::open(m_daemon->socketPath(), hello, &error);
        EXPECT_TRUE(c) << error.description();
        return c;
    }
    static cf::Value call(ipc::Connection& c, std::string_view op, const cf::Value& args = cf::Dictionary{}) {
        auto reply = c.request(op, args);
        EXPECT_TRUE(reply.ok) << op << ": " << reply.error.description();
        return reply.result.value_or(cf::Value::emptyDictionary());
    }
    static platform::Error refusal(ipc::Connection& c, std::string_view op, const cf::Value& args) {
        auto reply = c.request(op, args);
        EXPECT_FALSE(reply.ok) << op << " was accepted";
        return reply.error;
    }
    std::optional<cf::Value> waitEvent(ipc::Connection& c, const std::string& kind, cf::Dictionary match,
                                       double timeout = 20) {
        auto r = call(
            c, ipc::op::waitEvent,
            cf::Dictionary{{"kind", kind}, {"match", cf::Value(std::move(match))}, {"timeout", timeout}});
        return r.objectForKey("event");
    }
    // A bundle whose executable is a shell script.
    std::string makeBundle(const std::string& name, const std::string& script, const std::string& id) {
        std::string app = m_root + "/Applications/" + name + ".app";
        cf::createDirectories(app + "/Contents/MacOS", 0755);
        cf::writePropertyListFile(cf::Dictionary{{"CFBundleExecutable", name}, {"CFBundleIdentifier", id}},
                                  app + "/Contents/Info.plist", cf::PropertyListFormat::XML);
        std::string body = "#!/bin/sh\n" + script + "\n";
        cf::writeFileAtomically(app + "/Contents/MacOS/" + name, body.data(), body.size(), 0755);
        return app;
    }

    std::string m_root;
    std::unique_ptr<Platformd> m_daemon;
};

TEST_F(InProcessPlatformd, RefusesASecondPlatformdOnTheSameRootAndOverlongSocketPaths) {
    platform::LogCapture capture(true);
    Platformd second(PlatformdOptions{m_root, nullptr});
    platform::Error error;
    EXPECT_FALSE(second.boot(&error));
    EXPECT_NE(error.localizedDescription().find("already serves"), std::string::npos);

    Platformd deep(PlatformdOptions{m_root + "/" + std::string(100, 'd'), nullptr});
    EXPECT_FALSE(deep.boot(&error));
    EXPECT_NE(error.localizedDescription().find("must stay under 108 bytes"), std::string::npos);
    EXPECT_TRUE(capture.contains("cannot boot"));
    // The running one still answers.
    EXPECT_TRUE(connect()->request(ipc::op::status).ok);
}

TEST_F(InProcessPlatformd, EndsHostileConnectionsAndKeepsServing) {
    platform::LogCapture capture(true);
    auto expectDropped = [&](const std::function<void(int)>& send, const char* what) {
        ipc::UniqueFd fd = ipc::connectUnix(m_daemon->socketPath());
        ASSERT_TRUE(fd);
        send(fd.get());
        char byte;
        // platformd closes its end: the read sees the end of the stream, never a reply.
        while (true) {
            ssize_t n = ::recv(fd.get(), &byte, 1, 0);
            if (n <= 0) break;
        }
        SUCCEED() << what;
    };
    std::string why;
    auto bytes = [&](const cf::Value& v) { return *ipc::encodeMessage(v, why); };
    expectDropped([&](int fd) { ipc::writeFrame(fd, {'x', 'y', 'z'}); }, "not a property list");
    expectDropped([&](int fd) { ::send(fd, "\xff\xff\xff\x7f", 4, MSG_NOSIGNAL); }, "oversized");
    expectDropped(
        [&](int fd) { ipc::writeFrame(fd, bytes(ipc::makeRequest("status", 1, cf::Dictionary{}, 0))); },
        "first message not a hello");
    expectDropped(
        [&](int fd) {
            int pipeFds[2];
            ASSERT_EQ(::pipe(pipeFds), 0);
            // Claims two descriptors, sends one.
            ipc::writeFrame(
                fd, bytes(ipc::makeRequest("hello", 1, ipc::HelloInfo::forThisProcess().toValue(), 2)),
                {pipeFds[0]});
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        },
        "wrong descriptor count");
    expectDropped(
        [&](int fd) {
            auto hello = bytes(ipc::makeRequest("hello", 1, cf::Dictionary{{"protocol", 99}}, 0));
            ipc::writeFrame(fd, hello);
        },
        "protocol mismatch");
    // Gone inside a message: no reply is owed, nothing may hang.
    {
        ipc::UniqueFd fd = ipc::connectUnix(m_daemon->socketPath());
        ::send(fd.get(), "\x40\x00\x00\x00bplist00", 12, MSG_NOSIGNAL);
    }
    auto c = connect();
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->request(ipc::op::status).ok);
    EXPECT_TRUE(capture.contains("malformed message"));
    EXPECT_TRUE(capture.contains("the first message was not a hello"));
    EXPECT_TRUE(capture.contains("descriptor count 2 but 1 arrived"));
}

TEST_F(InProcessPlatformd, AnswersAPipelinedFloodInOrderWithoutLosingAny) {
    ipc::UniqueFd fd = ipc::connectUnix(m_daemon->socketPath());
    ASSERT_TRUE(fd);
    std::string why;
    const int count = 1000; // well past the queue a connection may hold
    std::thread sender([&] {
        ipc::writeFrame(
            fd.get(), *ipc::encodeMessage(
                          ipc::makeRequest("hello", 0, ipc::HelloInfo::forThisProcess().toValue(), 0), why));
        for (int i = 1; i <= count; ++i)
            ipc::writeFrame(
                fd.get(), *ipc::encodeMessage(
                              ipc::makeRequest("events.list", i, cf::Dictionary{{"kind", "none"}}, 0), why));
    });
    ipc::Frame frame;
    for (int i = 0; i <= count; ++i) {
        ASSERT_EQ(ipc::readFrame(fd.get(), frame), ipc::ReadResult::Ok);
        auto message = ipc::decodeFrame(frame, why);
        auto reply = ipc::parseReply(*message, frame, why);
        ASSERT_TRUE(reply && reply->ok);
        EXPECT_EQ(reply->id, i);
    }
    sender.join();
}

TEST_F(InProcessPlatformd, RefusesUnknownRequestsAndMistypedArgumentsWithoutDroppingTheCaller) {
    auto c = connect();
    auto error = refusal(*c, "no.such.op", cf::Dictionary{});
    EXPECT_EQ(error.code, platform::kPlatformErrorRefused);
    EXPECT_NE(error.localizedDescription().find("unknown request"), std::string::npos);
    refusal(*c, ipc::op::post, cf::Dictionary{{"name", 42}});
    refusal(*c, ipc::op::post, cf::Dictionary{{"name", "n"}, {"userInfo", "not a dictionary"}});
    refusal(*c, ipc::op::post, cf::Dictionary{{"name", std::string(5000, 'n')}});
    refusal(*c, ipc::op::addObserver, cf::Dictionary{{"observer", "one"}});
    refusal(*c, ipc::op::waitEvent, cf::Dictionary{{"match", cf::Array{}}});
    refusal(*c, ipc::op::waitEvent,
            cf::Dictionary{{"kind", "never"}, {"timeout", std::numeric_limits<double>::quiet_NaN()}});
    EXPECT_NE(refusal(*c, ipc::op::hello, ipc::HelloInfo::forThisProcess().toValue())
                  .localizedDescription()
                  .find("already"),
              std::string::npos);
    EXPECT_TRUE(c->isConnected());
    EXPECT_TRUE(c->request(ipc::op::status).ok);
}

TEST_F(InProcessPlatformd, DeliversPostsToEveryMatchingObserverThePosterIncluded) {
    auto a = connect(), b = connect();
    Inbox inboxA, inboxB;
    inboxA.attach(*a);
    inboxB.attach(*b);
    call(*a, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "n"}, {"object", "o"}});
    call(*a, ipc::op::addObserver, cf::Dictionary{{"observer", 2}, {"name", "n"}});
    call(*b, ipc::op::addObserver, cf::Dictionary{{"observer", 7}}); // every name

    cf::Dictionary info{{"disableDisplay", true}, {"count", 1}, {"flag", "YES"}};
    auto posted = call(*a, ipc::op::post,
                       cf::Dictionary{{"name", "n"}, {"object", "o"}, {"userInfo", info}, {"options", 3}});
    ASSERT_TRUE(inboxA.waitFor(1));
    ASSERT_TRUE(inboxB.waitFor(1));
    EXPECT_EQ(*inboxA.bodies[0].find("observers"), cf::Value(cf::Array{1, 2}));
    EXPECT_EQ(*inboxB.bodies[0].find("observers"), cf::Value(cf::Array{7}));
    const cf::Value& received = *inboxB.bodies[0].find("userInfo");
    EXPECT_TRUE(received.find("disableDisplay")->isBoolean());
    EXPECT_TRUE(received.find("count")->isNumber());
    EXPECT_EQ(*received.find("flag")->asString(), "YES");

    // The object filter, then removal.
    call(*b, ipc::op::post, cf::Dictionary{{"name", "n"}, {"object", "p"}});
    ASSERT_TRUE(inboxA.waitFor(2));
    EXPECT_EQ(*inboxA.bodies[1].find("observers"), cf::Value(cf::Array{2}));
    call(*a, ipc::op::removeObserver, cf::Dictionary{{"observer", 2}});
    auto last = call(*b, ipc::op::post, cf::Dictionary{{"name", "n"}});
    ASSERT_TRUE(inboxB.waitFor(3));
    EXPECT_EQ(inboxA.bodies.size(), 2u);

    // The event log has the post with its options and receivers.
    auto entry = waitEvent(*a, "distributed-post", {{"options", 3}});
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->find("sequence")->integerValue(), posted.find("sequence")->integerValue());
    EXPECT_EQ(entry->find("receivers")->count(), 2u); // processes, not observers: A has two
    EXPECT_TRUE(entry->find("userInfo")->find("disableDisplay")->isBoolean());
}

TEST_F(InProcessPlatformd, ALargePostIsDeliveredWholeButKeptOutOfTheLog) {
    auto poster = connect(), receiver = connect();
    Inbox inbox;
    inbox.attach(*receiver);
    call(*receiver, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "big"}});
    std::string payload(200 * 1024, 'p');
    call(*poster, ipc::op::post,
         cf::Dictionary{{"name", "big"}, {"userInfo", cf::Dictionary{{"blob", payload}}}});
    ASSERT_TRUE(inbox.waitFor(1));
    EXPECT_EQ(*inbox.bodies[0].find("userInfo")->find("blob")->asString(), payload);
    auto entry = waitEvent(*poster, "distributed-post", {{"name", "big"}});
    ASSERT_TRUE(entry);
    EXPECT_FALSE(entry->find("userInfo"));
    EXPECT_GT(entry->find("userInfoOmittedBytes")->integerValue(), 200 * 1024);
}

TEST_F(InProcessPlatformd, PostsFromManyPostersFallIntoOneOrderKeepingEachPostersOwn) {
    auto a = connect(), b = connect(), watcher1 = connect(), watcher2 = connect();
    Inbox in1, in2;
    in1.attach(*watcher1);
    in2.attach(*watcher2);
    call(*watcher1, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "seq"}});
    call(*watcher2, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "seq"}});
    const int n = 40;
    auto poster = [&](ipc::Connection& c, std::string tag) {
        for (int i = 0; i < n; ++i)
            c.request(
                ipc::op::post,
                cf::Dictionary{{"name", "seq"}, {"object", tag}, {"userInfo", cf::Dictionary{{"i", i}}}});
    };
    std::thread ta(poster, std::ref(*a), "A"), tb(poster, std::ref(*b), "B");
    ta.join();
    tb.join();
    ASSERT_TRUE(in1.waitFor(2 * n));
    ASSERT_TRUE(in2.waitFor(2 * n));
    std::map<std::string, int64_t> next;
    for (size_t i = 0; i < in1.bodies.size(); ++i) {
        EXPECT_EQ(in1.bodies[i], in2.bodies[i]) << "the two receivers disagree at " << i;
        std::string tag = *in1.bodies[i].find("object")->asString();
        EXPECT_EQ(in1.bodies[i].find("userInfo")->find("i")->integerValue(), next[tag]++);
    }
}

TEST_F(InProcessPlatformd, ADroppedConnectionReleasesItsObserversAndRunningEntry) {
    auto observer = connect(ipc::HelloInfo{"/x/Fake.app/Contents/MacOS/Fake", "Fake", "com.example.Fake",
                                           "/x/Fake.app", "someone"});
    call(*observer, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "n"}});
    auto other = connect();
    auto running = call(*other, ipc::op::runningApplications);
    auto apps = running.find("applications");
    ASSERT_EQ(apps->count(), 1u);
    EXPECT_EQ(*apps->at(0)->find("bundleIdentifier")->asString(), "com.example.Fake");
    EXPECT_EQ(*apps->at(0)->find("localizedName")->asString(), "Fake");

    observer->close();
    ASSERT_TRUE(waitEvent(*other, "client-gone", {{"executable", "/x/Fake.app/Contents/MacOS/Fake"}}));
    call(*other, ipc::op::post, cf::Dictionary{{"name", "n"}});
    auto entry = waitEvent(*other, "distributed-post", {{"name", "n"}});
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->find("receivers")->count(), 0u);
    EXPECT_EQ(call(*other, ipc::op::runningApplications).find("applications")->count(), 0u);
}

TEST_F(InProcessPlatformd, DropsASubscriberThatNeverReadsAtItsQueueLimitAndServesTheOthers) {
    platform::LogCapture capture(true);
    // Says hello and observes "flood", then never reads a byte.
    ipc::UniqueFd silent = ipc::connectUnix(m_daemon->socketPath());
    ASSERT_TRUE(silent);
    int small = 4096;
    ::setsockopt(silent.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string why;
    ipc::HelloInfo hello{"/x/Silent", "Silent", "", "", ""};
    ipc::writeFrame(silent.get(), *ipc::encodeMessage(ipc::makeRequest("hello", 1, hello.toValue(), 0), why));
    ipc::writeFrame(silent.get(), *ipc::encodeMessage(
                                      ipc::makeRequest(std::string(ipc::op::addObserver), 2,
                                                       cf::Dictionary{{"observer", 1}, {"name", "flood"}}, 0),
                                      why));
    auto poster = connect(), reader = connect();
    Inbox inbox;
    inbox.attach(*reader);
    call(*reader, ipc::op::addObserver, cf::Dictionary{{"observer", 1}, {"name", "flood"}});

    const std::string blob(256 * 1024, 'f');
    const size_t limitPosts = platformd::ClientConnection::kMaxOutboundBytes / blob.size();
    size_t posts = 0;
    bool dropped = false;
    while (!dropped && posts < 2 * limitPosts) {
        call(*poster, ipc::op::post,
             cf::Dictionary{{"name", "flood"}, {"userInfo", cf::Dictionary{{"b", blob}}}});
        ++posts;
        dropped =
            call(*poster, ipc::op::events, cf::Dictionary{{"kind", "client-gone"}}).find("events")->count() >
            0;
    }
    ASSERT_TRUE(dropped) << "still connected after " << posts << " posts";
    // Not before its queue held the whole allowance (each post is a little over the blob).
    EXPECT_GE(posts, limitPosts - 1);
    EXPECT_TRUE(capture.contains("it stopped reading its messages"));
    auto gone = waitEvent(*poster, "client-gone", {{"executable", "/x/Silent"}});
    EXPECT_TRUE(gone);

    // The reading observer had every post, and platformd serves old and new connections.
    ASSERT_TRUE(inbox.waitFor(posts));
    EXPECT_EQ(*inbox.bodies.back().find("userInfo")->find("b")->asString(), blob);
    EXPECT_TRUE(connect()->request(ipc::op::status).ok);
    EXPECT_TRUE(poster->request(ipc::op::status).ok);
    // Its end sees what fitted in the socket, then the end of the stream.
    char buffer[65536];
    size_t drained = 0;
    ssize_t n;
    while ((n = ::recv(silent.get(), buffer, sizeof buffer, 0)) > 0)
        drained += static_cast<size_t>(n);
    EXPECT_EQ(n, 0);
    EXPECT_LT(drained, platformd::ClientConnection::kMaxOutboundBytes);
}

TEST_F(InProcessPlatformd, KeepsAnApplicationsActivationPolicyAndLogsItsFinishedLaunching) {
    auto app = connect(ipc::HelloInfo{"/x/Fake.app/Contents/MacOS/Fake", "Fake", "com.example.Fake",
                                      "/x/Fake.app", "someone"});
    auto plain = connect();
    auto entry = [&] { return *call(*plain, ipc::op::runningApplications).find("applications")->at(0); };
    EXPECT_EQ(entry().find("activationPolicy")->integerValue(), 0);
    EXPECT_FALSE(entry().find("finishedLaunching")->asBool().value_or(true));
    call(*app, ipc::op::setActivationPolicy, cf::Dictionary{{"policy", 1}});
    EXPECT_EQ(entry().find("activationPolicy")->integerValue(), 1);
    refusal(*app, ipc::op::setActivationPolicy, cf::Dictionary{{"policy", 3}});
    refusal(*app, ipc::op::setActivationPolicy, cf::Dictionary{{"policy", "accessory"}});
    // A process without an application bundle has no entry to keep a policy in.
    refusal(*plain, ipc::op::setActivationPolicy, cf::Dictionary{{"policy", 1}});
    EXPECT_EQ(entry().find("activationPolicy")->integerValue(), 1);

    call(*app, ipc::op::finishedLaunching);
    EXPECT_TRUE(entry().find("finishedLaunching")->asBool().value_or(false));
    auto event = waitEvent(*plain, "finished-launching", {{"bundleIdentifier", "com.example.Fake"}});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->find("pid")->integerValue(), static_cast<int64_t>(::getpid()));
}

TEST_F(InProcessPlatformd, WaitsForEventsAsDeferredRepliesAndPagesTheLog) {
    auto c = connect(), recorder = connect();
    auto timedOut = call(*c, ipc::op::waitEvent, cf::Dictionary{{"kind", "never"}, {"timeout", 0.05}});
    EXPECT_TRUE(timedOut.find("timedOut")->asBool().value_or(false));

    std::optional<cf::Value> got;
    std::thread waiter([&] { got = waitEvent(*c, "custom", {{"n", 2}}); });
    // Whether the wait is registered before or after these, it finds the second.
    call(*recorder, ipc::op::recordEvent,
         cf::Dictionary{{"kind", "custom"}, {"fields", cf::Dictionary{{"n", 1}}}});
    call(*recorder, ipc::op::recordEvent,
         cf::Dictionary{{"kind", "custom"}, {"fields", cf::Dictionary{{"n", 2}}}});
    waiter.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->find("n")->integerValue(), 2);

    auto list = call(*c, ipc::op::events, cf::Dictionary{{"kind", "custom"}});
    ASSERT_EQ(list.find("events")->count(), 2u);
    auto after = list.find("events")->at(0)->find("sequence")->integerValue();
    EXPECT_EQ(call(*c, ipc::op::events, cf::Dictionary{{"kind", "custom"}, {"after", after}})
                  .find("events")
                  ->count(),
              1u);
}

TEST_F(InProcessPlatformd, KeepsLoginItemsPerUserAcrossRestartsAndRefusesBadUserNames) {
    auto c = connect();
    auto id1 =
        call(*c, ipc::op::insertLoginItem, cf::Dictionary{{"url", "file:///A.app/"}, {"user", "alice"}});
    call(*c, ipc::op::insertLoginItem,
         cf::Dictionary{{"url", "file:///A.app/"}, {"user", "alice"}}); // no de-dup
    call(*c, ipc::op::insertLoginItem, cf::Dictionary{{"url", "file:///B.app/"}, {"user", "bob"}});
    EXPECT_EQ(call(*c, ipc::op::removeLoginItem, cf::Dictionary{{"id", *id1.find("id")}, {"user", "alice"}})
                  .find("removed")
                  ->integerValue(),
              1);
    for (const std::string& bad :
         std::vector<std::string>{"../etc", "", ".hidden", "a/b", std::string(65, 'u')})
        refusal(*c, ipc::op::loginItems, cf::Dictionary{{"user", bad}});
    c.reset();

    m_daemon.reset();
    boot();
    c = connect();
    auto aliceList = call(*c, ipc::op::loginItems, cf::Dictionary{{"user", "alice"}});
    auto alice = aliceList.find("items");
    ASSERT_EQ(alice->count(), 1u);
    EXPECT_EQ(*alice->at(0)->find("URL")->asString(), "file:///A.app/");
    EXPECT_NE(alice->at(0)->find("id")->integerValue(), id1.find("id")->integerValue());
    EXPECT_EQ(call(*c, ipc::op::loginItems, cf::Dictionary{{"user", "bob"}}).find("items")->count(), 1u);
}

TEST_F(InProcessPlatformd, AnUnreadableLoginItemsFileStartsEmptyAndIsKeptAside) {
    platform::LogCapture capture(true);
    std::string file = m_root + "/var/db/loginitems/carol.plist";
    std::ofstream(file) << "<plist><dict><key>items</key><string>oops</string></dict></plist>";
    auto c = connect();
    EXPECT_EQ(call(*c, ipc::op::loginItems, cf::Dictionary{{"user", "carol"}}).find("items")->count(), 0u);
    EXPECT_TRUE(capture.contains("unreadable login items"));
    struct stat st {};
    EXPECT_EQ(::stat((file + ".bad").c_str(), &st), 0);
}

TEST_F(InProcessPlatformd, LaunchesBundlesReapsThemAndActivatesARunningCopy) {
    auto c = connect();
    std::string app = makeBundle("Quick", "echo hello from quick; exit 5", "com.example.Quick");
    auto launched = call(*c, ipc::op::launch, cf::Dictionary{{"path", app + "/"}});
    auto pid = launched.find("pid")->integerValue();
    EXPECT_FALSE(launched.find("activated")->asBool().value_or(true));
    auto exit = waitEvent(*c, "exit", {{"pid", pid}});
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->find("status")->integerValue(), 5);
    std::ifstream log(m_root + "/var/log/Quick.log");
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line, "hello from quick");

    std::string slow = makeBundle("Slow", "exec tail -f /dev/null", "com.example.Slow");
    auto first = call(*c, ipc::op::launch, cf::Dictionary{{"path", slow}});
    auto again = call(*c, ipc::op::launch, cf::Dictionary{{"path", slow}});
    EXPECT_EQ(again.find("pid")->integerValue(), first.find("pid")->integerValue());
    EXPECT_TRUE(again.find("activated")->asBool().value_or(false));
    auto table = call(*c, ipc::op::processes);
    auto processes = table.find("processes");
    bool listed = false;
    for (size_t i = 0; i < processes->count(); ++i)
        listed |= processes->at(i)->find("pid")->integerValue() == first.find("pid")->integerValue() &&
                  *processes->at(i)->find("command")->asString() == "Slow";
    EXPECT_TRUE(listed);
    // Shutdown terminates what platformd launched.
    c.reset();
    auto started = platform::now();
    m_daemon->shutdown();
    EXPECT_LT(platform::toSeconds(platform::now() - started), Platformd::kTerminateGraceSeconds);
    struct stat st {};
    EXPECT_NE(::stat(("/proc/" + std::to_string(first.find("pid")->integerValue())).c_str(), &st), 0);
}

TEST_F(InProcessPlatformd, RefusesPathsThatAreNoRunnableBundle) {
    platform::LogCapture capture(true);
    auto c = connect();
    // Each refusal names the path and what is wrong with it.
    auto why = [&](const std::string& path) {
        return refusal(*c, ipc::op::launch, cf::Dictionary{{"path", path}}).localizedDescription();
    };
    EXPECT_EQ(why("relative/X.app"), "relative/X.app: an application path must be absolute");
    EXPECT_EQ(why(m_root + "/Applications/Missing.app"),
              m_root + "/Applications/Missing.app: no such application bundle (No such file or directory)");
    EXPECT_EQ(why(m_root + "/Applications"),
              m_root + "/Applications: not an application bundle (its name does not end in .app)");
    std::string app = makeBundle("Evil", "exit 0", "com.example.Evil");
    std::string noExe = makeBundle("NoExe", "exit 0", "com.example.NoExe");
    ::unlink((noExe + "/Contents/MacOS/NoExe").c_str());
    EXPECT_EQ(why(noExe), noExe + ": malformed bundle: Contents/MacOS/NoExe is missing or not executable");
    cf::writePropertyListFile(cf::Dictionary{{"CFBundleExecutable", "../../../../bin/sh"}},
                              app + "/Contents/Info.plist", cf::PropertyListFormat::XML);
    EXPECT_EQ(why(app), app + ": malformed bundle: Contents/Info.plist names no usable CFBundleExecutable");
    std::ofstream(app + "/Contents/Info.plist") << "garbage";
    EXPECT_NE(why(app).find(app + ": malformed bundle: Contents/Info.plist cannot be read"), std::string::npos);
    // A FIFO posing as Info.plist would block whoever opens it: refused without opening.
    ::unlink((app + "/Contents/Info.plist").c_str());
    ASSERT_EQ(::mkfifo((app + "/Contents/Info.plist").c_str(), 0644), 0);
    refusal(*c, ipc::op::launch, cf::Dictionary{{"path", app}});
    EXPECT_EQ(call(*c, ipc::op::runningApplications).find("applications")->count(), 0u);
}

TEST_F(InProcessPlatformd, AnswersAuthorizationAndRunsToolsDetached) {
    auto c = connect();
    EXPECT_EQ(call(*c, ipc::op::authorize).find("status")->integerValue(), 0);
    call(*c, ipc::op::setAuthorization, cf::Dictionary{{"answer", "deny"}});
    EXPECT_EQ(call(*c, ipc::op::authorize).find("status")->integerValue(),
              platformd::AuthorizationService::errAuthorizationDenied);
    call(*c, ipc::op::setAuthorization, cf::Dictionary{{"answer", "cancel"}});
    EXPECT_EQ(call(*c, ipc::op::authorize).find("status")->integerValue(),
              platformd::AuthorizationService::errAuthorizationCanceled);
    refusal(*c, ipc::op::setAuthorization, cf::Dictionary{{"answer", "maybe"}});

    auto missing = call(*c, ipc::op::executeWithPrivileges,
                        cf::Dictionary{{"path", m_root + "/nothing"}, {"arguments", cf::Array{}}});
    EXPECT_EQ(missing.find("status")->integerValue(),
              platformd::AuthorizationService::errAuthorizationToolExecuteFailure);
    std::string tool = m_root + "/tool";
    std::string body = "#!/bin/sh\necho \"$@\"\nexit 7\n";
    cf::writeFileAtomically(tool, body.data(), body.size(), 0755);
    auto ran = call(*c, ipc::op::executeWithPrivileges,
                    cf::Dictionary{{"path", tool}, {"arguments", cf::Array{"-u", "alice"}}});
    EXPECT_EQ(ran.find("status")->integerValue(), 0);
    auto run = waitEvent(*c, "tool-run", {{"path", tool}});
    ASSERT_TRUE(run);
    EXPECT_EQ(*run->find("arguments"), cf::Value(cf::Array{"-u", "alice"}));
    auto exit = waitEvent(*c, "tool-exit", {{"path", tool}});
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->find("status")->integerValue(), 7);
    ASSERT_TRUE(waitEvent(*c, "authorization", {{"answer", "deny"}, {"status", -60005}}));
}

TEST_F(InProcessPlatformd, ListsLoadedKextsFromItsProvider) {
    auto c = connect();
    EXPECT_EQ(call(*c, ipc::op::loadedKexts).find("kexts")->count(), 0u);
    struct TwoKexts : platformd::KextListProvider {
        cf::Dictionary loadedKexts() const override {
            return {{"com.quenby.QNExVideo", cf::Dictionary{{"CFBundleVersion", "1.3.0"}}},
                    {"com.quenby.QNExFramebuffer", cf::Dictionary{{"CFBundleVersion", "1.3.0"}}}};
        }
    };
    m_daemon->setKextListProvider(std::make_shared<TwoKexts>());
    auto asked =
        call(*c, ipc::op::loadedKexts, cf::Dictionary{{"ids", cf::Array{"com.quenby.QNExVideo", "absent"}}});
    ASSERT_EQ(asked.find("kexts")->count(), 1u);
    EXPECT_TRUE(asked.find("kexts")->find("com.quenby.QNExVideo"));
}

TEST_F(InProcessPlatformd, StatusNamesTheRootProfileAndConnectedProcesses) {
    auto c = connect();
    auto status = call(*c, ipc::op::status);
    EXPECT_EQ(*status.find("root")->asString(), m_root);
    EXPECT_EQ(*status.find("profile")->find("ProductVersion")->asString(), "10.12.6");
    ASSERT_GE(status.find("processes")->count(), 1u);
    EXPECT_EQ(status.find("processes")->at(0)->find("pid")->integerValue(), ::getpid());
    // The boot wrote the root's derived files.
    struct stat st {};
    EXPECT_EQ(::stat((m_root + "/System/Library/CoreServices/SystemVersion.plist").c_str(), &st), 0);
    EXPECT_EQ(::stat((m_root + "/usr/bin/sudo").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(::stat((m_root + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

} // namespace
