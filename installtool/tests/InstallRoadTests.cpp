// The install road with real processes: platformctl installs the test package on a private
// stand-in Mac, its postinstall runs Wakelist as root, Wakelist runs itself again through sudo as
// the console user, and the login that follows starts the stand-in host.
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/iokit/tests/FramebufferHelperProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platformd::testing::PrivatePlatformd;
using platformd::testing::ProgramResult;
using platformd::testing::readFile;
using platformd::testing::runProgram;

const std::string kPackage = TESSEL_TEST_PACKAGE;
const std::string kWakelist = kPackage + "/Scripts/Wakelist";
constexpr uint32_t kDisplay2 = 0x102;
constexpr uint32_t kSerial2 = 0x99730002;

ProgramResult ctl(std::vector<std::string> args, double timeout = 120) {
    args.insert(args.begin(), PrivatePlatformd::platformctlPath());
    return runProgram(args, timeout);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

size_t countOf(const std::vector<std::string>& haystack, const std::string& needle) {
    return static_cast<size_t>(std::count(haystack.begin(), haystack.end(), needle));
}

platform::Profile consoleProfile(std::optional<std::string> consoleUser = "tester") {
    platform::Profile profile;
    profile.consoleUser = std::move(consoleUser);
    return profile;
}

class InstallRoad : public ::testing::Test {
  protected:
    void boot(const platform::Profile& profile) {
        m_platformd = std::make_unique<PrivatePlatformd>(profile);
        ASSERT_TRUE(m_platformd->start());
        cg::CGSSetWindowServerTransport(nullptr);
        m_root = m_platformd->root();
        m_hostURL = "file://" + m_root + "/Applications/Tessel%20Host.app/";
    }
    void TearDown() override {
        m_helper.reset();
        m_platformd.reset();
    }

    // Framebuffer 2 enabled by a screen-server stand-in, then made a mirror of the main display.
    void mirrorDisplay2() {
        m_helper = std::make_unique<iokit::Helper>(m_root, 2, std::vector<std::string>{"1"});
        ASSERT_TRUE(m_helper->started);
        ASSERT_TRUE(
            platformd::testing::waitForEvent("display-added", {{"serial", std::to_string(kSerial2)}}, 30))
            << m_helper->output();
        ProgramResult mirrored = ctl({"configure", "0x102", "mirror", "1"});
        ASSERT_EQ(mirrored.status, 0) << mirrored.err;
        ASSERT_TRUE(cg::CGDisplayIsInMirrorSet(kDisplay2));
    }
    bool display2AtItsOwnPlace() {
        for (const auto& line : lines(ctl({"displays"}).out))
            if (line.rfind("id=0x102 bounds=1440,", 0) == 0) return true;
        return false;
    }

    ProgramResult install(const std::string& package = kPackage) { return ctl({"install", package}); }

    // The messages of install.log, without the log's time and process prefix.
    std::vector<std::string> installMessages() const {
        std::vector<std::string> out;
        for (const auto& line : lines(readFile(m_root + "/var/log/install.log"))) {
            auto end = line.find("] ");
            out.push_back(end == std::string::npos ? line : line.substr(end + 2));
        }
        return out;
    }
    std::vector<std::string> sudoLines() const { return lines(readFile(m_root + "/var/log/sudo.log")); }
    std::vector<std::string> loginItems(const std::string& user) {
        ProgramResult listed = ctl({"login-items", "list", "--user", user});
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::vector<std::string> urls;
        for (const auto& line : lines(listed.out))
            urls.push_back(line.substr(line.find('\t') + 1));
        return urls;
    }
    // The graphics-control calls made so far: selector and scalar inputs.
    std::vector<std::pair<int64_t, std::vector<int64_t>>> graphicsControlCalls() {
        std::vector<std::pair<int64_t, std::vector<int64_t>>> calls;
        for (const auto& entry : platformd::testing::eventsAfter(0, "graphics-control")) {
            const cf::Value* fields = entry.find("fields") ? entry.find("fields") : &entry;
            std::vector<int64_t> input;
            const cf::Value* in = fields->find("input");
            for (size_t i = 0; in && i < in->count(); ++i)
                input.push_back(in->at(i)->integerValue());
            calls.emplace_back(fields->find("selector") ? fields->find("selector")->integerValue() : -1,
                               input);
        }
        return calls;
    }

    std::unique_ptr<PrivatePlatformd> m_platformd;
    std::unique_ptr<iokit::Helper> m_helper;
    std::string m_root;
    std::string m_hostURL;
};

// Whether the lines hold the expected ones in this order (others may come between).
::testing::AssertionResult inOrder(const std::vector<std::string>& actual,
                                   const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const auto& line : actual)
        if (next < expected.size() && line == expected[next]) ++next;
    if (next == expected.size()) return ::testing::AssertionSuccess();
    std::string all;
    for (const auto& line : actual)
        all += "  " + line + "\n";
    return ::testing::AssertionFailure() << "missing \"" << expected[next] << "\" in order, in:\n" << all;
}

} // namespace

TEST_F(InstallRoad, InstallSetsTheConsoleUsersItemTurnsMirroringOffAndLoginStartsTheHost) {
    boot(consoleProfile());
    mirrorDisplay2();
    ASSERT_FALSE(display2AtItsOwnPlace());

    ProgramResult installed = install();
    ASSERT_EQ(installed.status, 0) << installed.err << readFile(m_root + "/var/log/install.log");
    EXPECT_EQ(installed.out, "installed: /Applications/Tessel Host.app\npostinstall: exit 0\n");
    EXPECT_EQ(sudoLines(), std::vector<std::string>{"-u tester " + kWakelist});
    EXPECT_EQ(loginItems("tester"), std::vector<std::string>{m_hostURL});
    EXPECT_TRUE(loginItems("root").empty());
    EXPECT_FALSE(cg::CGDisplayIsInMirrorSet(kDisplay2));
    EXPECT_TRUE(display2AtItsOwnPlace());
    EXPECT_TRUE(
        inOrder(installMessages(),
                {"main( 1, " + kWakelist + "[0] )", "currentConsoleUser: tester currentUser: root",
                 "Launching task to set login items for console user", "main( 1, " + kWakelist + "[0] )",
                 "currentConsoleUser: tester currentUser: tester", "Wakelist: Starting...",
                 "Added LoginItem: " + m_hostURL, "Wakelist: Turning off mirroring...", "Wakelist: Ending...",
                 "Wakelist: task ended with status 0", "Launched and waited for task"}));
    EXPECT_TRUE(graphicsControlCalls().empty()) << "no multiplexer on this Mac";

    // The login starts the host from its login item.
    ProgramResult login = ctl({"login"});
    ASSERT_EQ(login.status, 0) << login.err;
    EXPECT_NE(login.out.find(m_hostURL), std::string::npos) << login.out;
    ASSERT_TRUE(platformd::testing::waitForEvent("finished-launching",
                                                 {{"bundleIdentifier", "com.quenby.tests.HostStandIn"}}, 60))
        << readFile(m_root + "/var/log/Tessel Host.log");
    EXPECT_NE(ctl({"apps"}).out.find("com.quenby.tests.HostStandIn"), std::string::npos);

    // Installing again adds no second item.
    const size_t before = installMessages().size();
    ASSERT_EQ(install().status, 0);
    auto messages = installMessages();
    std::vector<std::string> again(messages.begin() + static_cast<long>(before), messages.end());
    EXPECT_TRUE(inOrder(again, {"Wakelist: Starting...", "Wakelist: Ending..."}));
    EXPECT_EQ(countOf(messages, "Added LoginItem: " + m_hostURL), 1u);
    EXPECT_EQ(loginItems("tester"), std::vector<std::string>{m_hostURL});
}

TEST_F(InstallRoad, TheFreezingNotebookBefore1065SwitchesTheMultiplexerAndLaterSystemsDoNot) {
    platform::Profile profile = consoleProfile();
    profile.modelIdentifier = "MacBookPro6,2";
    profile.productVersion = "10.6.4";
    profile.graphicsMultiplexer = 4;
    boot(profile);
    ASSERT_EQ(install().status, 0);
    EXPECT_TRUE(
        inOrder(installMessages(), {"Wakelist: Turning off mirroring...",
                                    "Wakelist: Potentially turning off XMux graphics switching in MBP 6,n...",
                                    "Wakelist: Ending..."}));
    using Calls = std::vector<std::pair<int64_t, std::vector<int64_t>>>;
    EXPECT_EQ(graphicsControlCalls(), (Calls{{0, {}}, {3, {1, 0}}, {2, {1, 4, 0}}, {1, {}}}));

    m_platformd.reset();
    profile.productVersion = "10.6.5";
    boot(profile);
    ASSERT_EQ(install().status, 0);
    EXPECT_EQ(
        countOf(installMessages(), "Wakelist: Potentially turning off XMux graphics switching in MBP 6,n..."),
        0u);
    EXPECT_TRUE(graphicsControlCalls().empty());
}

TEST_F(InstallRoad, NobodyAtTheConsoleLeavesItemsAndDisplaysAsTheyWere) {
    boot(consoleProfile(""));
    mirrorDisplay2();
    ProgramResult installed = install();
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_TRUE(sudoLines().empty());
    EXPECT_EQ(countOf(installMessages(), "Wakelist: No console user; login item not set"), 1u);
    EXPECT_TRUE(loginItems("tester").empty());
    EXPECT_TRUE(loginItems("root").empty());
    EXPECT_TRUE(cg::CGDisplayIsInMirrorSet(kDisplay2));
}

TEST_F(InstallRoad, ASudoThatKeepsTheUserMakesTwoRunsAndNoMore) {
    boot(consoleProfile());
    // platformd wrote the stub at boot; this one runs the command without changing user.
    const std::string sudo = m_root + "/usr/bin/sudo";
    std::ofstream(sudo) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << m_root
                        << "/var/log/sudo.log'\nshift 2\nexec \"$@\"\n";
    fs::permissions(sudo, fs::perms(0755));
    ProgramResult installed = install();
    ASSERT_EQ(installed.status, 0) << installed.err;
    auto messages = installMessages();
    EXPECT_EQ(countOf(messages, "main( 1, " + kWakelist + "[0] )"), 2u);
    EXPECT_EQ(countOf(messages, "Wakelist: Still not the console user after relaunch"), 1u);
    EXPECT_EQ(sudoLines().size(), 1u);
    EXPECT_TRUE(loginItems("tester").empty());
    EXPECT_TRUE(loginItems("root").empty());
}

TEST_F(InstallRoad, ABrokenOrMissingSudoIsLoggedAndTheInstallStillSucceeds) {
    boot(consoleProfile());
    const std::string sudo = m_root + "/usr/bin/sudo";
    std::ofstream(sudo) << "#!/bin/sh\nexit 1\n";
    ProgramResult failing = install();
    ASSERT_EQ(failing.status, 0) << failing.err;
    EXPECT_TRUE(
        inOrder(installMessages(), {"Launching task to set login items for console user",
                                    "Wakelist: task ended with status 1", "Launched and waited for task"}));

    ASSERT_TRUE(fs::remove(sudo));
    ProgramResult missing = install();
    ASSERT_EQ(missing.status, 0) << missing.err;
    EXPECT_TRUE(
        inOrder(installMessages(),
                {"Wakelist: task ended with status 1", "Launching task to set login items for console user",
                 "Exception thrown while launching task", "Launched and waited for task"}));
    EXPECT_TRUE(loginItems("tester").empty());
}

TEST_F(InstallRoad, RunDirectlyAsAnotherUserFromElsewhereItSetsTheConsoleUsersItem) {
    boot(consoleProfile());
    ASSERT_EQ(install().status, 0);
    ASSERT_EQ(ctl({"login-items", "remove", m_hostURL, "--user", "tester"}).status, 0);
    ASSERT_TRUE(fs::remove(m_root + "/var/log/sudo.log"));

    // Not the package's folder: a relaunch of "./Wakelist" would find nothing here.
    const std::string elsewhere = m_root + "/elsewhere";
    fs::create_directories(elsewhere);
    ProgramResult direct = runProgram(
        {"/bin/sh", "-c", "cd \"$1\" && PLATFORM_USER=other exec \"$2\" 2>&1", "sh", elsewhere, kWakelist},
        120);
    ASSERT_EQ(direct.status, 0) << direct.out;
    EXPECT_NE(direct.out.find("currentConsoleUser: tester currentUser: other"), std::string::npos)
        << direct.out;
    EXPECT_EQ(sudoLines(), std::vector<std::string>{"-u tester " + kWakelist});
    EXPECT_EQ(loginItems("tester"), std::vector<std::string>{m_hostURL});
    EXPECT_TRUE(loginItems("other").empty());
}

TEST_F(InstallRoad, APackageWithoutTheHostSetsNoItemButTurnsMirroringOff) {
    boot(consoleProfile());
    mirrorDisplay2();
    const std::string package = m_root + "/pkgs/No Host.pkg";
    fs::create_directories(package);
    fs::copy(kPackage + "/Scripts", package + "/Scripts", fs::copy_options::recursive);
    ProgramResult installed = install(package);
    // The installer says that nothing was installed, in one line.
    EXPECT_EQ(installed.status, 1) << installed.err;
    EXPECT_EQ(installed.out, "postinstall: exit 0\n");
    EXPECT_EQ(std::count(installed.err.begin(), installed.err.end(), '\n'), 1) << installed.err;
    EXPECT_NE(installed.err.find("platformctl: postinstall could not install: "), std::string::npos)
        << installed.err;
    EXPECT_NE(installed.err.find("because it was not found"), std::string::npos) << installed.err;
    EXPECT_EQ(countOf(installMessages(),
                      "Wakelist: Could not install Tessel Host at install time because it was not found"),
              1u);
    EXPECT_TRUE(loginItems("tester").empty());
    EXPECT_FALSE(cg::CGDisplayIsInMirrorSet(kDisplay2));
}

TEST_F(InstallRoad, HostilePackagesAreRefused) {
    boot(consoleProfile());
    const std::string pkgs = m_root + "/pkgs";
    fs::create_directories(pkgs + "/Empty.pkg");
    EXPECT_EQ(install(pkgs + "/Missing.pkg").status, 1);
    EXPECT_EQ(install(pkgs + "/Empty.pkg").status, 1);

    fs::create_directories(pkgs + "/Odd.pkg/Payload/usr/bin");
    std::ofstream(pkgs + "/Odd.pkg/Payload/usr/bin/sudo") << "#!/bin/sh\n";
    ProgramResult odd = install(pkgs + "/Odd.pkg");
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.err.find("\"usr\""), std::string::npos) << odd.err;
    EXPECT_EQ(readFile(m_root + "/usr/bin/sudo").find("#!/bin/sh\n"), 0u);
    EXPECT_GT(readFile(m_root + "/usr/bin/sudo").size(), 12u) << "the root's sudo untouched";

    fs::create_directories(pkgs + "/Hangs.pkg/Scripts");
    std::ofstream(pkgs + "/Hangs.pkg/Scripts/postinstall") << "#!/bin/sh\nexec sleep 1000\n";
    fs::permissions(pkgs + "/Hangs.pkg/Scripts/postinstall", fs::perms(0755));
    EXPECT_EQ(ctl({"install", pkgs + "/Hangs.pkg", "--timeout", "1"}).status, 4);

    fs::permissions(pkgs + "/Hangs.pkg/Scripts/postinstall", fs::perms(0644));
    EXPECT_EQ(install(pkgs + "/Hangs.pkg").status, 1);
}

// The product package as a user installs it: the build's own host, its screen server inside, made
// the console user's login item by the same road.
TEST_F(InstallRoad, TheProductPackageInstallsTheRealHostWithItsHelperAsTheConsoleUsersLoginItem) {
    const std::string package = TESSEL_PRODUCT_PACKAGE;
    boot(consoleProfile());
    ProgramResult installed = install(package);
    ASSERT_EQ(installed.status, 0) << installed.err << readFile(m_root + "/var/log/install.log");
    EXPECT_EQ(installed.out, "installed: /Applications/Tessel Host.app\npostinstall: exit 0\n");
    EXPECT_EQ(sudoLines(), std::vector<std::string>{"-u tester " + package + "/Scripts/Wakelist"});
    EXPECT_EQ(loginItems("tester"), std::vector<std::string>{m_hostURL});
    EXPECT_TRUE(loginItems("root").empty());

    const std::string contents = m_root + "/Applications/Tessel Host.app/Contents";
    EXPECT_NE(readFile(contents + "/Info.plist").find("<string>com.quenby.TesselHost2</string>"),
              std::string::npos);
    for (const std::string& program :
         {contents + "/MacOS/Tessel Host",
          contents + "/Resources/TesselHelper.app/Contents/MacOS/TesselHelper"}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(program))) << program;
        EXPECT_EQ(::access(program.c_str(), X_OK), 0) << program;
    }
    EXPECT_TRUE(fs::exists(contents + "/Resources/TesselHelper.app/Contents/Info.plist"));
    EXPECT_TRUE(fs::exists(contents + "/Resources/en.lproj/Localizable.strings"));

    // The login, not a launch by hand, starts the installed host.
    ProgramResult login = ctl({"login"});
    ASSERT_EQ(login.status, 0) << login.err;
    const auto launched = lines(login.out);
    ASSERT_EQ(launched.size(), 1u) << login.out;
    EXPECT_EQ(launched[0].substr(launched[0].find('\t') + 1), m_hostURL);
    const std::string pid = launched[0].substr(0, launched[0].find('\t'));
    auto finished = platformd::testing::waitForEvent("finished-launching",
                                                     {{"bundleIdentifier", "com.quenby.TesselHost2"}}, 60);
    ASSERT_TRUE(finished) << readFile(m_root + "/var/log/Tessel Host.log");
    const cf::Value* fields = finished->find("fields") ? finished->find("fields") : &*finished;
    ASSERT_TRUE(fields->find("pid"));
    EXPECT_EQ(std::to_string(fields->find("pid")->integerValue()), pid);
}
