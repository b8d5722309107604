// A small platformd client the integration tests start as real processes, and the executable
// of the TestClient.app bundle they launch.
//   chatter <tag> <count> <expected>: posts <count> "test.note" after "test.go", prints every
//       "test.note" it receives ("<poster> <index> <flag kind> <number kind>") once <expected>
//       arrived, exits 0 (4 after 30 s).
//   hold: observes "test.held" and waits to be killed.
//   (no argument, as launched): waits for "test.quit", then exits 3.
#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Clock.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ns::NSDistributedNotificationCenter;

void recordReady(const std::string& tag) {
    auto c = ipc::Connection::shared();
    if (!c) std::exit(5);
    c->request(ipc::op::recordEvent,
               cf::Dictionary{{"kind", "helper-ready"}, {"fields", cf::Dictionary{{"tag", tag}}}});
}

std::string kindOf(const std::optional<cf::Value>& v) {
    if (!v) return "absent";
    if (v->isBoolean()) return "bool";
    if (v->isNumber()) return "number";
    if (v->isString()) return "string";
    return "other";
}

// Runs the main run loop in the default mode until done or 30 s.
bool runUntil(const bool& done) {
    auto deadline = platform::now() + platform::seconds(30);
    auto loop = ns::NSRunLoop::mainRunLoop();
    while (!done && platform::now() < deadline)
        loop->runModeBeforeDate(ns::NSDefaultRunLoopMode, deadline);
    return done;
}

int chatter(const std::string& tag, int count, size_t expected) {
    auto& center = NSDistributedNotificationCenter::defaultCenter();
    std::vector<std::string> received;
    bool done = false;
    center.addObserverForName("test.note", std::nullopt, [&](const ns::NSNotification& n) {
        const cf::Value& info = *n.userInfo;
        received.push_back(info.objectForKey("poster").value_or("?").description() + " " +
                           std::to_string(info.objectForKey("index").value_or(-1).integerValue()) + " " +
                           kindOf(info.objectForKey("flag")) + " " + kindOf(info.objectForKey("number")));
        done = received.size() >= expected;
    });
    center.addObserverForName("test.go", std::nullopt, [&](const ns::NSNotification&) {
        for (int i = 0; i < count; ++i) {
            cf::Dictionary info{{"poster", tag}, {"index", i}, {"flag", i % 2 == 0}, {"number", i}};
            center.postNotificationName("test.note", tag, cf::Value(info), i % 2 == 1);
        }
    });
    recordReady(tag);
    bool ok = runUntil(done);
    for (const auto& line : received)
        std::printf("%s\n", line.c_str());
    return ok ? 0 : 4;
}

int hold() {
    NSDistributedNotificationCenter::defaultCenter().addObserverForName("test.held", std::nullopt,
                                                                        [](const ns::NSNotification&) {});
    recordReady("hold");
    bool never = false;
    for (;;)
        runUntil(never);
}

// Registers "Fake Editor" (a titled window; File: Open… ⌘O, Quit; Edit: Copy ✓) and holds it,
// answering accessibility on the main run loop, until killed. Its ready event names its pid,
// window and File item.
int fake() {
    auto app = ax::AXFakeApplication::create("Fake Editor", "com.example.FakeEditor");
    if (!app) return 4;
    const uint32_t window = app->addWindow("Notes", cg::CGRectMake(40, 40, 200, 120));
    ax::AXFakeMenuItem open{"Open…", true, "O", "", {0, 30}, {120, 20}, {}};
    ax::AXFakeMenuItem quit{"Quit", true, "", "", {0, 50}, {120, 20}, {}};
    ax::AXFakeMenuItem copy{"Copy", true, "C", "✓", {80, 30}, {120, 20}, {}};
    app->setMenuBar({ax::AXFakeMenuItem{"File", true, "", "", {40, 0}, {36, 22}, {open, quit}},
                     ax::AXFakeMenuItem{"Edit", true, "", "", {80, 0}, {36, 22}, {copy}}});
    auto c = ipc::Connection::shared();
    if (!c) return 5;
    c->request(ipc::op::recordEvent,
               cf::Dictionary{{"kind", "helper-ready"},
                              {"fields", cf::Dictionary{{"tag", "fake"},
                                                        {"pid", int64_t(app->pid())},
                                                        {"window", int64_t(window)},
                                                        {"file", int64_t(app->menuElement({0}))}}}});
    bool never = false;
    for (;;)
        runUntil(never);
}

int launched() {
    bool quit = false;
    NSDistributedNotificationCenter::defaultCenter().addObserverForName(
        "test.quit", std::nullopt, [&](const ns::NSNotification&) { quit = true; });
    std::printf("launched with PLATFORM_ROOT=%s\n",
                std::getenv("PLATFORM_ROOT") ? std::getenv("PLATFORM_ROOT") : "");
    std::fflush(stdout);
    recordReady("launched");
    while (!runUntil(quit)) {
    }
    std::printf("quitting\n");
    return 3;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "chatter")
        return chatter(args[1], std::atoi(args[2].c_str()), static_cast<size_t>(std::atoi(args[3].c_str())));
    if (args.size() == 1 && args[0] == "hold") return hold();
    if (args.size() == 1 && args[0] == "fake") return fake();
    if (args.empty()) return launched();
    std::fprintf(stderr, "usage: TestClient [chatter <tag> <count> <expected> | hold | fake]\n");
    return 2;
}
