// Activation held by the window server (one active application; delegate, then notification;
// windows hidden on deactivation), mouse-down activation and its exceptions, key routing to
// the active application's key window or the text sink, and global monitors' copies.
#include "platform/coregraphics/CGEvent.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "WindowTestSupport.h"

#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace appkit {

namespace {

class JournalDelegate : public NSApplicationDelegate {
  public:
    explicit JournalDelegate(std::vector<std::string>& journal) : m_journal(journal) {}
    void applicationDidBecomeActive(const ns::NSNotification&) override {
        m_journal.push_back("delegate become");
    }
    void applicationDidResignActive(const ns::NSNotification&) override {
        m_journal.push_back("delegate resign");
    }

  private:
    std::vector<std::string>& m_journal;
};

class KeyView : public NSView {
  public:
    using NSView::NSView;
    bool acceptsFirstResponder() const override { return true; }
    void mouseDown(const NSEvent&) override {
        journal.push_back(std::string("down active=") + (NSApp()->isActive() ? "1" : "0"));
    }
    void keyDown(const NSEvent& e) override {
        journal.push_back("key " + e.characters());
        unmodified.push_back(e.charactersIgnoringModifiers());
    }
    std::vector<std::string> journal;
    std::vector<std::string> unmodified;
};

// Another application's connection to the same window server, hearing its own pushes.
class OtherApplication {
  public:
    explicit OtherApplication(windowserver::WindowServer& server)
        : m_connection(server, windowserver::ClientIdentity{4242, "Other", "com.example.other"}) {
        m_connection.setPushHandler([this](const cf::Value& body) {
            const cf::Value* kind = body.find("kind");
            std::lock_guard lock(m_mutex);
            if (kind && kind->asString()) m_pushes.push_back(*kind->asString());
        });
    }
    void activate() {
        ASSERT_TRUE(m_connection.request(windowserver::op::activate, cf::Value::emptyDictionary()));
    }
    // An on-screen window at a Core Graphics rectangle; its number.
    int64_t window(cg::CGRect frame) {
        std::vector<ipc::UniqueFd> fds;
        auto answer = m_connection.requestWithDescriptors(windowserver::op::newWindow,
                                                          cf::Dictionary{{"title", "other"},
                                                                         {"level", 0},
                                                                         {"x", frame.origin.x},
                                                                         {"y", frame.origin.y},
                                                                         {"width", frame.size.width},
                                                                         {"height", frame.size.height},
                                                                         {"alpha", 1.0},
                                                                         {"onScreen", true},
                                                                         {"ignoresMouse", false}},
                                                          &fds);
        const cf::Value* number = answer ? answer->find("window") : nullptr;
        EXPECT_TRUE(number);
        return number ? number->storedInteger().value_or(0) : 0;
    }
    std::vector<std::string> pushes() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_pushes, {});
    }

  private:
    iokit::InProcessWindowServer m_connection;
    std::mutex m_mutex;
    std::vector<std::string> m_pushes;
};

void postMouse(cg::CGEventType type, double x, double y, double pressure = 0) {
    auto event = cg::CGEventCreateMouseEvent(nullptr, type, cg::CGPointMake(x, y), cg::kCGMouseButtonLeft);
    if (pressure) cg::CGEventSetDoubleValueField(event, cg::kCGMouseEventPressure, pressure);
    cg::CGEventPost(cg::kCGHIDEventTap, event);
}

void postKey(cg::CGKeyCode key, cg::CGEventFlags flags = 0) {
    for (bool down : {true, false}) {
        auto event = cg::CGEventCreateKeyboardEvent(nullptr, key, down);
        if (flags) cg::CGEventSetFlags(event, flags);
        cg::CGEventPost(cg::kCGHIDEventTap, event);
    }
}

} // namespace

class NSWindowActivationTest : public testing::WindowTest {
  protected:
    void SetUp() override {
        testing::WindowTest::SetUp();
        NSApp()->resignActive(); // whatever an earlier test left
        NSApp()->setDelegate(std::make_shared<JournalDelegate>(journal));
        for (auto name : {NSApplicationDidBecomeActiveNotification, NSApplicationDidResignActiveNotification})
            m_observers.push_back(ns::NSNotificationCenter::defaultCenter().addObserverForName(
                name, nullptr, [this, name](const ns::NSNotification& note) {
                    EXPECT_EQ(note.name, name);
                    journal.push_back(name == std::string(NSApplicationDidBecomeActiveNotification)
                                          ? "note become"
                                          : "note resign");
                }));
        other = std::make_unique<OtherApplication>(*m_kernel->windowServer());
    }
    void TearDown() override {
        for (auto& observer : m_observers)
            ns::NSNotificationCenter::defaultCenter().removeObserver(observer);
        other.reset();
        NSApp()->setDelegate(nullptr);
        testing::WindowTest::TearDown();
    }
    // Turns until the main loop has nothing ready.
    static void settle() {
        for (int i = 0; i < 8; ++i)
            turn();
    }
    std::vector<std::string> take() { return std::exchange(journal, {}); }
    // A window with a key view at a Cocoa rectangle, on screen.
    std::pair<std::shared_ptr<NSWindow>, std::shared_ptr<KeyView>>
    window(cg::CGRect frame, NSWindowStyleMask style, NSWindowLevel level = NSNormalWindowLevel) {
        auto window = style & NSWindowStyleMaskNonactivatingPanel ? NSWindow::make<NSPanel>(frame, style)
                                                                  : NSWindow::make(frame, style);
        window->setLevel(level);
        auto view = std::make_shared<KeyView>(window->contentView()->bounds());
        window->contentView()->addSubview(view);
        window->orderFront();
        return {window, view};
    }

    std::vector<std::string> journal;
    std::unique_ptr<OtherApplication> other;
    std::vector<ns::NSNotificationCenter::ObserverToken> m_observers;
};

TEST_F(NSWindowActivationTest, OneApplicationIsActiveAndResigningHidesPanelsUntilItReturns) {
    auto panel = NSWindow::make<NSPanel>(cg::CGRectMake(0, 0, 50, 50), NSWindowStyleMaskTitled);
    auto kept = NSWindow::make<NSPanel>(cg::CGRectMake(60, 0, 50, 50), NSWindowStyleMaskTitled);
    kept->setHidesOnDeactivate(false);
    panel->orderFront();
    kept->orderFront();
    EXPECT_FALSE(NSApp()->isActive());
    NSApp()->activateIgnoringOtherApps(true);
    settle();
    EXPECT_TRUE(NSApp()->isActive());
    EXPECT_EQ(take(), (std::vector<std::string>{"delegate become", "note become"}));
    EXPECT_EQ(cg::CGSActiveApplicationPID(), ::getpid());
    NSApp()->activateIgnoringOtherApps(true); // already active: nothing is sent again
    settle();
    EXPECT_TRUE(take().empty());

    other->activate();
    settle();
    EXPECT_FALSE(NSApp()->isActive());
    EXPECT_EQ(take(), (std::vector<std::string>{"delegate resign", "note resign"}));
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 4242);
    EXPECT_EQ(other->pushes(), (std::vector<std::string>{"become-active"}));
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(kept->isVisible());

    NSApp()->activateIgnoringOtherApps(true);
    settle();
    EXPECT_TRUE(NSApp()->isActive());
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(other->pushes(), (std::vector<std::string>{"resign-active"}));
    EXPECT_EQ(recordCount("activate activateIgnoringOtherApps:"), 3u);
}

TEST_F(NSWindowActivationTest, AMouseDownActivatesTheOwnerExceptOnStatusItemsMenusAndNonactivatingPanels) {
    other->activate();
    // Cocoa rectangles 100 points apart along x; Core Graphics y of their middle is 900 - 25.
    auto status = window(cg::CGRectMake(0, 0, 50, 50), NSWindowStyleMaskBorderless, NSStatusWindowLevel);
    auto menu = window(cg::CGRectMake(100, 0, 50, 50), NSWindowStyleMaskBorderless, NSPopUpMenuWindowLevel);
    auto panel =
        window(cg::CGRectMake(200, 0, 50, 50), NSWindowStyleMaskNonactivatingPanel | NSWindowStyleMaskTitled);
    auto plain = window(cg::CGRectMake(300, 0, 50, 50), NSWindowStyleMaskTitled);
    for (double x : {25, 125, 225}) {
        postMouse(cg::kCGEventLeftMouseDown, x, 875);
        postMouse(cg::kCGEventLeftMouseUp, x, 875);
    }
    settle();
    EXPECT_FALSE(NSApp()->isActive());
    EXPECT_EQ(status.second->journal, (std::vector<std::string>{"down active=0"}));
    EXPECT_EQ(menu.second->journal, (std::vector<std::string>{"down active=0"}));
    EXPECT_EQ(panel.second->journal, (std::vector<std::string>{"down active=0"}));
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 4242);
    // A plain window's owner is active before the click reaches it.
    postMouse(cg::kCGEventLeftMouseDown, 325, 875);
    settle();
    EXPECT_TRUE(NSApp()->isActive());
    EXPECT_EQ(plain.second->journal, (std::vector<std::string>{"down active=1"}));
    EXPECT_EQ(other->pushes(), (std::vector<std::string>{"become-active", "resign-active"}));
    EXPECT_EQ(recordCount("activate mouse-down"), 1u);
}

TEST_F(NSWindowActivationTest, KeysGoToTheActiveApplicationsKeyWindowElseTheTextSink) {
    auto [window, view] = this->window(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(window->makeFirstResponder(view));
    postKey(0); // "a": not active, so the sink takes it
    settle();
    EXPECT_EQ(m_kernel->events()->sinkText(), "a");
    NSApp()->activateIgnoringOtherApps(true);
    postKey(1); // "s"
    settle();
    EXPECT_EQ(view->journal, (std::vector<std::string>{"key s"}));
    EXPECT_EQ(m_kernel->events()->sinkText(), "a");
    // A key window of an inactive application takes nothing.
    other->activate();
    postKey(2); // "d"
    settle();
    EXPECT_EQ(m_kernel->events()->sinkText(), "ad");
    // Active again, with no key window: the sink.
    NSApp()->activateIgnoringOtherApps(true);
    window->orderOut();
    postKey(3); // "f"
    settle();
    EXPECT_EQ(m_kernel->events()->sinkText(), "adf");
    // A focused sink takes the keys even from an active application's key window.
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(
        m_kernel->events()->request(windowserver::eventop::textSink, cf::Dictionary{{"action", "focus"}}));
    postKey(5); // "g"
    settle();
    EXPECT_EQ(m_kernel->events()->sinkText(), "adfg");
    EXPECT_EQ(view->journal, (std::vector<std::string>{"key s"}));
}

TEST_F(NSWindowActivationTest, AKeyCarriesItsCharactersWithoutOptionOrShift) {
    auto [window, view] = this->window(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(window->makeFirstResponder(view));
    NSApp()->activateIgnoringOtherApps(true);
    postKey(40, 0x80000); // Option-K
    postKey(40, 0x20000); // Shift-K
    settle();
    EXPECT_EQ(view->journal, (std::vector<std::string>{"key \xCB\x9A", "key K"}));
    EXPECT_EQ(view->unmodified, (std::vector<std::string>{"k", "k"}));
}

TEST_F(NSWindowActivationTest, GlobalMonitorsCopyEventsThatReachNoWindowOrAnotherProcess) {
    auto ours = window(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskBorderless);
    other->window(cg::CGRectMake(200, 0, 100, 100)); // Core Graphics: at the top of the display
    std::vector<std::string> copies;
    auto monitor = NSEvent::addGlobalMonitorForEventsMatchingMask(
        NSEventMaskMouseMoved | NSEventMaskLeftMouseDragged | NSEventMaskTabletPoint, [&](const NSEvent& e) {
            copies.push_back(std::to_string(int(e.type())) + " " +
                             std::to_string(int(e.locationInWindow().x)) + "," +
                             std::to_string(int(e.locationInWindow().y)) + " " +
                             std::to_string(e.pressure()) + " window " + std::to_string(e.windowNumber()));
        });
    ASSERT_TRUE(monitor);
    postMouse(cg::kCGEventMouseMoved, 700, 100);           // no window
    postMouse(cg::kCGEventLeftMouseDragged, 250, 50, 0.5); // another process's window
    postMouse(cg::kCGEventMouseMoved, 50, 850);            // ours: delivered, not copied
    postMouse(cg::kCGEventLeftMouseDown, 700, 100);        // not asked for
    postMouse(cg::kCGEventLeftMouseUp, 700, 100);
    // A stylus's tablet point through the HID system, with its 16-bit pressure.
    kernel::NXEventData tablet{};
    tablet.tablet.pressure = 0x8000;
    EXPECT_EQ(m_kernel->events()->events().postHID({}, 23, kernel::IOGPoint{600, 300}, &tablet, sizeof tablet,
                                                   kernel::kNXEventDataVersion, 0, 0),
              0);
    settle();
    EXPECT_EQ(copies, (std::vector<std::string>{"5 700,800 0.000000 window 0", "6 250,850 0.500000 window 0",
                                                "23 600,600 0.500008 window 0"}));
    NSEvent::removeMonitor(monitor);
    NSEvent::removeMonitor(monitor); // again: nothing
    postMouse(cg::kCGEventMouseMoved, 710, 100);
    settle();
    EXPECT_EQ(copies.size(), 3u);
    EXPECT_EQ(NSEvent::addGlobalMonitorForEventsMatchingMask(1ull << 1, [](const NSEvent&) {}), nullptr);
}

// platformctl activates another process's application by its pid.
TEST_F(NSWindowActivationTest, AnApplicationIsActivatedByItsPidOnBehalfOfAnother) {
    NSApp()->activateIgnoringOtherApps(true);
    settle();
    EXPECT_EQ(cg::CGSActivateApplicationOfPID(4242), cg::kCGErrorSuccess);
    settle();
    EXPECT_FALSE(NSApp()->isActive());
    EXPECT_EQ(other->pushes(), (std::vector<std::string>{"become-active"}));
    EXPECT_EQ(cg::CGSActivateApplicationOfPID(::getpid()), cg::kCGErrorSuccess);
    settle();
    EXPECT_TRUE(NSApp()->isActive());
    EXPECT_EQ(cg::CGSActivateApplicationOfPID(999999), cg::kCGErrorIllegalArgument);
    EXPECT_EQ(cg::CGSActiveApplicationPID(), ::getpid());
    EXPECT_EQ(recordCount("activate activate"), 2u);
}

TEST_F(NSWindowActivationTest, TheWindowServerRefusesMalformedApplicationRequests) {
    auto connection = m_kernel->windowServerConnection();
    EXPECT_FALSE(connection->request(windowserver::op::activate, cf::Dictionary{{"pid", "4242"}}));
    EXPECT_FALSE(
        connection->request(windowserver::op::setEventMonitor, cf::Dictionary{{"mask", int64_t(-1)}}));
    EXPECT_FALSE(connection->request(windowserver::op::setKeyWindow, cf::Dictionary{{"window", 1.5}}));
    // Another process's window cannot be this one's key window.
    const int64_t theirs = other->window(cg::CGRectMake(0, 0, 10, 10));
    ASSERT_NE(theirs, 0);
    auto foreign = connection->request(windowserver::op::setKeyWindow, cf::Dictionary{{"window", theirs}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->find("status")->storedInteger(), 1001);
    EXPECT_TRUE(m_log.contains("refusing ws.setEventMonitor"));
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 0); // nothing changed
}

} // namespace appkit
