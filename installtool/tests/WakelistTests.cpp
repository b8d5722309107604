// Wakelist's every branch in-process, over a stand-in system: as the console user, as another
// user (the relaunch through sudo), with nobody at the console, and without the host installed.
#include "installtool/Wakelist.h"

#include <gtest/gtest.h>

#include <set>

namespace installtool {

namespace {

const std::string kSelf = "/pkgs/Tessel Test.pkg/Scripts/Wakelist";
const std::string kApplications = "/stand-in/Applications";
const std::string kHostURL = "file:///stand-in/Applications/Tessel%20Host.app/";

// The system as Wakelist sees it, recording what is asked of it. The machine's model, system
// version and display aliases decide the multiplexer answers as the shared foundation does.
struct FakeSystem {
    std::optional<std::string> console = "tester";
    std::string current = "tester";
    std::vector<std::string> folders{kApplications};
    std::map<std::string, std::string> environment{{"PATH", "/usr/bin:/bin"}, {"PLATFORM_ROOT", "/stand-in"}};
    std::optional<std::string> self = kSelf;
    std::set<std::string> bundles{kApplications + "/Tessel Host.app"};
    std::optional<int> taskStatus = 0; // nothing: the launch fails
    std::string model = "Macmini7,1";
    uint32_t systemVersion = 0x0A0C06;
    uint32_t aliases = 1;

    std::vector<TaskRequest> tasks;
    std::vector<std::string> loginItems;
    std::vector<uint32_t> mirroring;
    std::vector<uint32_t> muxSwitches;
    std::vector<std::string> lines;

    WakelistCollaborators collaborators() {
        WakelistCollaborators c;
        c.consoleUser = [this] { return console; };
        c.currentUser = [this] { return current; };
        c.applicationFolders = [this] { return folders; };
        c.environment = [this] { return environment; };
        c.ownPath = [this] { return self; };
        c.runTask = [this](const TaskRequest& task, platform::Error* error) {
            tasks.push_back(task);
            if (!taskStatus) platform::setError(error, platform::Error::posix(ENOENT));
            return taskStatus;
        };
        c.isApplicationBundle = [this](const std::string& path) { return bundles.count(path) > 0; };
        c.addAppAsLoginItem = [this](const std::string& url) { loginItems.push_back(url); };
        c.turnOffDisplayMirroringForSession = [this](uint32_t option) {
            mirroring.push_back(option);
            return 0;
        };
        c.computerHasXMuxGPUCapability = [this] { return aliases > 1; };
        c.computerHasXMuxGPUFreezeIssues = [this] {
            return (model == "MacBookPro6,1" || model == "MacBookPro6,2") && systemVersion < 0x0A0605;
        };
        c.setCurrentXMuxGPU = [this](uint32_t gpu) { muxSwitches.push_back(gpu); };
        c.log = [this](const std::string& line) { lines.push_back(line); };
        return c;
    }

    int run(std::vector<const char*> argv = {kSelf.c_str()}) {
        return wakelistMain(static_cast<int>(argv.size()), argv.data(), collaborators());
    }
    bool logged(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool touchedNothing() const {
        return tasks.empty() && loginItems.empty() && mirroring.empty() && muxSwitches.empty();
    }
};

const std::string kNotFound =
    "Wakelist: Could not install Tessel Host at install time because it was not found";
const std::string kPathNotFound =
    "Wakelist: Could not install Tessel Host at Install time because application path was not found";
const std::string kXMux = "Wakelist: Potentially turning off XMux graphics switching in MBP 6,n...";
const std::string kNoConsoleUser = "Wakelist: No console user; login item not set";

} // namespace

TEST(WakelistAsConsoleUser, SetsTheLoginItemAndTurnsMirroringOffInOrder) {
    FakeSystem system;
    EXPECT_EQ(system.run(), 0);
    EXPECT_EQ(system.lines,
              (std::vector<std::string>{
                  "main( 1, " + kSelf + "[0] )", "currentConsoleUser: tester currentUser: tester",
                  "Wakelist: Starting...", "Wakelist: Turning off mirroring...", "Wakelist: Ending..."}));
    EXPECT_EQ(system.loginItems, std::vector<std::string>{kHostURL});
    EXPECT_EQ(system.mirroring, std::vector<uint32_t>{2});
    EXPECT_TRUE(system.muxSwitches.empty());
    EXPECT_TRUE(system.tasks.empty());
}

TEST(WakelistAsConsoleUser, SwitchesTheMultiplexerOnlyOnTheFreezingNotebooksBefore1065) {
    FakeSystem freezing;
    freezing.model = "MacBookPro6,2";
    freezing.systemVersion = 0x0A0604;
    freezing.aliases = 2;
    EXPECT_EQ(freezing.run(), 0);
    EXPECT_EQ(freezing.muxSwitches, std::vector<uint32_t>{0});
    ASSERT_GE(freezing.lines.size(), 2u);
    EXPECT_EQ(freezing.lines[freezing.lines.size() - 2], kXMux);
    EXPECT_EQ(freezing.lines.back(), "Wakelist: Ending...");

    FakeSystem fixedSystem = FakeSystem{};
    fixedSystem.model = "MacBookPro6,2";
    fixedSystem.systemVersion = 0x0A0605;
    fixedSystem.aliases = 2;
    fixedSystem.run();
    EXPECT_TRUE(fixedSystem.muxSwitches.empty());
    EXPECT_FALSE(fixedSystem.logged(kXMux));

    FakeSystem noMultiplexer;
    noMultiplexer.model = "MacBookPro6,1";
    noMultiplexer.systemVersion = 0x0A0604;
    noMultiplexer.run();
    EXPECT_TRUE(noMultiplexer.muxSwitches.empty());
    EXPECT_FALSE(noMultiplexer.logged(kXMux));
}

TEST(WakelistAsConsoleUser, WithoutTheHostInstalledNoLoginItemButDisplaysAreStillHandled) {
    FakeSystem system;
    system.bundles.clear();
    system.model = "MacBookPro6,1";
    system.systemVersion = 0x0A0604;
    system.aliases = 2;
    EXPECT_EQ(system.run(), 0);
    EXPECT_TRUE(system.loginItems.empty());
    EXPECT_TRUE(system.logged(kNotFound));
    EXPECT_EQ(system.mirroring, std::vector<uint32_t>{2});
    EXPECT_EQ(system.muxSwitches, std::vector<uint32_t>{0});
}

TEST(WakelistAsConsoleUser, NoApplicationFolderSaysThePathWasNotFound) {
    for (auto folders : {std::vector<std::string>{}, std::vector<std::string>{""}}) {
        FakeSystem system;
        system.folders = folders;
        EXPECT_EQ(system.run(), 0);
        EXPECT_EQ(system.lines,
                  (std::vector<std::string>{"main( 1, " + kSelf + "[0] )",
                                            "currentConsoleUser: tester currentUser: tester",
                                            "Wakelist: Starting...", kPathNotFound,
                                            "Wakelist: Turning off mirroring...", "Wakelist: Ending..."}));
        EXPECT_TRUE(system.loginItems.empty());
        EXPECT_EQ(system.mirroring, std::vector<uint32_t>{2});
    }
}

TEST(WakelistAsConsoleUser, ArgumentsAreOnlyLogged) {
    FakeSystem many;
    EXPECT_EQ(many.run({kSelf.c_str(), "-u", "\xff\xfe", "--help", ""}), 0);
    EXPECT_EQ(many.lines.front(), "main( 5, " + kSelf + "[0] )");
    EXPECT_EQ(many.loginItems, std::vector<std::string>{kHostURL});

    FakeSystem none;
    EXPECT_EQ(wakelistMain(0, nullptr, none.collaborators()), 0);
    EXPECT_EQ(none.lines.front(), "main( 0, (null)[0] )");
    EXPECT_EQ(none.loginItems, std::vector<std::string>{kHostURL});
}

TEST(WakelistAsAnotherUser, RunsItselfAgainThroughSudoByItsOwnAbsolutePath) {
    FakeSystem system;
    system.current = "root";
    EXPECT_EQ(system.run({"./Wakelist"}), 0);
    ASSERT_EQ(system.tasks.size(), 1u);
    EXPECT_EQ(system.tasks[0].launchPath, "/usr/bin/sudo");
    EXPECT_EQ(system.tasks[0].arguments, (std::vector<std::string>{"-u", "tester", kSelf}));
    auto environment = system.environment;
    environment["WAKELIST_RELAUNCHED"] = "1";
    EXPECT_EQ(system.tasks[0].environment, environment);
    EXPECT_EQ(system.lines, (std::vector<std::string>{
                                "main( 1, ./Wakelist[0] )", "currentConsoleUser: tester currentUser: root",
                                "Launching task to set login items for console user",
                                "Wakelist: task ended with status 0", "Launched and waited for task"}));
    EXPECT_TRUE(system.loginItems.empty());
    EXPECT_TRUE(system.mirroring.empty());
}

TEST(WakelistAsAnotherUser, ExitsZeroWhateverTheChildDidOrWhenItCouldNotStart) {
    FakeSystem failing;
    failing.current = "root";
    failing.taskStatus = 1;
    EXPECT_EQ(failing.run(), 0);
    EXPECT_TRUE(failing.logged("Wakelist: task ended with status 1"));

    FakeSystem broken;
    broken.current = "root";
    broken.taskStatus = std::nullopt;
    EXPECT_EQ(broken.run(), 0);
    EXPECT_EQ(broken.tasks.size(), 1u);
    ASSERT_GE(broken.lines.size(), 2u);
    EXPECT_EQ(broken.lines[broken.lines.size() - 2], "Exception thrown while launching task");
    EXPECT_EQ(broken.lines.back(), "Launched and waited for task");

    FakeSystem lost;
    lost.current = "root";
    lost.self = std::nullopt;
    EXPECT_EQ(lost.run(), 0);
    EXPECT_TRUE(lost.tasks.empty());
    EXPECT_TRUE(lost.logged("Exception thrown while launching task"));
}

TEST(WakelistAsAnotherUser, ARelaunchedRunStillNotTheConsoleUserStartsNoOther) {
    FakeSystem system;
    system.current = "root";
    system.environment["WAKELIST_RELAUNCHED"] = "1";
    EXPECT_EQ(system.run(), 0);
    EXPECT_TRUE(system.logged("Wakelist: Still not the console user after relaunch"));
    EXPECT_TRUE(system.touchedNothing());

    // The relaunched run as the console user does its work.
    FakeSystem child;
    child.environment["WAKELIST_RELAUNCHED"] = "1";
    child.run();
    EXPECT_EQ(child.loginItems, std::vector<std::string>{kHostURL});
}

TEST(WakelistNoConsoleUser, NobodyOrAnOddNameLeavesEverythingAlone) {
    std::vector<std::optional<std::string>> nobody{std::nullopt, "",     "loginwindow",
                                                   "-rf",        "../x", std::string(300, 'a'),
                                                   ".hidden",    "a b",  "t\xc3\xa9ster"};
    for (const auto& console : nobody) {
        for (std::string current : {std::string("root"), console.value_or("root")}) {
            FakeSystem system;
            system.console = console;
            system.current = current;
            EXPECT_EQ(system.run(), 0);
            EXPECT_EQ(system.lines.back(), kNoConsoleUser) << console.value_or("(null)");
            EXPECT_TRUE(system.touchedNothing()) << console.value_or("(null)");
        }
    }
}

TEST(WakelistNoConsoleUser, PlainUserNamesAreShortLettersDigitsAndThreeMarks) {
    EXPECT_TRUE(isPlainUserName("tester"));
    EXPECT_TRUE(isPlainUserName("a.b_c-D9"));
    EXPECT_TRUE(isPlainUserName(std::string(64, 'x')));
    EXPECT_FALSE(isPlainUserName(std::string(65, 'x')));
    EXPECT_FALSE(isPlainUserName(""));
    EXPECT_FALSE(isPlainUserName("-u"));
    EXPECT_FALSE(isPlainUserName(".."));
    EXPECT_FALSE(isPlainUserName("a/b"));
    EXPECT_FALSE(isPlainUserName(std::string("a\0b", 3)));
}

} // namespace installtool
