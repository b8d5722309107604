// Events inside the process: tracking areas (exits, then entries, then moves, in view-tree order;
// activity options; flipped views; the pointer leaving), and the first responder (mouse-down
// routing, accepting and refusing, keys, views leaving the window).
#include "platform/coregraphics/CGEvent.h"

#include "WindowTestSupport.h"

#include <string>
#include <vector>

namespace appkit {

namespace {

// Records what reaches it, by name, into a shared journal.
class RecordingView : public NSView {
  public:
    RecordingView(cg::CGRect frame, std::string name, std::vector<std::string>& journal, bool flipped = false)
        : NSView(frame), m_name(std::move(name)), m_journal(journal), m_flipped(flipped) {}
    bool isFlipped() const override { return m_flipped; }
    bool acceptsFirstResponder() const override { return accepts; }
    bool resignFirstResponder() override {
        m_journal.push_back(m_name + " resign");
        return resigns;
    }
    void mouseDown(const NSEvent&) override { m_journal.push_back(m_name + " down"); }
    void mouseUp(const NSEvent&) override { m_journal.push_back(m_name + " up"); }
    void mouseDragged(const NSEvent&) override { m_journal.push_back(m_name + " dragged"); }
    void mouseEntered(const NSEvent& e) override {
        m_journal.push_back(m_name + " entered");
        EXPECT_TRUE(e.trackingArea());
    }
    void mouseExited(const NSEvent&) override { m_journal.push_back(m_name + " exited"); }
    void mouseMoved(const NSEvent&) override { m_journal.push_back(m_name + " moved"); }
    void keyDown(const NSEvent& e) override { m_journal.push_back(m_name + " key " + e.characters()); }
    void updateTrackingAreas() override { ++updates; }
    // An area over the whole bounds with these options.
    std::shared_ptr<NSTrackingArea> track(NSTrackingAreaOptions options,
                                          std::optional<cg::CGRect> rect = {}) {
        auto area = std::make_shared<NSTrackingArea>(
            rect.value_or(bounds()), options, std::static_pointer_cast<NSResponder>(shared_from_this()));
        addTrackingArea(area);
        return area;
    }
    bool accepts = false;
    bool resigns = true;
    int updates = 0;

  private:
    std::string m_name;
    std::vector<std::string>& m_journal;
    bool m_flipped;
};

constexpr NSTrackingAreaOptions kHover = NSTrackingMouseEnteredAndExited | NSTrackingActiveAlways;

} // namespace

class EventDeliveryTest : public testing::WindowTest {
  protected:
    void SetUp() override {
        testing::WindowTest::SetUp();
        window = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskBorderless);
    }
    void send(NSEventType type, double x, double y) {
        NSApp()->sendEvent(
            NSEvent::mouseEvent(type, cg::CGPointMake(x, y), 0, 0, window->windowNumber(), 1, 1));
    }
    std::shared_ptr<RecordingView> add(cg::CGRect frame, const std::string& name,
                                       const std::shared_ptr<NSView>& parent = nullptr,
                                       bool flipped = false) {
        auto view = std::make_shared<RecordingView>(frame, name, journal, flipped);
        (parent ? parent : window->contentView())->addSubview(view);
        return view;
    }
    std::vector<std::string> take() { return std::exchange(journal, {}); }

    std::shared_ptr<NSWindow> window;
    std::vector<std::string> journal;
};

class TrackingAreaTest : public EventDeliveryTest {};

TEST_F(TrackingAreaTest, ExitsComeBeforeEntriesThenMovesInViewTreeOrder) {
    auto left = add(cg::CGRectMake(0, 0, 50, 100), "left");
    auto right = add(cg::CGRectMake(50, 0, 50, 100), "right");
    auto inner = add(cg::CGRectMake(10, 10, 20, 20), "inner", right);
    left->track(kHover | NSTrackingMouseMoved);
    right->track(kHover | NSTrackingMouseMoved);
    inner->track(kHover);
    send(NSEventType::MouseMoved, 10, 10);
    EXPECT_EQ(take(), (std::vector<std::string>{"left entered", "left moved"}));
    send(NSEventType::MouseMoved, 65, 15); // into right and its inner view at once
    EXPECT_EQ(take(),
              (std::vector<std::string>{"left exited", "right entered", "inner entered", "right moved"}));
    send(NSEventType::MouseMoved, 90, 90);
    EXPECT_EQ(take(), (std::vector<std::string>{"inner exited", "right moved"}));
    // A drag updates the areas too, without moves.
    send(NSEventType::LeftMouseDragged, 20, 20);
    EXPECT_EQ(take(), (std::vector<std::string>{"right exited", "left entered"}));
    window->pointerLeft(NSEvent::mouseEvent(NSEventType::MouseExited, cg::CGPointMake(-1, -1), 0, 0,
                                            window->windowNumber(), 0, 0));
    EXPECT_EQ(take(), (std::vector<std::string>{"left exited"}));
}

TEST_F(TrackingAreaTest, ActivityOptionsHiddenViewsAndFlippedRectangles) {
    auto keyOnly = add(cg::CGRectMake(0, 0, 50, 50), "key");
    keyOnly->track(NSTrackingMouseEnteredAndExited | NSTrackingActiveInKeyWindow);
    auto responderOnly = add(cg::CGRectMake(50, 0, 50, 50), "responder");
    responderOnly->accepts = true;
    responderOnly->track(NSTrackingMouseEnteredAndExited | NSTrackingActiveWhenFirstResponder);
    // A flipped view's area at its top 10 points: window y 90 to 100.
    auto flipped = add(cg::CGRectMake(0, 50, 100, 50), "flipped", nullptr, true);
    flipped->track(kHover, cg::CGRectMake(0, 0, 100, 10));

    send(NSEventType::MouseMoved, 10, 10);
    send(NSEventType::MouseMoved, 60, 10);
    EXPECT_TRUE(take().empty()); // not key, not first responder
    window->makeFirstResponder(responderOnly);
    send(NSEventType::MouseMoved, 61, 10);
    EXPECT_EQ(take(), (std::vector<std::string>{"responder entered"}));
    window->makeKeyAndOrderFront(); // borderless: never key
    send(NSEventType::MouseMoved, 10, 10);
    EXPECT_EQ(take(), (std::vector<std::string>{"responder exited"}));

    send(NSEventType::MouseMoved, 10, 60); // the flipped view's bottom part
    EXPECT_TRUE(take().empty());
    send(NSEventType::MouseMoved, 10, 95);
    EXPECT_EQ(take(), (std::vector<std::string>{"flipped entered"}));
    flipped->setHidden(true);
    send(NSEventType::MouseMoved, 10, 96);
    EXPECT_EQ(take(), (std::vector<std::string>{"flipped exited"}));

    // updateTrackingAreas runs on entering a window and on every frame change.
    auto fresh = std::make_shared<RecordingView>(cg::CGRectMake(0, 0, 5, 5), "fresh", journal);
    EXPECT_EQ(fresh->updates, 0);
    window->contentView()->addSubview(fresh);
    EXPECT_EQ(fresh->updates, 1);
    fresh->setFrameOrigin(cg::CGPointMake(1, 1));
    EXPECT_EQ(fresh->updates, 2);
}

class FirstResponderTest : public EventDeliveryTest {};

TEST_F(FirstResponderTest, MouseDownGoesToTheHitViewWhichBecomesFirstResponderWhenItAccepts) {
    auto plain = add(cg::CGRectMake(0, 0, 50, 50), "plain");
    auto field = add(cg::CGRectMake(50, 0, 50, 50), "field");
    field->accepts = true;
    EXPECT_EQ(window->firstResponder(), window.get());
    send(NSEventType::LeftMouseDown, 60, 10);
    send(NSEventType::LeftMouseDragged, 10, 10); // the drag and the up follow the down's view
    send(NSEventType::LeftMouseUp, 10, 10);
    EXPECT_EQ(take(), (std::vector<std::string>{"field down", "field dragged", "field up"}));
    EXPECT_EQ(window->firstResponder(), field.get());
    send(NSEventType::LeftMouseDown, 10, 10); // does not accept: the field stays
    EXPECT_EQ(window->firstResponder(), field.get());
    take();

    // Keys go to the key window's first responder.
    window->makeKeyWindow(); // borderless: refused, so no key window
    NSApp()->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, 0, 0, 0, "a", 0));
    EXPECT_TRUE(take().empty());
    auto titled = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    auto typed = std::make_shared<RecordingView>(cg::CGRectMake(0, 0, 10, 10), "typed", journal);
    typed->accepts = true;
    titled->contentView()->addSubview(typed);
    titled->makeKeyAndOrderFront();
    ASSERT_TRUE(titled->makeFirstResponder(typed));
    NSApp()->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, 0, 0, 0, "a", 0));
    EXPECT_EQ(take(), (std::vector<std::string>{"typed key a"}));
}

TEST_F(FirstResponderTest, RefusalsAndViewsLeavingTheWindow) {
    auto a = add(cg::CGRectMake(0, 0, 10, 10), "a");
    auto b = add(cg::CGRectMake(10, 0, 10, 10), "b");
    EXPECT_FALSE(window->makeFirstResponder(a)); // does not accept
    EXPECT_EQ(window->firstResponder(), window.get());
    a->accepts = b->accepts = true;
    ASSERT_TRUE(window->makeFirstResponder(a));
    a->resigns = false;
    EXPECT_FALSE(window->makeFirstResponder(b));
    EXPECT_EQ(window->firstResponder(), a.get());
    a->resigns = true;
    EXPECT_TRUE(window->makeFirstResponder(b));
    take();
    // A view of another window is refused.
    auto other = NSWindow::make(cg::CGRectMake(0, 0, 10, 10), NSWindowStyleMaskBorderless);
    auto stranger = std::make_shared<RecordingView>(cg::CGRectMake(0, 0, 5, 5), "stranger", journal);
    stranger->accepts = true;
    other->contentView()->addSubview(stranger);
    EXPECT_FALSE(window->makeFirstResponder(stranger));
    EXPECT_EQ(window->firstResponder(), b.get());
    // Once it leaves the window, the window answers for itself.
    b->removeFromSuperview();
    EXPECT_EQ(window->firstResponder(), window.get());
    // Unhandled messages go up the chain to the superview.
    auto child = std::make_shared<NSView>(cg::CGRectMake(0, 0, 5, 5));
    a->addSubview(child);
    send(NSEventType::LeftMouseDown, 2, 2);
    EXPECT_EQ(take(), (std::vector<std::string>{"a down"}));
}

} // namespace appkit

namespace appkit {

// Posted mouse events travel through the window server to the owner of the front-most window
// under the pointer, and reach its views on the next main-loop turn.
TEST_F(FirstResponderTest, PostedClicksReachTheFrontmostWindowUnderThePointer) {
    auto field = add(cg::CGRectMake(50, 0, 50, 50), "field");
    field->accepts = true;
    auto hover = add(cg::CGRectMake(0, 0, 50, 50), "hover");
    hover->track(kHover);
    window->orderFront();
    auto covering = NSWindow::make(cg::CGRectMake(0, 0, 40, 40), NSWindowStyleMaskBorderless);
    covering->setIgnoresMouseEvents(true); // skipped by the routing
    covering->orderFront();
    auto post = [](cg::CGEventType type, double x, double y) {
        auto event =
            cg::CGEventCreateMouseEvent(nullptr, type, cg::CGPointMake(x, y), cg::kCGMouseButtonLeft);
        cg::CGEventPost(cg::kCGHIDEventTap, event);
    };
    // Core Graphics space: the window's bottom-left point (0, 0) is y = 900.
    post(cg::kCGEventMouseMoved, 10, 890);
    post(cg::kCGEventLeftMouseDown, 60, 890);
    post(cg::kCGEventLeftMouseUp, 60, 890);
    post(cg::kCGEventMouseMoved, 700, 100); // no window: the pointer left
    EXPECT_TRUE(journal.empty());           // nothing before the main loop turns
    for (int i = 0; i < 4 && journal.size() < 4; ++i)
        turn();
    EXPECT_EQ(take(), (std::vector<std::string>{"hover entered", "field down", "field up", "hover exited"}));
    EXPECT_EQ(window->firstResponder(), field.get());
}

} // namespace appkit
