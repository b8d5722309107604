// The fixture road: platformd launches UIFixture.app, built of the real controls, and
// `platformctl ui` operates it as a user would — presses, a switch bound to a model, typing,
// a sorted collection, the pointer's tracking area, a modal alert answered while it blocks, a
// popover, a status item's menu, Command-W — while the display shows its window over the
// desktop until it closes, and its windows go with the process.
#include "platform/coregraphics/CGWindow.h"
#include "platform/ctl/tests/UITestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>
#include <utility>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr char kApp[] = "UI Fixture";
constexpr uint32_t kDesktop = 0x3A6EA5;
// A window's content and title bar where nothing is drawn over them.
constexpr uint32_t kWindowGrey = 0xECECEC, kTitleBarGrey = 0xD6D6D6;

using uitest::centrePixel;
using uitest::pixelOf;

// The frame=X,Y,W,H of a tree line.
std::vector<double> frameOf(const std::string& line) {
    std::vector<double> numbers;
    auto at = line.find(" frame=");
    if (at == std::string::npos) return numbers;
    std::istringstream in(line.substr(at + 7));
    for (double v; numbers.size() < 4 && in >> v; in.ignore(1))
        numbers.push_back(v);
    return numbers;
}

class UIFixtureRoad : public uitest::UIAppTest {
  protected:
    UIFixtureRoad() : UIAppTest(kApp) {}
    void SetUp() override {
        UIAppTest::SetUp();
        // Launched by platformd, as a user's double click would: not this test's child.
        ASSERT_EQ(run({"launch", UIFIXTURE_BUNDLE}), 0) << m_err.str();
        m_pid = std::stoi(m_out.str());
        ASSERT_GT(m_pid, 0) << m_out.str();
        ASSERT_EQ(run({"ui", "wait", kApp, "#pressMe", "--timeout", "60"}), 0) << m_err.str();
    }
    void TearDown() override {
        if (m_pid > 0) ::kill(m_pid, SIGKILL);
        UIAppTest::TearDown();
    }
    // The main display's pixel at a Core Graphics point once it satisfies the condition. No
    // event announces a composition (platformd composes at its own vertical blank), so the
    // display is read again until it does; the bound only keeps a broken run from hanging.
    uint32_t displayPixelOnce(double x, double y, const std::function<bool(uint32_t)>& wanted) {
        const std::string file = m_platformd->root() + "/display.png";
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        uint32_t rgb = 0xDEADBEEF;
        do {
            if (run({"read-display", "1", "--png", file}) != 0) return 0xDEADBEEF;
            rgb = pixelOf(file, x, y);
            if (wanted(rgb)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < bound);
        return rgb;
    }
    // An owner's windows in platformd's window list.
    static size_t windowsOf(pid_t owner) {
        auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionAll, 0);
        size_t n = 0;
        for (size_t i = 0; list && i < list->count(); ++i)
            if (auto pid = list->at(i)->objectForKey(cg::kCGWindowOwnerPID);
                pid && pid->integerValue() == owner)
                ++n;
        return n;
    }

    pid_t m_pid = -1;
};

TEST_F(UIFixtureRoad, ListsTheFixtureAndPrintsItsControls) {
    ASSERT_EQ(run({"ui", "list"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), ::testing::ContainsRegex(
                                 std::to_string(m_pid) +
                                 "\tcom.quenby.tests.UIFixture\tUI Fixture\t(active|-)\twindows=[0-9]+\n"));
    // Active as the window server has it, once a key activates the fixture.
    ASSERT_EQ(run({"ui", "key", kApp, "tab"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "list"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(),
                HasSubstr(std::to_string(m_pid) + "\tcom.quenby.tests.UIFixture\tUI Fixture\tactive\t"));
    ASSERT_EQ(run({"ui", "tree", kApp}), 0) << m_err.str();
    const std::string tree = m_out.str();
    EXPECT_THAT(tree, StartsWith("AXApplication \"UI Fixture\" frame=0,0,0,0 id=0\n"));
    EXPECT_THAT(tree, HasSubstr("\n  AXWindow/AXStandardWindow \"UI Fixture\" focused frame=100,"));
    EXPECT_THAT(tree, HasSubstr("\n    AXButton #pressMe \"Press Me\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXCheckBox #switch \"Enabled\" value=\"0\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXTextField #field value=\"\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXGroup #hoverBox value=\"outside\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXList #devices frame="));
    EXPECT_THAT(tree, HasSubstr("\n  AXMenuBar/AXExtrasMenuBar frame="));
    EXPECT_THAT(line("statusitem"), StartsWith("AXMenuBarItem #statusItem \"Fixture\" frame="));
    // Given unsorted, shown sorted by name through the array controller.
    const size_t alpha = tree.find("\"Alpha iPad\""), demo = tree.find("\"Demo iPad\""),
                 other = tree.find("\"Other iPad\"");
    ASSERT_NE(other, std::string::npos) << tree;
    EXPECT_LT(alpha, demo);
    EXPECT_LT(demo, other);
    EXPECT_THAT(line("#devices/item[0]"), StartsWith("AXGroup"));
    EXPECT_EQ(run({"ui", "tree", kApp, "#devices/item[0]/\"Alpha iPad\""}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "tree", kApp, "#devices/item[2]/\"Other iPad\""}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "tree", kApp, "#devices/item[3]"}), 1);
}

TEST_F(UIFixtureRoad, CountsSwitchesEchoesAndShowsAPopover) {
    ASSERT_EQ(run({"ui", "press", kApp, "#pressMe"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#count", "--value", "1"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), StartsWith("AXStaticText #count value=\"1\" frame="));

    // The switch writes the model before its action reads it.
    ASSERT_EQ(run({"ui", "press", kApp, "#switch"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#switch", "--value", "1"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#modelState", "--value", "on"}), 0) << m_err.str();

    ASSERT_EQ(run({"ui", "set", kApp, "#field", "hello fixture"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "hello fixture"}), 0) << m_err.str();

    ASSERT_EQ(run({"ui", "press", kApp, "#popoverButton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "popover/#popoverLabel"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), StartsWith("AXStaticText #popoverLabel value=\"In the popover\" frame="));
}

TEST_F(UIFixtureRoad, AnswersTheAlertWhileItsModalLoopBlocks) {
    ASSERT_EQ(run({"ui", "press", kApp, "#alertButton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Fixture alert\""}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), StartsWith("AXWindow/AXDialog \"Fixture alert\""));
    // The loop refuses the window under it, and answers for the alert's buttons.
    EXPECT_EQ(run({"ui", "press", kApp, "#pressMe"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorCannotComplete"));
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Fixture alert\"/button \"Cancel\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "answered 1001"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Fixture alert\"", "--gone"}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "press", kApp, "#pressMe"}), 0) << m_err.str();

    // Keys answer it too: Escape its "Cancel", Return its first button.
    ASSERT_EQ(run({"ui", "press", kApp, "#alertButton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Fixture alert\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "key", kApp, "return"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "answered 1000"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "press", kApp, "#alertButton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Fixture alert\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "key", kApp, "escape"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "answered 1001"}), 0) << m_err.str();
}

TEST_F(UIFixtureRoad, ChoosesFromTheStatusItemsMenu) {
    ASSERT_EQ(run({"ui", "menu", kApp, "statusitem \"Fixture\""}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "menuitem \"Alpha\"\nmenuitem \"Beta\"\n");
    ASSERT_EQ(run({"ui", "menu", kApp, "--choose", "Beta"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "Beta"}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "wait", kApp, "menu", "--gone"}), 0);
    ASSERT_EQ(run({"ui", "menu", kApp, "statusitem", "--choose", "Alpha"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "Alpha"}), 0) << m_err.str();
}

TEST_F(UIFixtureRoad, HoverTurnsTheBoxRedAndLeavingTurnsItGreen) {
    ASSERT_EQ(run({"ui", "hover", kApp, "#hoverBox"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#hoverBox", "--value", "inside"}), 0) << m_err.str();
    const std::string file = m_platformd->root() + "/box.png";
    ASSERT_EQ(run({"ui", "snapshot", kApp, "#hoverBox", "--png", file}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), file + " 100x100\n");
    EXPECT_EQ(centrePixel(file), 0xFF0000u);

    const auto window = frameOf(line("window \"UI Fixture\""));
    ASSERT_EQ(window.size(), 4u);
    ASSERT_EQ(run({"ui", "hover", "--at", std::to_string(window[0] + 20), std::to_string(window[1] + 60)}), 0)
        << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#hoverBox", "--value", "outside"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "snapshot", kApp, "#hoverBox", "--png", file}), 0) << m_err.str();
    EXPECT_EQ(centrePixel(file), 0x00FF00u);
}

TEST_F(UIFixtureRoad, CommandWClosesTheWindowAndTheDesktopShowsAgain) {
    const auto window = frameOf(line("window \"UI Fixture\""));
    ASSERT_EQ(window.size(), 4u);
    // Inside the content, clear of every control: the window's grey over the desktop.
    const double x = window[0] + window[2] - 10, y = window[1] + window[3] - 10;
    auto is = [](uint32_t wanted) { return [wanted](uint32_t c) { return c == wanted; }; };
    EXPECT_EQ(displayPixelOnce(x, y, is(kWindowGrey)), kWindowGrey);
    EXPECT_EQ(displayPixelOnce(x, window[1] + 10, is(kTitleBarGrey)), kTitleBarGrey);
    EXPECT_EQ(displayPixelOnce(window[0] - 5, y, is(kDesktop)), kDesktop);

    ASSERT_EQ(run({"ui", "key", kApp, "cmd+w"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"UI Fixture\"", "--gone"}), 0) << m_err.str();
    EXPECT_EQ(displayPixelOnce(x, y, is(kDesktop)), kDesktop);
    EXPECT_EQ(displayPixelOnce(x, window[1] + 10, is(kDesktop)), kDesktop);
}

TEST_F(UIFixtureRoad, KillingTheFixtureClearsItsWindows) {
    EXPECT_GE(windowsOf(m_pid), 2u); // the window and the status item's
    const pid_t pid = std::exchange(m_pid, -1);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_EQ(run({"ui", "wait", std::to_string(pid), "window", "--gone", "--timeout", "20"}), 0)
        << m_err.str();
    EXPECT_EQ(windowsOf(pid), 0u);
    ASSERT_EQ(run({"ui", "list"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), ::testing::Not(HasSubstr(std::to_string(pid) + "\t")));
}

} // namespace
