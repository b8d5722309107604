// The fake application's menu bar and window pictures, asked through the facade from another
// thread while this one serves the main run loop, over an in-process window server.
#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Clock.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

namespace ax {
namespace {

class FakeApplication : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
    }
    void TearDown() override {
        drain();
        m_kernel->shutdown();
    }
    void drain() {
        auto loop = dispatch::RunLoop::main();
        while (loop->runInMode(dispatch::kDefaultRunLoopMode, platform::now(), true) ==
               dispatch::RunLoop::RunResult::HandledSource) {
        }
    }
    AXError ask(uint64_t id, std::string_view attribute, AXAttributeValue* value) {
        std::atomic<bool> done{false};
        AXError error = 0;
        auto element = std::make_shared<const AXUIElement>(AXUIElement{m_app->pid(), id});
        std::thread asker([&] {
            error = AXUIElementCopyAttributeValue(element, attribute, value);
            done = true;
        });
        while (!done) {
            drain();
            std::this_thread::yield();
        }
        asker.join();
        return error;
    }
    std::vector<uint64_t> children(uint64_t id) {
        AXAttributeValue value;
        std::vector<uint64_t> ids;
        if (ask(id, kAXChildrenAttribute, &value) != kAXErrorSuccess) return ids;
        for (auto& e : std::get<std::vector<AXUIElementRef>>(value))
            ids.push_back(e->id);
        return ids;
    }
    cf::Value plist(uint64_t id, std::string_view attribute) {
        AXAttributeValue value;
        if (ask(id, attribute, &value) != kAXErrorSuccess) return cf::Value("<error>");
        auto* v = std::get_if<cf::Value>(&value);
        return v ? *v : cf::Value("<not a property-list value>");
    }

    // Runs call on another thread while this one serves the main run loop.
    template <typename Call> AXError onAnotherThread(Call call) {
        std::atomic<bool> done{false};
        AXError error = 0;
        std::thread asker([&] {
            error = call();
            done = true;
        });
        while (!done) {
            drain();
            std::this_thread::yield();
        }
        asker.join();
        drain();
        return error;
    }
    AXUIElementRef element(uint64_t id) {
        return std::make_shared<const AXUIElement>(AXUIElement{m_app->pid(), id});
    }

    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<AXFakeApplication> m_app;
};

TEST_F(FakeApplication, MenuBarAnswersItsTreeWithAMenuUnderEachItemThatHasChildren) {
    m_app = AXFakeApplication::create("Fake Editor", "com.example.FakeEditor");
    ASSERT_TRUE(m_app);
    AXAttributeValue none;
    EXPECT_EQ(ask(0, kAXMenuBarAttribute, &none), kAXErrorNoValue);

    AXFakeMenuItem open{"Open…", true, "O", "", {0, 30}, {120, 20}, {}};
    AXFakeMenuItem quit{"Quit", false, "", "", {0, 50}, {120, 20}, {}};
    AXFakeMenuItem file{"File", true, "", "", {40, 0}, {36, 22}, {open, quit}};
    AXFakeMenuItem copy{"Copy", true, "C", "✓", {80, 30}, {120, 20}, {}};
    AXFakeMenuItem edit{"Edit", true, "", "", {80, 0}, {36, 22}, {copy}};
    m_app->setMenuBar({file, edit});

    AXAttributeValue bar;
    ASSERT_EQ(ask(0, kAXMenuBarAttribute, &bar), kAXErrorSuccess);
    const uint64_t barID = std::get<AXUIElementRef>(bar)->id;
    EXPECT_EQ(barID, m_app->menuBarElement());
    const auto items = children(barID);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(plist(items[0], kAXTitleAttribute), cf::Value("File"));
    EXPECT_EQ(items[0], m_app->menuElement({0}));
    // File holds one menu; the menu holds Open… and Quit.
    const auto fileMenu = children(items[0]);
    ASSERT_EQ(fileMenu.size(), 1u);
    const auto fileItems = children(fileMenu[0]);
    ASSERT_EQ(fileItems.size(), 2u);
    EXPECT_EQ(fileItems[0], m_app->menuElement({0, 0}));
    EXPECT_EQ(plist(fileItems[0], kAXMenuItemCmdCharAttribute), cf::Value("O"));
    EXPECT_EQ(plist(fileItems[1], kAXEnabledAttribute), cf::Value(false));
    EXPECT_EQ(plist(fileItems[1], kAXMenuItemCmdCharAttribute), cf::Value(""));
    EXPECT_TRUE(children(fileItems[0]).empty());
    EXPECT_EQ(plist(m_app->menuElement({1, 0}), kAXMenuItemMarkCharAttribute), cf::Value("✓"));
    AXAttributeValue size;
    ASSERT_EQ(ask(items[1], kAXSizeAttribute, &size), kAXErrorSuccess);
    cg::CGSize extent;
    ASSERT_TRUE(AXValueGetValue(std::get<AXValueRef>(size), kAXValueCGSizeType, &extent));
    EXPECT_EQ(extent.width, 36);

    // A new menu bar: new ids; the old ones are gone.
    m_app->setMenuBar({edit});
    AXAttributeValue gone;
    EXPECT_EQ(ask(items[0], kAXTitleAttribute, &gone), kAXErrorInvalidUIElement);
    EXPECT_NE(m_app->menuElement({0}), items[1]);
    EXPECT_EQ(m_app->menuElement({5}), 0u);
}

TEST_F(FakeApplication, QueriesAndActionsAreRoutedToTheOwner) {
    m_app = AXFakeApplication::create("Fake Editor", "com.example.FakeEditor");
    ASSERT_TRUE(m_app);
    const uint32_t window = m_app->addWindow("Notes", cg::CGRectMake(0, 0, 10, 10));
    m_app->addWindow("Other", cg::CGRectMake(20, 0, 10, 10));
    AXFakeMenuItem open{"Open…", true, "O", "", {}, {}, {}};
    AXFakeMenuItem quit{"Quit", false, "", "", {}, {}, {}};
    m_app->setMenuBar({AXFakeMenuItem{"File", true, "", "", {}, {}, {open, quit}}});
    const uint64_t openItem = m_app->menuElement({0, 0});
    const uint64_t quitItem = m_app->menuElement({0, 1});

    std::vector<std::string> names;
    ASSERT_EQ(onAnotherThread([&] { return AXUIElementCopyAttributeNames(element(0), &names); }),
              kAXErrorSuccess);
    EXPECT_NE(std::find(names.begin(), names.end(), "AXMenuBar"), names.end());
    int64_t count = -1;
    ASSERT_EQ(onAnotherThread(
                  [&] { return AXUIElementGetAttributeValueCount(element(0), kAXWindowsAttribute, &count); }),
              kAXErrorSuccess);
    EXPECT_EQ(count, 2);
    AXAttributeValue values;
    ASSERT_EQ(onAnotherThread([&] {
                  return AXUIElementCopyAttributeValues(element(0), kAXWindowsAttribute, 1, 99999, &values);
              }),
              kAXErrorSuccess);
    ASSERT_EQ(std::get<std::vector<AXUIElementRef>>(values).size(), 1u);
    ASSERT_EQ(onAnotherThread([&] {
                  return AXUIElementCopyAttributeValues(element(0), kAXWindowsAttribute, 0, 1, &values);
              }),
              kAXErrorSuccess);
    ASSERT_EQ(std::get<std::vector<AXUIElementRef>>(values).size(), 1u);
    EXPECT_EQ(std::get<std::vector<AXUIElementRef>>(values)[0]->id, window);
    EXPECT_EQ(AXUIElementCopyAttributeValues(element(0), kAXWindowsAttribute, -1, 1, &values),
              kAXErrorIllegalArgument);
    // A count of what is no array.
    EXPECT_EQ(onAnotherThread(
                  [&] { return AXUIElementGetAttributeValueCount(element(0), kAXTitleAttribute, &count); }),
              kAXErrorIllegalArgument);

    std::string description;
    ASSERT_EQ(onAnotherThread([&] {
                  return AXUIElementCopyActionDescription(element(openItem), kAXPressAction, &description);
              }),
              kAXErrorSuccess);
    EXPECT_EQ(description, "press");
    std::vector<std::string> actions;
    ASSERT_EQ(onAnotherThread([&] { return AXUIElementCopyActionNames(element(openItem), &actions); }),
              kAXErrorSuccess);
    EXPECT_EQ(actions, std::vector<std::string>{"AXPress"});

    // Pressing: an enabled item is pressed after the answer; a disabled one cannot be.
    EXPECT_EQ(onAnotherThread([&] { return AXUIElementPerformAction(element(openItem), kAXPressAction); }),
              kAXErrorSuccess);
    EXPECT_EQ(onAnotherThread([&] { return AXUIElementPerformAction(element(quitItem), kAXPressAction); }),
              kAXErrorCannotComplete);
    EXPECT_EQ(m_app->pressedMenuItems(), std::vector<uint64_t>{openItem});

    // Frontmost and main.
    EXPECT_EQ(onAnotherThread([&] {
                  return AXUIElementSetAttributeValue(element(0), kAXFrontmostAttribute, cf::Value(true));
              }),
              kAXErrorSuccess);
    EXPECT_TRUE(m_app->frontmost());
    EXPECT_EQ(onAnotherThread([&] {
                  return AXUIElementSetAttributeValue(element(window), kAXMainAttribute, cf::Value(true));
              }),
              kAXErrorSuccess);
    EXPECT_EQ(m_app->mainWindow(), window);
}

TEST_F(FakeApplication, WindowPictureIsTransparentUntilFilled) {
    m_app = AXFakeApplication::create("Fake Editor", "com.example.FakeEditor");
    ASSERT_TRUE(m_app);
    const uint32_t window = m_app->addWindow("Notes", cg::CGRectMake(100, 100, 40, 30));
    ASSERT_NE(window, 0u);
    auto pixelAt = [&](size_t x, size_t y) {
        m_kernel->windowServer()->sync();
        cg::CGImageRef image = cg::CGWindowListCreateImage(
            cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, window,
            cg::kCGWindowImageBoundsIgnoreFraming | cg::kCGWindowImageNominalResolution);
        EXPECT_TRUE(image);
        if (!image) return std::array<uint8_t, 4>{};
        EXPECT_EQ(image->width, 40u);
        const uint8_t* p = image->bytes.get() + y * image->bytesPerRow + 4 * x;
        return std::array<uint8_t, 4>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(pixelAt(5, 5), (std::array<uint8_t, 4>{0, 0, 0, 0}));
    ASSERT_TRUE(m_app->fillWindow(window, 0xFF2040C0));
    EXPECT_EQ(pixelAt(39, 29), (std::array<uint8_t, 4>{0xC0, 0x40, 0x20, 0xFF}));
    EXPECT_FALSE(m_app->fillWindow(window + 1000, 0xFFFFFFFF));
}

TEST_F(FakeApplication, FrontmostMakesItTheWindowServersActiveApplication) {
    m_app = AXFakeApplication::create("Fake Editor", "com.example.FakeEditor");
    auto other = AXFakeApplication::create("Dock", "com.example.Dock");
    ASSERT_TRUE(m_app && other);
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 0);
    // Set false, nothing changes; set true, it is the active application, as the facade and
    // the window server both say, until another one is made active.
    ASSERT_EQ(onAnotherThread([&] {
                  return AXUIElementSetAttributeValue(element(0), kAXFrontmostAttribute, cf::Value(false));
              }),
              kAXErrorSuccess);
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 0);
    ASSERT_EQ(onAnotherThread([&] {
                  return AXUIElementSetAttributeValue(element(0), kAXFrontmostAttribute, cf::Value(true));
              }),
              kAXErrorSuccess);
    EXPECT_TRUE(m_app->frontmost());
    EXPECT_EQ(cg::CGSActiveApplicationPID(), m_app->pid());
    ASSERT_EQ(cg::CGSActivateApplicationOfPID(other->pid()), cg::kCGErrorSuccess);
    EXPECT_EQ(cg::CGSActiveApplicationPID(), other->pid());
    // A window of it asked to be frontmost is no application: nothing changes.
    const uint32_t window = m_app->addWindow("Notes", cg::CGRectMake(0, 0, 10, 10));
    onAnotherThread([&] {
        return AXUIElementSetAttributeValue(element(window), kAXFrontmostAttribute, cf::Value(true));
    });
    EXPECT_EQ(cg::CGSActiveApplicationPID(), other->pid());
    other.reset();
}

} // namespace
} // namespace ax
