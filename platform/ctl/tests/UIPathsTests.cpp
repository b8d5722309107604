// The ui verbs' own grammar: element paths, key names with U.S. key codes, typed characters, tree
// lines and error names.
#include "platform/coregraphics/CGEvent.h"
#include "platform/ctl/Platformctl.h"
#include "platform/ctl/UIPaths.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ctl::ui {

TEST(PlatformctlUIPaths, SplitSegmentsOfEveryFormWithQuotedSlashesAndIndexes) {
    std::string error;
    auto path =
        parsePath("window \"A/B \\\"C\\\"\"/#connect[2]/\"Demo iPad\"/item[1]/menuitem \"Quit\"", error);
    ASSERT_TRUE(path) << error;
    ASSERT_EQ(path->size(), 5u);
    EXPECT_EQ((*path)[0].kind, PathSegment::Role);
    EXPECT_EQ((*path)[0].kindName, "window");
    EXPECT_EQ((*path)[0].text, "A/B \"C\"");
    EXPECT_EQ((*path)[1].kind, PathSegment::Identifier);
    EXPECT_EQ((*path)[1].identifier, "connect");
    EXPECT_EQ((*path)[1].index, 2u);
    EXPECT_EQ((*path)[2].kind, PathSegment::Text);
    EXPECT_EQ((*path)[2].text, "Demo iPad");
    EXPECT_EQ((*path)[3].kindName, "item");
    EXPECT_FALSE((*path)[3].text);
    EXPECT_EQ((*path)[3].index, 1u);
    EXPECT_EQ((*path)[4].text, "Quit");
    for (const char* bad : {"", "#", "/", "window/", "window \"x", "windows", "button[", "button[]",
                            "button[-1]", "button[1234567]", "button x", "#a//#b", "\"x\"y"}) {
        error.clear();
        EXPECT_FALSE(parsePath(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(PlatformctlUIPaths, TheStartOfATreeLineIsASegment) {
    std::string error;
    auto path =
        parsePath("AXWindow/AXStandardWindow \"Prefs\"/AXGroup/AXButton #connectButton \"Connect\"[1]/"
                  "AXButton/AXCloseButton/item #row",
                  error);
    ASSERT_TRUE(path) << error;
    ASSERT_EQ(path->size(), 5u);
    EXPECT_EQ((*path)[0].role, "AXWindow");
    EXPECT_EQ((*path)[0].subrole, "AXStandardWindow");
    EXPECT_EQ((*path)[0].text, "Prefs");
    EXPECT_EQ((*path)[1].role, "AXGroup") << "a slash before a role that is no subrole parts segments";
    EXPECT_EQ((*path)[1].subrole, "");
    EXPECT_EQ((*path)[2].role, "AXButton");
    EXPECT_EQ((*path)[2].identifier, "connectButton");
    EXPECT_EQ((*path)[2].text, "Connect");
    EXPECT_EQ((*path)[2].index, 1u);
    EXPECT_EQ((*path)[3].subrole, "AXCloseButton");
    EXPECT_EQ((*path)[4].kindName, "item");
    EXPECT_EQ((*path)[4].identifier, "row");
    for (const char* bad : {"AX", "AXButton #", "AXButton/", "button #/x"}) {
        error.clear();
        EXPECT_FALSE(parsePath(bad, error)) << bad;
    }
}

TEST(PlatformctlUIPaths, HelpNamesEveryKindAndKey) {
    const std::string help = kPathAndKeyHelp;
    for (const char* word : {"#ident", "[n]", "item[1]", "AXRole[/AXSubrole]", "closebutton", "statusitem",
                             "menuitem", "cmd+", "escape", "f12", "--text"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(PlatformctlUIPaths, KeysTakeUSKeyCodesAndModifiersInAnyOrderOnce) {
    std::string error;
    auto k = parseKey("cmd+shift+w", error);
    ASSERT_TRUE(k) << error;
    EXPECT_EQ(k->keyCode, 13);
    EXPECT_EQ(k->flags, cg::kCGEventFlagMaskCommand | cg::kCGEventFlagMaskShift);
    k = parseKey("ctrl+option+f12", error);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->keyCode, 111);
    EXPECT_EQ(k->flags, cg::kCGEventFlagMaskControl | cg::kCGEventFlagMaskAlternate);
    const std::pair<const char*, uint16_t> keys[] = {
        {"a", 0},      {"z", 6},       {"0", 29},   {"1", 18},     {"5", 23},      {"=", 24},
        {"-", 27},     {"]", 30},      {"'", 39},   {"\\", 42},    {",", 43},      {"/", 44},
        {"`", 50},     {"return", 36}, {"tab", 48}, {"space", 49}, {"delete", 51}, {"escape", 53},
        {"left", 123}, {"up", 126},    {"f1", 122}, {"f5", 96}};
    for (auto& [name, code] : keys) {
        auto key = parseKey(name, error);
        ASSERT_TRUE(key) << name;
        EXPECT_EQ(key->keyCode, code) << name;
        EXPECT_EQ(key->flags, 0u) << name;
    }
    for (const char* bad : {"", "cmd+", "cmd+cmd+a", "hyper+a", "A", "!", "f13", "returns", "é", "cmd+shift"})
        EXPECT_FALSE(parseKey(bad, error)) << bad;
    EXPECT_EQ(keyForCharacter('!')->keyCode, 18);
    EXPECT_EQ(keyForCharacter('!')->flags, cg::kCGEventFlagMaskShift);
    EXPECT_EQ(keyForCharacter('W')->keyCode, 13);
    EXPECT_EQ(keyForCharacter('w')->flags, 0u);
    EXPECT_EQ(keyForCharacter('\n')->keyCode, 36);
    EXPECT_FALSE(keyForCharacter(0xE9));
    EXPECT_FALSE(keyForCharacter(0));
    auto mods = modifierKeys(cg::kCGEventFlagMaskControl | cg::kCGEventFlagMaskCommand);
    ASSERT_EQ(mods.size(), 2u);
    EXPECT_EQ(mods[0].first, 55);
    EXPECT_EQ(mods[1].first, 59);
}

TEST(PlatformctlUIPaths, TreeLinesShowWhatIsSetAndErrorsTheirNames) {
    Element e;
    e.ref = std::make_shared<const ax::AXUIElement>(ax::AXUIElement{42, 17});
    e.role = "AXCheckBox";
    e.subrole = "AXSwitch";
    e.identifier = "remember";
    e.title = "Remember";
    e.value = cf::Value(int64_t(1));
    e.enabled = false;
    e.focused = true;
    e.frame = cg::CGRectMake(10.5, 20, 100, 18);
    EXPECT_EQ(
        treeLine(e),
        "AXCheckBox/AXSwitch #remember \"Remember\" value=\"1\" disabled focused frame=10.5,20,100,18 id=17");
    Element bare;
    bare.ref = std::make_shared<const ax::AXUIElement>(ax::AXUIElement{42, 3});
    bare.role = "AXGroup";
    EXPECT_EQ(treeLine(bare), "AXGroup frame=0,0,0,0 id=3");
    EXPECT_EQ(valueText(cf::Value(true)), "1");
    EXPECT_EQ(valueText(cf::Value(0.25)), "0.25");
    EXPECT_EQ(errorName(-25204), "kAXErrorCannotComplete");
    EXPECT_EQ(errorName(-25202), "kAXErrorInvalidUIElement");
    EXPECT_EQ(errorName(-25201), "kAXErrorIllegalArgument");
    EXPECT_EQ(errorName(-1), "AXError -1");
}

TEST(PlatformctlUIPaths, UsageErrorsComeFirstAndAMissingPlatformdIsThree) {
    std::ostringstream out, err;
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--root", "/tmp/no-such-platformd-root"});
        return Platformctl(out, err).run(args);
    };
    EXPECT_EQ(run({"ui"}), 2);
    EXPECT_EQ(run({"ui", "tree", "App", "window \"open"}), 2);
    EXPECT_EQ(run({"ui", "key", "App", "cmd+nosuch"}), 2);
    EXPECT_EQ(run({"ui", "press", "App", "#a", "--action", "AXNothing"}), 2);
    EXPECT_EQ(run({"ui", "wait", "App", "#a", "--gone", "--enabled"}), 2);
    EXPECT_EQ(run({"ui", "list"}), 3);
    EXPECT_EQ(run({"ui", "tree", "App", "#a"}), 3);
}

} // namespace ctl::ui
