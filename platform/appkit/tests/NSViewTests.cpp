// Views: the tree and who owns whom, conversions with flipped views and scaled bounds both ways,
// hit tests, autoresizing margins and sizes, and drawRect: drawing in the view's own space.
#include "WindowTestSupport.h"

#include <cmath>

namespace appkit {

using testing::kBlue;
using testing::kRed;
using testing::kWindowGrey;
using testing::SolidView;

namespace {

class FlippedView : public NSView {
  public:
    using NSView::NSView;
    bool isFlipped() const override { return true; }
};

bool near(cg::CGPoint a, cg::CGPoint b) {
    return std::fabs(a.x - b.x) < 1e-9 && std::fabs(a.y - b.y) < 1e-9;
}

} // namespace

class NSViewTest : public testing::WindowTest {};

TEST_F(NSViewTest, SuperviewsOwnSubviewsWhichHoldThemBackWeakly) {
    auto root = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto child = std::make_shared<NSView>(cg::CGRectMake(10, 10, 20, 20));
    std::weak_ptr<NSView> weakChild = child;
    root->addSubview(child);
    EXPECT_EQ(child->superview(), root);
    EXPECT_TRUE(child->isDescendantOf(*root));
    child->addSubview(root); // a cycle: refused, logged
    EXPECT_TRUE(child->subviews().empty());
    EXPECT_TRUE(m_log.contains("refusing to add a view"));
    auto other = std::make_shared<NSView>(cg::CGRectMake(0, 0, 50, 50));
    other->addSubview(child); // moves
    EXPECT_TRUE(root->subviews().empty());
    EXPECT_EQ(child->superview(), other);
    child.reset();
    EXPECT_FALSE(weakChild.expired()); // its superview keeps it
    other->subviews().front()->removeFromSuperview();
    EXPECT_TRUE(weakChild.expired());
    std::weak_ptr<NSView> weakRoot = root;
    auto grandchild = std::make_shared<NSView>(cg::CGRectMake(0, 0, 1, 1));
    root->addSubview(grandchild);
    root.reset();
    EXPECT_TRUE(weakRoot.expired()); // subviews do not keep their superview
    EXPECT_FALSE(grandchild->superview());
}

TEST_F(NSViewTest, ConversionsHonourFlippedViewsAndScaledBoundsBothWays) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 200, 100), NSWindowStyleMaskBorderless);
    auto content = window->contentView();
    auto flipped = std::make_shared<FlippedView>(cg::CGRectMake(10, 20, 100, 50));
    auto inner = std::make_shared<NSView>(cg::CGRectMake(5, 5, 40, 20)); // in the flipped view
    content->addSubview(flipped);
    flipped->addSubview(inner);

    // The flipped view's top-left is its origin: window (10, 70).
    EXPECT_TRUE(near(flipped->convertPointToView(cg::CGPointMake(0, 0), nullptr), cg::CGPointMake(10, 70)));
    EXPECT_TRUE(near(flipped->convertPointFromView(cg::CGPointMake(10, 70), nullptr), cg::CGPointMake(0, 0)));
    // The unflipped inner view's bottom-left lies 25 points down in its flipped superview.
    EXPECT_TRUE(
        near(inner->convertPointToView(cg::CGPointMake(0, 0), flipped.get()), cg::CGPointMake(5, 25)));
    EXPECT_TRUE(near(inner->convertPointToView(cg::CGPointMake(0, 0), nullptr), cg::CGPointMake(15, 45)));
    EXPECT_TRUE(
        near(content->convertPointFromView(cg::CGPointMake(40, 20), inner.get()), cg::CGPointMake(55, 65)));
    for (auto p : {cg::CGPointMake(3, 4), cg::CGPointMake(-7, 30.5)}) {
        cg::CGPoint there = inner->convertPointToView(p, flipped.get());
        EXPECT_TRUE(near(inner->convertPointFromView(there, flipped.get()), p));
    }
    cg::CGRect r = inner->convertRectToView(cg::CGRectMake(0, 0, 10, 5), nullptr);
    EXPECT_TRUE(cg::CGRectEqualToRect(r, cg::CGRectMake(15, 45, 10, 5)));
    EXPECT_TRUE(cg::CGRectEqualToRect(inner->convertRectFromView(r, nullptr), cg::CGRectMake(0, 0, 10, 5)));

    // Bounds of half the frame's size double every distance; an origin shifts them.
    inner->setBounds(cg::CGRectMake(100, 100, 20, 10));
    EXPECT_TRUE(
        near(inner->convertPointToView(cg::CGPointMake(110, 105), flipped.get()), cg::CGPointMake(25, 15)));
    EXPECT_TRUE(
        near(inner->convertPointFromView(cg::CGPointMake(25, 15), flipped.get()), cg::CGPointMake(110, 105)));
}

TEST_F(NSViewTest, HitTestsFindTheDeepestVisibleViewFrontmostFirst) {
    auto root = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto back = std::make_shared<NSView>(cg::CGRectMake(10, 10, 50, 50));
    auto front = std::make_shared<NSView>(cg::CGRectMake(30, 30, 50, 50));
    auto deep = std::make_shared<FlippedView>(cg::CGRectMake(0, 0, 10, 10)); // in front
    root->addSubview(back);
    root->addSubview(front);
    front->addSubview(deep);
    EXPECT_EQ(root->hitTest(cg::CGPointMake(15, 15)), back);
    EXPECT_EQ(root->hitTest(cg::CGPointMake(35, 35)), deep); // overlap: the front one, deepest
    EXPECT_EQ(root->hitTest(cg::CGPointMake(40, 40)), front);
    EXPECT_EQ(root->hitTest(cg::CGPointMake(55, 55)), front);
    EXPECT_EQ(root->hitTest(cg::CGPointMake(5, 5)), root);
    EXPECT_FALSE(root->hitTest(cg::CGPointMake(100, 50))); // the far edge is outside
    front->setHidden(true);
    EXPECT_EQ(root->hitTest(cg::CGPointMake(40, 40)), back);
}

TEST_F(NSViewTest, AutoresizingSharesTheChangeAmongTheFlexibleParts) {
    auto root = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto sized = std::make_shared<NSView>(cg::CGRectMake(10, 10, 80, 80));
    sized->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
    auto pinnedRight = std::make_shared<NSView>(cg::CGRectMake(70, 10, 20, 20));
    pinnedRight->setAutoresizingMask(NSViewMinXMargin | NSViewMaxYMargin);
    auto fixed = std::make_shared<NSView>(cg::CGRectMake(5, 5, 10, 10));
    auto shared = std::make_shared<NSView>(cg::CGRectMake(20, 0, 60, 10));
    shared->setAutoresizingMask(NSViewMinXMargin | NSViewWidthSizable | NSViewMaxXMargin);
    for (auto& v : {sized, pinnedRight, fixed, shared})
        root->addSubview(v);
    root->setFrameSize(cg::CGSizeMake(200, 150));
    EXPECT_TRUE(cg::CGRectEqualToRect(sized->frame(), cg::CGRectMake(10, 10, 180, 130)));
    EXPECT_TRUE(cg::CGRectEqualToRect(pinnedRight->frame(), cg::CGRectMake(170, 10, 20, 20)));
    EXPECT_TRUE(cg::CGRectEqualToRect(fixed->frame(), cg::CGRectMake(5, 5, 10, 10)));
    // 20 : 60 : 20 of the 100 points gained.
    EXPECT_TRUE(cg::CGRectEqualToRect(shared->frame(), cg::CGRectMake(40, 0, 120, 10)));
    root->setAutoresizesSubviews(false);
    root->setFrameSize(cg::CGSizeMake(100, 100));
    EXPECT_TRUE(cg::CGRectEqualToRect(sized->frame(), cg::CGRectMake(10, 10, 180, 130)));
}

TEST_F(NSViewTest, DrawRectDrawsInTheViewsOwnSpaceClippedToIt) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 60, 40), NSWindowStyleMaskBorderless);
    // Each view fills a 10 x 10 square at its bounds' origin corner: bottom-left unless flipped.
    auto plain = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 30, 40), 1, 0, 0);
    plain->fill = cg::CGRectMake(0, 0, 10, 10);
    auto flipped = std::make_shared<SolidView>(cg::CGRectMake(30, 0, 30, 40), 0, 0, 1, true);
    flipped->fill = cg::CGRectMake(0, 0, 10, 10);
    auto spill = std::make_shared<SolidView>(cg::CGRectMake(20, 20, 5, 5), 0, 0, 1);
    spill->fill = cg::CGRectMake(-100, -100, 300, 300); // clipped to the view
    window->contentView()->addSubview(plain);
    window->contentView()->addSubview(flipped);
    plain->addSubview(spill);
    window->orderFront();
    auto image = picture(*window);
    ASSERT_TRUE(image);
    // Picture rows count from the top.
    EXPECT_EQ(pixel(image, 5, 35), kRed); // plain: bottom-left
    EXPECT_EQ(pixel(image, 5, 5), kWindowGrey);
    EXPECT_EQ(pixel(image, 35, 5), kBlue); // flipped: top-left
    EXPECT_EQ(pixel(image, 35, 35), kWindowGrey);
    EXPECT_EQ(pixel(image, 22, 17), kBlue); // the spilling view, inside itself only
    EXPECT_EQ(pixel(image, 27, 17), kWindowGrey);
    EXPECT_EQ(pixel(image, 22, 12), kWindowGrey);
    // Hidden views are not drawn.
    spill->setHidden(true);
    turn();
    EXPECT_EQ(pixel(picture(*window), 22, 17), kWindowGrey);
}

} // namespace appkit
