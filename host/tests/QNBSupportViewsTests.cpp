// The listing's support views: the scroll view's row focus under the mouse (entries, exits and
// the delegate), and the pixels of the panel, gradient, background and image views.
#include "host/QNBCollectionScrollView.h"
#include "host/QNBSupportViews.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/PNG.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace host {
namespace {

using appkit::NSColor;
using appkit::NSEvent;
using appkit::NSEventType;

// ---- Rows for the scroll view: 72 points high, telling a journal what the mouse did.

std::vector<std::string>& journal() {
    static std::vector<std::string> entries;
    return entries;
}

class Device : public ns::NSObject {
  public:
    explicit Device(std::string name) : name(std::move(name)) {}
    std::string name;
};

class TestRow : public appkit::NSCollectionViewItem, public QNBCollectionScrollViewRow {
  public:
    explicit TestRow(std::string nib = "QNBScrollTestRow") : NSCollectionViewItem(std::move(nib)) {}
    void mouseEnteredView() override { journal().push_back("enter " + label()); }
    void mouseExitedView() override { journal().push_back("exit " + label()); }

  private:
    std::string label() const {
        auto device = representedObject().objectAs<Device>();
        return device ? device->name : "?";
    }
};

const appkit::NSNibRegistrar rowNib("QNBScrollTestRow", [](appkit::NSNib& nib) {
    auto* owner = nib.owner<TestRow>();
    if (!owner) return false;
    auto view = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 72));
    nib.outlet(
        "listingView", [owner](const std::shared_ptr<appkit::NSView>& v) { owner->setView(v); }, view);
    return true;
});

// A prototype whose view has no height: the row arithmetic has nothing to divide by.
const appkit::NSNibRegistrar flatRowNib("QNBScrollTestFlatRow", [](appkit::NSNib& nib) {
    auto* owner = nib.owner<TestRow>();
    if (!owner) return false;
    auto view = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 0));
    nib.outlet(
        "listingView", [owner](const std::shared_ptr<appkit::NSView>& v) { owner->setView(v); }, view);
    return true;
});

class RecordingDelegate : public QNBCollectionScrollViewDelegateProtocol {
  public:
    void focusForCollectionViewItemIndex(uint64_t index) override { calls.push_back(std::to_string(index)); }
    void focusEnded() override { calls.push_back("ended"); }
    std::vector<std::string> calls;
};

class QNBCollectionScrollViewTest : public ::testing::Test {
  protected:
    static constexpr double kHeight = 200;

    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        journal().clear();
        window = appkit::NSWindow::make(cg::CGRectMake(100, 100, 320, kHeight),
                                        appkit::NSWindowStyleMaskBorderless);
        scrollView = std::make_shared<QNBCollectionScrollView>(cg::CGRectMake(0, 0, 320, kHeight));
        window->contentView()->addSubview(scrollView);
        collection = std::make_shared<appkit::NSCollectionView>(cg::CGRectMake(0, 0, 320, kHeight));
        scrollView->setDocumentView(collection);
        scrollView->setDelegate(delegate);
        scrollView->awakeFromNib();
    }
    void TearDown() override {
        window->close();
        window.reset();
        dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode);
        m_kernel->shutdown();
    }
    void list(const std::vector<std::string>& names, const std::string& nib = "QNBScrollTestRow") {
        collection->setItemPrototype([nib] { return std::make_shared<TestRow>(nib); });
        ns::IdArray content;
        for (const auto& name : names)
            content.push_back(devices.emplace_back(std::make_shared<Device>(name)));
        collection->setContent(content);
    }
    // The mouse at a height from the scroll view's top, as the window delivers it (y up).
    NSEvent at(NSEventType type, double fromTop) const {
        return NSEvent::mouseEvent(type, cg::CGPointMake(40, kHeight - fromTop), 0, 0, window->windowNumber(),
                                   0, 0);
    }
    void moveTo(double fromTop) { scrollView->mouseMoved(at(NSEventType::MouseMoved, fromTop)); }

    std::shared_ptr<appkit::NSWindow> window;
    std::shared_ptr<QNBCollectionScrollView> scrollView;
    std::shared_ptr<appkit::NSCollectionView> collection;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::shared_ptr<Device>> devices;

  private:
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

TEST_F(QNBCollectionScrollViewTest, MovingFromRowToRowExitsTheFirstBeforeEnteringTheSecond) {
    list({"Alpha", "Bravo", "Charlie"});
    EXPECT_TRUE(scrollView->isFlipped());
    moveTo(10);
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Alpha"}));
    EXPECT_EQ(scrollView->lastFocusItem(), collection->itemAtIndex(0));
    moveTo(80);
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Alpha", "exit Alpha", "enter Bravo"}));
    moveTo(150);
    EXPECT_EQ(journal().back(), "enter Charlie");
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"0", "1", "2"}));
    // Staying on a row sends it no exit.
    journal().clear();
    scrollView->mouseDown(at(NSEventType::LeftMouseDown, 151));
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Charlie"}));
}

TEST_F(QNBCollectionScrollViewTest, BelowTheLastRowTheLastRowExitsAndNothingIsFocused) {
    list({"Alpha", "Bravo"});
    moveTo(100);
    moveTo(180); // rows end at 144
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Bravo", "exit Bravo"}));
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"1"}));
    // An empty listing and a document that is not a collection view are left alone.
    collection->setContent({});
    moveTo(10);
    scrollView->setDocumentView(std::make_shared<appkit::NSView>(cg::CGRectMake(0, 0, 320, 400)));
    moveTo(10);
    EXPECT_EQ(journal().size(), 2u);
}

TEST_F(QNBCollectionScrollViewTest, TheScrollOffsetCountsTowardsTheRow) {
    list({"A", "B", "C", "D", "E"}); // 360 points in a 200-point view
    scrollView->contentView()->scrollToPoint(cg::CGPointMake(0, 100));
    ASSERT_EQ(scrollView->documentVisibleRect().origin.y, 100);
    moveTo(10);  // 110 into the list
    moveTo(190); // 290: the last row
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"1", "4"}));
}

TEST_F(QNBCollectionScrollViewTest, LeavingTellsTheRowOnlyWhileItsModelIsListedAndEndsTheFocus) {
    list({"Alpha", "Bravo"});
    moveTo(10);
    scrollView->mouseExited(at(NSEventType::MouseExited, 10));
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Alpha", "exit Alpha"}));
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"0", "ended"}));

    moveTo(80);
    EXPECT_TRUE(scrollView->validateLastFocusItem());
    collection->setContent({ns::Id(devices[0])}); // Bravo's model left the list
    journal().clear();
    scrollView->mouseExited(at(NSEventType::MouseExited, 80));
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(delegate->calls.back(), "ended");
    // Without a delegate only the rows hear of it.
    scrollView->setDelegate(nullptr);
    moveTo(10);
    EXPECT_EQ(journal(), (std::vector<std::string>{"enter Alpha"}));
}

TEST_F(QNBCollectionScrollViewTest, RowsWithoutHeightChangeNoFocus) {
    list({"Alpha", "Bravo"}, "QNBScrollTestFlatRow");
    ASSERT_EQ(collection->frameForItemAtIndex(0).size.height, 0);
    EXPECT_FALSE(scrollView->collectionViewItemIndexFromEvent(*collection, at(NSEventType::MouseMoved, 0)));
    moveTo(0);
    moveTo(50);
    EXPECT_TRUE(journal().empty());
    EXPECT_TRUE(delegate->calls.empty());
    EXPECT_FALSE(scrollView->lastFocusItem());
}

TEST_F(QNBCollectionScrollViewTest, TrackingFollowsTheBoundsAndTheWindowDeliversTheMouse) {
    auto area = scrollView->trackingArea();
    ASSERT_TRUE(area);
    EXPECT_EQ(area->options(), 0x83u);
    EXPECT_EQ(area->owner(), scrollView);
    EXPECT_TRUE(cg::CGRectEqualToRect(area->rect(), scrollView->bounds()));
    scrollView->setFrameSize(cg::CGSizeMake(320, 150));
    ASSERT_NE(scrollView->trackingArea(), area);
    EXPECT_TRUE(cg::CGRectEqualToRect(scrollView->trackingArea()->rect(), cg::CGRectMake(0, 0, 320, 150)));
    ASSERT_EQ(scrollView->trackingAreas().size(), 1u);
    EXPECT_EQ(scrollView->trackingAreas()[0], scrollView->trackingArea());

    // The window's own routing: entering, moving, then leaving the scroll view.
    scrollView->setFrameSize(cg::CGSizeMake(320, kHeight));
    list({"Alpha", "Bravo"});
    window->sendEvent(at(NSEventType::MouseMoved, 10));
    window->sendEvent(at(NSEventType::MouseMoved, 100));
    window->sendEvent(NSEvent::mouseEvent(NSEventType::MouseMoved, cg::CGPointMake(400, 50), 0, 0,
                                          window->windowNumber(), 0, 0));
    ASSERT_GE(journal().size(), 3u);
    EXPECT_EQ(journal().front(), "enter Alpha");
    EXPECT_NE(std::find(journal().begin(), journal().end(), "enter Bravo"), journal().end());
    EXPECT_EQ(journal().back(), "exit Bravo");
    EXPECT_EQ(delegate->calls.back(), "ended");
}

// ---- Drawing: a view drawn into a transparent bitmap, read back as un-premultiplied RGBA.

struct Picture {
    size_t width = 0, height = 0;
    std::vector<uint32_t> words; // premultiplied A, R, G, B words, rows from the top

    std::array<int, 4> rgba(size_t x, size_t row) const {
        const uint32_t w = words[row * width + x];
        const int a = int(w >> 24);
        auto un = [a](uint32_t c) { return a == 0 ? 0 : int(std::lround(double(c & 0xFF) * 255.0 / a)); };
        return {un(w >> 16), un(w >> 8), un(w), a};
    }
};

Picture draw(appkit::NSView& view) {
    Picture picture;
    picture.width = size_t(view.bounds().size.width);
    picture.height = size_t(view.bounds().size.height);
    picture.words.assign(picture.width * picture.height, 0);
    auto context =
        cg::CGBitmapContextCreate(picture.words.data(), picture.width, picture.height, 8, picture.width * 4,
                                  cg::CGColorSpaceCreateDeviceRGB(),
                                  cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
    appkit::NSGraphicsContext::setCurrentContext(
        appkit::NSGraphicsContext::graphicsContextWithCGContext(context, false));
    view.drawRect(view.bounds());
    appkit::NSGraphicsContext::setCurrentContext(nullptr);
    return picture;
}

::testing::AssertionResult near(std::array<int, 4> actual, std::array<int, 4> expected, int tolerance) {
    for (size_t i = 0; i < 4; ++i)
        if (std::abs(actual[i] - expected[i]) > tolerance)
            return ::testing::AssertionFailure()
                   << "(" << actual[0] << "," << actual[1] << "," << actual[2] << "," << actual[3]
                   << ") is not (" << expected[0] << "," << expected[1] << "," << expected[2] << ","
                   << expected[3] << ") +-" << tolerance;
    return ::testing::AssertionSuccess();
}

class QNBSupportViewsDrawingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() / ("support-views-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = (m_dir / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }
    // Red, green over blue, white.
    static std::vector<uint8_t> quadrants() {
        const std::vector<uint8_t> rgba = {255, 0, 0,   255, 0,   255, 0,   255,
                                           0,   0, 255, 255, 255, 255, 255, 255};
        return png::encode(rgba.data(), 2, 2, 8, png::PixelFormat::RGBA).value_or(std::vector<uint8_t>{});
    }
    // Each quadrant's outer part shows its pixel alone (nearer the middle, scaling blends them).
    static void expectQuadrants(QNBImageView& view) {
        Picture p = draw(view);
        EXPECT_TRUE(near(p.rgba(4, 4), {255, 0, 0, 255}, 1));
        EXPECT_TRUE(near(p.rgba(35, 4), {0, 255, 0, 255}, 1));
        EXPECT_TRUE(near(p.rgba(4, 35), {0, 0, 255, 255}, 1));
        EXPECT_TRUE(near(p.rgba(35, 35), {255, 255, 255, 255}, 1));
        EXPECT_GT(p.rgba(10, 10)[0], 200); // and the quadrant's inner part mostly
        EXPECT_LT(p.rgba(10, 10)[1], 40);
    }

  private:
    std::filesystem::path m_dir;
};

TEST_F(QNBSupportViewsDrawingTest, DefaultGradientIsRadialOutToTheCorners) {
    QNBGradientView view(cg::CGRectMake(0, 0, 200, 100));
    EXPECT_TRUE(view.drawRadial());
    EXPECT_EQ(view.angle(), 95);
    EXPECT_EQ(view.innerRadius(), 10);
    EXPECT_EQ(view.outerRadiusMultiplier(), 1.0);
    Picture p = draw(view);
    EXPECT_TRUE(near(p.rgba(100, 50), {0, 166, 221, 77}, 2));
    for (auto [x, row] : {std::pair{0, 0}, {199, 0}, {0, 99}, {199, 99}})
        EXPECT_TRUE(near(p.rgba(size_t(x), size_t(row)), {2, 42, 66, 77}, 2)) << x << "," << row;
    // Halfway out, halfway between the colours.
    const auto mid = p.rgba(100 + 55, 50 + 27);
    EXPECT_GT(mid[1], 60);
    EXPECT_LT(mid[1], 150);
}

TEST_F(QNBSupportViewsDrawingTest, LinearGradientAndColourSettersRedisplay) {
    QNBGradientView view(cg::CGRectMake(0, 0, 100, 10));
    view.setDrawRadial(false);
    view.setAngle(0);
    view.setStartColor(NSColor::colorWithDeviceRed(1, 0, 0, 1));
    EXPECT_TRUE(view.needsDisplay());
    view.setEndColor(NSColor::colorWithDeviceRed(0, 0, 1, 1));
    Picture p = draw(view);
    EXPECT_TRUE(near(p.rgba(0, 5), {255, 0, 0, 255}, 4));
    EXPECT_TRUE(near(p.rgba(99, 5), {0, 0, 255, 255}, 4));
    // Without a colour nothing is drawn.
    view.setEndColor(nullptr);
    EXPECT_EQ(draw(view).rgba(50, 5)[3], 0);
}

TEST_F(QNBSupportViewsDrawingTest, SubListingPanelIsFilledAndOutlinedInBorderGrey) {
    QNBTesselSubListingView view(cg::CGRectMake(0, 0, 100, 40));
    Picture p = draw(view);
    EXPECT_TRUE(near(p.rgba(50, 20), {249, 249, 250, 255}, 1));
    EXPECT_TRUE(near(p.rgba(1, 1), {249, 249, 250, 255}, 1));
    // The one-point line lies on the frame's edge: half of it covers the edge pixels, so they
    // show the grey (0.5, alpha 0.5) at half strength over the fill.
    const std::array<int, 4> edge = {int(std::lround(249 * 0.75 + 127.5 * 0.25)),
                                     int(std::lround(249 * 0.75 + 127.5 * 0.25)),
                                     int(std::lround(250 * 0.75 + 127.5 * 0.25)), 255};
    for (auto [x, row] : {std::pair{50, 0}, {99, 20}, {50, 39}, {0, 20}})
        EXPECT_TRUE(near(p.rgba(size_t(x), size_t(row)), edge, 3)) << x << "," << row;
    // The colours only store; the row redisplays the panel itself.
    view.setBackgroundColor(NSColor::colorWithDeviceRed(0, 1, 0, 1));
    EXPECT_FALSE(view.needsDisplay());
    EXPECT_TRUE(near(draw(view).rgba(50, 20), {0, 255, 0, 255}, 0));
}

TEST_F(QNBSupportViewsDrawingTest, BackgroundViewFillsWithItsColourOnly) {
    QNBBackgroundView view(cg::CGRectMake(0, 0, 20, 20));
    EXPECT_EQ(view.interiorBackgroundStyle(), QNBBackgroundStyleDark);
    EXPECT_EQ(draw(view).rgba(10, 10)[3], 0);
    view.setBackgroundColor(NSColor::colorWithDeviceRed(0, 0, 1, 0.5));
    EXPECT_TRUE(view.needsDisplay());
    EXPECT_TRUE(near(draw(view).rgba(10, 10), {0, 0, 255, 128}, 1));
}

TEST_F(QNBSupportViewsDrawingTest, ImageViewShowsEachQuadrantOfAPNG) {
    QNBImageView view(cg::CGRectMake(0, 0, 40, 40));
    EXPECT_EQ(draw(view).rgba(10, 10)[3], 0); // nothing without a bitmap
    ASSERT_TRUE(view.setCgImageWithPNGPath(write("quadrants.png", quadrants())));
    expectQuadrants(view);

    // The same picture given as an image goes through its TIFF form.
    QNBImageView other(cg::CGRectMake(0, 0, 40, 40));
    auto image = appkit::NSImage::initWithData(quadrants());
    other.setImage(image);
    EXPECT_EQ(other.image(), image);
    expectQuadrants(other);
    other.setImage(nullptr);
    EXPECT_FALSE(other.bitmap());
}

TEST_F(QNBSupportViewsDrawingTest, UnreadableCorruptOrHugePNGLeavesTheImageViewUnchanged) {
    platform::LogCapture log(true);
    QNBImageView view(cg::CGRectMake(0, 0, 40, 40));
    ASSERT_TRUE(view.setCgImageWithPNGPath(write("quadrants.png", quadrants())));
    const cg::CGImageRef before = view.bitmap();

    auto good = quadrants();
    auto huge = good; // the header claims 20000 x 20000 pixels
    const uint8_t side[4] = {0, 0, 0x4E, 0x20};
    std::copy(side, side + 4, huge.begin() + 16);
    std::copy(side, side + 4, huge.begin() + 20);
    const std::vector<std::string> bad = {
        write("missing.png", {}) + ".not-there",
        write("empty.png", {}),
        write("corrupt.png", std::vector<uint8_t>(200, 0xA5)),
        write("truncated.png", std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() - 20))),
        write("huge.png", huge),
        std::filesystem::temp_directory_path().string(),
    };
    for (const auto& path : bad) {
        EXPECT_FALSE(view.setCgImageWithPNGPath(path)) << path;
        EXPECT_EQ(view.bitmap(), before) << path;
    }
    EXPECT_EQ(log.count("the view is unchanged"), bad.size());
    expectQuadrants(view);
}

TEST_F(QNBSupportViewsDrawingTest, RecessedButtonImagesAreTemplates) {
    auto button = std::make_shared<QNBRecessedButton>(cg::CGRectMake(0, 0, 24, 24));
    std::shared_ptr<appkit::NSButton> asButton = button;
    auto image = appkit::NSImage::initWithData(quadrants());
    ASSERT_TRUE(image);
    asButton->setImage(image);
    EXPECT_TRUE(image->isTemplate());
    EXPECT_EQ(button->image(), image);
    asButton->setImage(nullptr);
    EXPECT_FALSE(button->image());
    button->awakeFromNib(); // no image: nothing to mark
}

} // namespace
} // namespace host
