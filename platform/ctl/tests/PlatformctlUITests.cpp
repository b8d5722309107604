// `platformctl ui` against a real application process (UITestApp.app) on a private platformd:
// listing, trees, presses, settings, waits, menus, the pointer, keys and snapshots, and the
// refusals of hostile and bad input.
#include "platform/ctl/Platformctl.h"
#include "platform/ctl/UIPaths.h"
#include "platform/ctl/tests/UITestSupport.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/PNG.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr char kApp[] = "UI Test App";

class PlatformctlUI : public uitest::UIAppTest {
  protected:
    PlatformctlUI() : UIAppTest(kApp) {}
    void SetUp() override {
        UIAppTest::SetUp();
        ASSERT_TRUE(m_app.start({UITESTAPP_BUNDLE "/Contents/MacOS/UITestApp"}, m_platformd->root() + "/app.log"));
        ASSERT_EQ(run({"ui", "wait", kApp, "#pressMe", "--timeout", "60"}), 0)
            << m_err.str() << platformd::testing::readFile(m_platformd->root() + "/app.log");
    }

    platformd::testing::ChildProcess m_app;
};

TEST_F(PlatformctlUI, ListsTheApplicationAndPrintsItsTree) {
    ASSERT_EQ(run({"ui", "list"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), HasSubstr(std::to_string(m_app.pid()) +
                                       "\tcom.quenby.tests.UITestApp\tUI Test App\t-\twindows=2\n"));
    ASSERT_EQ(run({"ui", "tree", kApp}), 0) << m_err.str();
    const std::string tree = m_out.str();
    EXPECT_THAT(tree, StartsWith("AXApplication \"UI Test App\" frame=0,0,0,0 id=0\n"));
    EXPECT_THAT(tree, HasSubstr("\n  AXWindow/AXStandardWindow \"UI Test\" focused frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXButton #pressMe \"Press Me\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXButton #off \"Off\" disabled frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXSlider #slider value=\"5\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXGroup #hoverBox value=\"outside\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n  AXWindow/AXStandardWindow \"Tools\" frame="));
    EXPECT_THAT(tree, HasSubstr("\n    AXList #devices frame="));
    EXPECT_THAT(tree, HasSubstr("\n      AXGroup frame="));
    EXPECT_THAT(tree, HasSubstr("\n        AXStaticText \"Demo iPad\" frame="));
    // The window's frame is the window list's (Core Graphics space), and a view sits inside it.
    EXPECT_THAT(line("window \"UI Test\""), HasSubstr(" frame=100,"));
    EXPECT_THAT(line("window \"UI Test\"/#pressMe"), StartsWith("AXButton #pressMe \"Press Me\" frame=110,"));
    EXPECT_EQ(line("\"Unblock\""), line("window \"Tools\"/button[1]"));
    // What the tree prints is a path: roles, subroles, identifiers and titles as listed.
    EXPECT_EQ(line("AXWindow/AXStandardWindow \"UI Test\"/AXButton #pressMe \"Press Me\""),
              line("window \"UI Test\"/#pressMe"));
    EXPECT_EQ(line("AXList #devices/AXGroup[1]"), line("#devices/item[1]"));
    EXPECT_EQ(run({"ui", "tree", kApp, "AXButton #pressMe \"Off\""}), 1) << "every part must match";
    ASSERT_EQ(run({"ui", "tree", kApp, "--depth", "1"}), 0);
    const std::string shallow = m_out.str();
    EXPECT_EQ(std::count(shallow.begin(), shallow.end(), '\n'), 4) << shallow;
    EXPECT_THAT(shallow, HasSubstr("\n  AXMenuBar/AXExtrasMenuBar frame="));
}

TEST_F(PlatformctlUI, PressesSetsAndWaitsForWhatFollows) {
    ASSERT_EQ(run({"ui", "press", kApp, "#pressMe"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#count", "--value", "1"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), StartsWith("AXStaticText #count value=\"1\" frame="));
    ASSERT_EQ(run({"ui", "set", kApp, "#field", "hello there"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "hello there"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "set", kApp, "#slider", "9"}), 0) << m_err.str();
    EXPECT_THAT(line("#slider"), HasSubstr("value=\"9\""));
    ASSERT_EQ(run({"ui", "wait", kApp, "#off", "--disabled"}), 0);
    EXPECT_EQ(run({"ui", "wait", kApp, "#off", "--enabled", "--timeout", "0.1"}), 4);
    EXPECT_EQ(run({"ui", "wait", kApp, "#nothing", "--timeout", "0.1"}), 4);
    ASSERT_EQ(run({"ui", "press", kApp, "#vanish"}), 0);
    ASSERT_EQ(run({"ui", "wait", kApp, "#vanish", "--gone"}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "press", kApp, "window \"Tools\"", "--action", "AXRaise"}), 0) << m_err.str();
    EXPECT_THAT(line("window \"Tools\""), HasSubstr(" focused "));
}

TEST_F(PlatformctlUI, FindsItemsByTheTextTheyHoldAndElementsByPosition) {
    ASSERT_EQ(run({"ui", "press", kApp, "item \"Demo iPad\"/#connectButton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "item \"Demo iPad\"/button \"Disconnect\""}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), StartsWith("AXButton #connectButton \"Disconnect\" frame="));
    // The others kept theirs; [n] counts matches depth-first from 0.
    EXPECT_THAT(line("#devices/item[0]/#connectButton"), HasSubstr("\"Connect\""));
    EXPECT_THAT(line("#devices/item[2]/#connectButton"), HasSubstr("\"Connect\""));
    EXPECT_EQ(line("#devices/item[1]/#connectButton"), line("#connectButton[1]"));
    EXPECT_EQ(run({"ui", "tree", kApp, "#devices/item[3]"}), 1);
    EXPECT_EQ(run({"ui", "tree", kApp, "item \"Nobody's iPad\""}), 1);
    EXPECT_THAT(line("\"Other iPad\""), StartsWith("AXStaticText \"Other iPad\" frame="));

    // A closable window's close button closes it.
    EXPECT_THAT(line("window \"Tools\"/closebutton"), StartsWith("AXButton/AXCloseButton frame="));
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Tools\"/closebutton"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Tools\"", "--gone"}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "tree", kApp, "closebutton"}), 1);
}

TEST_F(PlatformctlUI, RefusesHostileAndBadInputWithItsOwnStatus) {
    for (const char* path : {"#", "window \"open", "bogus", "button[x]", "button/", "#a/[2]"})
        EXPECT_EQ(run({"ui", "tree", kApp, path}), 2) << path;
    EXPECT_EQ(run({"ui", "key", kApp, "cmd+nosuch"}), 2);
    EXPECT_EQ(run({"ui", "key", kApp, "cmd+"}), 2);
    EXPECT_EQ(run({"ui", "press", kApp, "#pressMe", "--action", "AXExplode"}), 2);
    EXPECT_EQ(run({"ui", "frobnicate"}), 2);
    EXPECT_EQ(run({"ui", "click", "--at", "nan", "3"}), 2);
    EXPECT_EQ(run({"ui", "tree", "No Such App"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("no application No Such App"));
    EXPECT_EQ(run({"ui", "press", kApp, "#nothing"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("no element #nothing"));

    EXPECT_EQ(run({"ui", "press", kApp, "#off"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorCannotComplete"));
    EXPECT_EQ(run({"ui", "set", kApp, "#slider", "high"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorIllegalArgument"));
    EXPECT_THAT(line("#slider"), HasSubstr("value=\"5\""));
    EXPECT_EQ(run({"ui", "set", kApp, "#count", "7"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorAttributeUnsupported"));

    // Blocked by a modal state: refused until it ends; other windows still answer.
    ASSERT_EQ(run({"ui", "press", kApp, "#block"}), 0);
    EXPECT_EQ(run({"ui", "press", kApp, "#pressMe"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorCannotComplete"));
    ASSERT_EQ(run({"ui", "press", kApp, "#unblock"}), 0) << m_err.str();
    EXPECT_EQ(run({"ui", "press", kApp, "#pressMe"}), 0) << m_err.str();

    // Gone: the process ended, its pid answers for nothing.
    const pid_t pid = m_app.pid();
    m_app.signal(SIGKILL);
    ASSERT_TRUE(m_app.wait(20));
    EXPECT_EQ(run({"ui", "wait", std::to_string(pid), "window", "--gone", "--timeout", "20"}), 0)
        << m_err.str();
    EXPECT_EQ(run({"ui", "tree", std::to_string(pid)}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorInvalidUIElement"));
}

TEST_F(PlatformctlUI, OpensAMenuListsItsItemsAndChoosesOne) {
    EXPECT_EQ(run({"ui", "menu", kApp, "--timeout", "0.1"}), 4); // none open
    ASSERT_EQ(run({"ui", "menu", kApp, "#menuButton"}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "menuitem \"Alpha\"\nmenuitem \"Beta\" disabled\nmenuitem \"Gamma\" checked\n");
    EXPECT_EQ(run({"ui", "menu", kApp, "--choose", "Beta"}), 1);
    EXPECT_THAT(m_err.str(), HasSubstr("kAXErrorCannotComplete"));
    EXPECT_EQ(run({"ui", "menu", kApp, "--choose", "Delta"}), 1);
    ASSERT_EQ(run({"ui", "menu", kApp, "--choose", "Alpha"}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "menuitem \"Alpha\"\n") << "the item chosen, not the whole menu";
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "Alpha"}), 0);
    EXPECT_EQ(run({"ui", "wait", kApp, "menu", "--gone"}), 0);
    // A status item's menu, chosen from in one go.
    EXPECT_THAT(line("statusitem"), StartsWith("AXMenuBarItem #statusItem \"Status\" frame="));
    ASSERT_EQ(run({"ui", "menu", kApp, "statusitem \"Status\"", "--choose", "Gamma"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#echo", "--value", "Gamma"}), 0);
}

using uitest::centrePixel;

TEST_F(PlatformctlUI, HoversClicksAndSnapshotsWhatTheWindowShows) {
    const std::string owner = " pid " + std::to_string(m_app.pid()) + "\n";
    ASSERT_EQ(run({"ui", "hover", kApp, "#hoverBox"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), ::testing::MatchesRegex("window [0-9]+" + owner));
    ASSERT_EQ(run({"ui", "wait", kApp, "#hoverBox", "--value", "inside"}), 0) << m_err.str();
    const std::string file = m_platformd->root() + "/box.png";
    ASSERT_EQ(run({"ui", "snapshot", kApp, "#hoverBox", "--png", file}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), ::testing::MatchesRegex(file + " [0-9]+x[0-9]+\n"));
    EXPECT_EQ(centrePixel(file), 0xFF0000u);

    // Elsewhere (the other window): the box is left, and drawn green again.
    ASSERT_EQ(run({"ui", "click", kApp, "#unblock", "--count", "2"}), 0) << m_err.str();
    EXPECT_THAT(m_out.str(), ::testing::MatchesRegex("window [0-9]+" + owner));
    ASSERT_EQ(run({"ui", "wait", kApp, "#hoverBox", "--value", "outside"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "snapshot", kApp, "#hoverBox", "--png", file}), 0) << m_err.str();
    EXPECT_EQ(centrePixel(file), 0x00FF00u);
    // A whole window, and a window under another of the application's.
    ASSERT_EQ(run({"ui", "snapshot", kApp, "window \"Tools\"", "--png", file}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), file + " 200x122\n");
    ASSERT_EQ(run({"ui", "press", kApp, "window \"UI Test\"", "--action", "AXRaise"}), 0);
    ASSERT_EQ(run({"ui", "snapshot", kApp, "window \"UI Test\"", "--png", file}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), file + " 400x322\n");
    ASSERT_EQ(run({"ui", "hover", "--at", "-5000", "-5000"}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "window none\n");
    EXPECT_EQ(run({"ui", "snapshot", kApp, "#hoverBox"}), 2);
}

TEST_F(PlatformctlUI, HoverCountIsThatManyMoves) {
    auto moves = [&] {
        EXPECT_EQ(run({"events", "--kind", "cg-event"}), 0);
        const std::string log = m_out.str();
        size_t n = 0;
        for (size_t at = log.find("type=5"); at != std::string::npos; at = log.find("type=5", at + 1))
            ++n;
        return n;
    };
    const size_t before = moves();
    ASSERT_EQ(run({"ui", "hover", "--at", "20", "40", "--count", "3"}), 0) << m_err.str();
    EXPECT_EQ(moves(), before + 3);
    ASSERT_EQ(run({"ui", "hover", "--at", "30", "40"}), 0) << m_err.str();
    EXPECT_EQ(moves(), before + 4);
}

TEST_F(PlatformctlUI, KeysGoDownAndUpInsideTheirModifiersAfterActivating) {
    ASSERT_EQ(run({"events", "--kind", "cg-event"}), 0);
    const std::string earlier = m_out.str();
    const size_t before = std::count(earlier.begin(), earlier.end(), '\n');
    ASSERT_EQ(run({"ui", "key", kApp, "cmd+shift+w", "return"}), 0) << m_err.str();
    ASSERT_EQ(run({"events", "--kind", "cg-event"}), 0);
    std::vector<std::string> keys;
    std::istringstream lines(m_out.str());
    size_t n = 0;
    for (std::string l; std::getline(lines, l); ++n) {
        if (n < before) continue;
        keys.push_back(l.substr(l.find(" cg-event ") + 10));
    }
    ASSERT_EQ(keys.size(), 8u) << m_out.str();
    EXPECT_THAT(keys[0], HasSubstr("key=55"));
    EXPECT_THAT(keys[0], HasSubstr("type=10"));
    EXPECT_THAT(keys[1], HasSubstr("key=56"));
    EXPECT_THAT(keys[2], HasSubstr("key=13"));
    EXPECT_THAT(keys[2], HasSubstr("flags=1179648")); // Command and Shift
    EXPECT_THAT(keys[3], HasSubstr("type=11"));
    EXPECT_THAT(keys[4], HasSubstr("key=56"));
    EXPECT_THAT(keys[5], HasSubstr("key=55"));
    EXPECT_THAT(keys[6], HasSubstr("key=36"));
    EXPECT_THAT(keys[7], HasSubstr("flags=0"));
    // The application was activated through accessibility first.
    ASSERT_EQ(run({"events", "--kind", "accessibility"}), 0);
    EXPECT_THAT(m_out.str(), HasSubstr("attribute=AXFrontmost"));
}

} // namespace
