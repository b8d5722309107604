// Programs started by hand. The product's three outside a stand-in Mac (no PLATFORM_ROOT, or a
// root no platformd answers on): each writes nothing (neither the home nor the root gains a
// file), says in one line where it runs and how to run it, and exits 2; none waits for ever.
// The developer tools asked for --help: their usage on standard output, and success.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    std::optional<int> status; // nullopt: still running at the deadline (then killed)
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program with exactly this environment, its output and errors kept apart.
Outcome runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                   const std::string& scratch) {
    const std::string outPath = scratch + "/out", errPath = scratch + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args, env;
    std::vector<std::string> environmentWithSanitizers = environment;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environmentWithSanitizers.push_back(std::string(name) + "=" + value);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : environmentWithSanitizers)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_t pid = -1;
    Outcome outcome;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return outcome;
    // The end of the child is the event waited for; the bound only catches a program that runs on.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && ::poll(&p, 1, 60'000) == 1;
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (pidfd >= 0) ::close(pidfd);
    if (ended && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    outcome.out = slurp(outPath);
    outcome.err = slurp(errPath);
    return outcome;
}

size_t filesBelow(const std::string& folder) {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it)
        ++n;
    return n;
}

class OutsideTheStandInMac : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/outside-mac-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_dir = pattern;
        for (const char* sub : {"/home", "/root", "/scratch"})
            fs::create_directories(m_dir + sub);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Runs the program both ways and checks what it did.
    void expectRefusal(const std::string& program, const std::string& name, const std::string& command,
                       const std::vector<std::string>& extra = {}) {
        const std::vector<std::vector<std::string>> environments = {
            {"HOME=" + m_dir + "/home", "PATH=/usr/bin:/bin"},
            {"HOME=" + m_dir + "/home", "PATH=/usr/bin:/bin", "PLATFORM_ROOT=" + m_dir + "/root"},
        };
        for (const auto& environment : environments) {
            SCOPED_TRACE(name + " with " + environment.back());
            std::vector<std::string> argv{program};
            argv.insert(argv.end(), extra.begin(), extra.end());
            Outcome o = runProgram(argv, environment, m_dir + "/scratch");
            ASSERT_TRUE(o.status) << "it ran on: " << o.err;
            EXPECT_EQ(*o.status, 2) << o.err;
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(o.err.rfind(name + " runs inside the stand-in Mac (", 0), 0u) << o.err;
            EXPECT_NE(o.err.find("README"), std::string::npos) << o.err;
            EXPECT_NE(o.err.find(command), std::string::npos) << o.err;
            ASSERT_FALSE(o.err.empty());
            EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
            EXPECT_EQ(filesBelow(m_dir + "/home"), 0u) << "nothing written into the home";
            EXPECT_EQ(filesBelow(m_dir + "/root"), 0u) << "nothing written into the root";
        }
    }

    std::string m_dir;
};

TEST_F(OutsideTheStandInMac, TesselHostSaysWhereItRunsAndExitsTwoEvenWhenAskedForHelp) {
    expectRefusal(TESSEL_HOST_EXECUTABLE, "Tessel Host", "platformctl login", {"--help"});
    expectRefusal(TESSEL_HOST_EXECUTABLE, "Tessel Host", "platformctl login");
}

TEST_F(OutsideTheStandInMac, TesselHelperSaysWhereItRunsAndExitsTwo) {
    expectRefusal(TESSEL_HELPER_EXECUTABLE, "TesselHelper", "platformctl login");
}

TEST_F(OutsideTheStandInMac, WakelistSaysWhereItRunsAndRunsNoInstallAction) {
    expectRefusal(WAKELIST_EXECUTABLE, "Wakelist", "platformctl install Tessel.pkg");
}

TEST(ToolsByHand, HelpPrintsTheUsageAndSucceeds) {
    char pattern[] = "/tmp/tool-help-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string scratch = pattern;
    const std::pair<const char*, const char*> tools[] = {
        {MODEL_ARCHIVE_EXECUTABLE, "usage: model-archive "},
        {USBMUXD_DOUBLE_EXECUTABLE, "usage: usbmuxd-double "},
        {ENCODER_DRIVE_EXECUTABLE, "usage: encoder_drive "},
        {INPUT_REPLAY_EXECUTABLE, "usage: input_replay "},
    };
    for (const auto& [program, usage] : tools) {
        for (const char* flag : {"--help", "-h"}) {
            SCOPED_TRACE(std::string(program) + " " + flag);
            Outcome o = runProgram({program, flag}, {"PATH=/usr/bin:/bin"}, scratch);
            ASSERT_TRUE(o.status);
            EXPECT_EQ(*o.status, 0) << o.err;
            EXPECT_EQ(o.out.rfind(usage, 0), 0u) << o.out << o.err;
            EXPECT_EQ(o.err, "");
        }
    }
    fs::remove_all(scratch);
}

} // namespace
