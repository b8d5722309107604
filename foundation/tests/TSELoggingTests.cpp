#include "foundation/FileUtilities.h"
#include "foundation/QNBBacktrace.h"
#include "foundation/QNBCategoryLog.h"
#include "foundation/TSELogging.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

// The 13-byte wire record, little-endian.
std::vector<uint8_t> record(int16_t x, int16_t y, uint16_t w, uint16_t h, uint8_t encoding, uint32_t length) {
    std::vector<uint8_t> r;
    auto put = [&](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint16_t>(x), 2);
    put(static_cast<uint16_t>(y), 2);
    put(w, 2);
    put(h, 2);
    put(encoding, 1);
    put(length, 4);
    return r;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

// A temporary HOME for the test's process.
class TemporaryHome : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tse-logging-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_home = pattern;
        setenv("HOME", m_home.c_str(), 1);
        platform::installFakeClock().setWall(0); // 2001-01-01 00:00:00
    }
    void TearDown() override { std::system(("rm -rf '" + m_home + "'").c_str()); }
    std::string m_home;
};

// Runs body with standard error sent to a file, and answers what was written.
template <typename F> std::string captureStderr(F body) {
    char path[] = "/tmp/tse-stderr-XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    close(fd);
    unlink(path);
    return text.str();
}

} // namespace

// The tests with logging off come first: the switch is one-way for the life of the process.
TEST_F(TemporaryHome, WithLoggingOffNothingIsLoggedOrWritten) {
    platform::LogCapture capture(true);
    auto r = record(1, 2, 3, 4, 4, 5);
    const char payload[] = "hello";
    NSLogScreenRectangle(r.data(), payload, 5);
    EXPECT_EQ(IsEnableLoggingScreenRectangleLogging(), 0);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_TRUE(filesIn(m_home).empty());
    EXPECT_EQ(screenRectangleLoggingFolder(), "");
}

TEST_F(TemporaryHome, AHomeThatCannotHoldTheFolderLeavesLoggingOffSilently) {
    setenv("HOME", "/proc/no-such-home", 1);
    platform::LogCapture capture(true);
    EnableLoggingScreenRectangleLogging();
    EXPECT_EQ(IsEnableLoggingScreenRectangleLogging(), 0);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(TemporaryHome, APayloadLoggedFromAnotherThreadAsLoggingTurnsOnLandsInTheFolder) {
    const std::string folder = m_home + "/TesselLogging (2001-01-01 00:00:00 +0000)";
    // Many tries of the race: a reader spinning on another thread looks at the folder the
    // moment it sees the switch on.
    {
        platform::LogCapture quiet(true);
        std::atomic<int> round{0}, ready{0}, done{0};
        std::atomic<bool> stop{false};
        std::vector<std::string> seen(500);
        std::thread reader([&] {
            for (int r = 1;; ++r) {
                while (round < r && !stop)
                    std::this_thread::yield();
                if (stop) break;
                ready = r;
                while (!IsEnableLoggingScreenRectangleLogging())
                    ; // no yield: the moment the switch goes on is the one that counts
                seen[size_t(r - 1)] = screenRectangleLoggingFolder();
                done = r;
            }
        });
        for (int r = 1; r <= int(seen.size()); ++r) {
            foundation::testing::resetScreenRectangleLogging();
            round = r;
            while (ready < r)
                std::this_thread::yield();
            EnableLoggingScreenRectangleLogging();
            while (done < r)
                std::this_thread::yield();
        }
        stop = true;
        reader.join();
        for (size_t r = 0; r < seen.size(); ++r)
            ASSERT_EQ(seen[r], folder) << "try " << r << ": the switch went on before the folder was kept";
        foundation::testing::resetScreenRectangleLogging();
    }

    platform::LogCapture capture(true);
    std::string folderSeen = "(never on)";
    std::thread logger([&] {
        while (!IsEnableLoggingScreenRectangleLogging())
            std::this_thread::yield();
        folderSeen = screenRectangleLoggingFolder();
        auto r = record(0, 0, 1, 1, 0, 1);
        NSLogScreenRectangle(r.data(), "z", 1);
    });
    EnableLoggingScreenRectangleLogging();
    logger.join();
    EXPECT_EQ(folderSeen, folder) << "the switch went on before the folder was kept";
    auto files = filesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with(".bits"));
    // A payload that went astray is not left at the root.
    for (const auto& line : capture.lines())
        if (auto at = line.find("written to "); at != std::string::npos && files[0] != line.substr(at + 11))
            ::unlink(("/" + line.substr(at + 11)).c_str());
}

TEST_F(TemporaryHome, TurningLoggingOnMakesADatedFolderAndWritesPayloads) {
    platform::LogCapture capture(true);
    EnableLoggingScreenRectangleLogging();
    EXPECT_EQ(IsEnableLoggingScreenRectangleLogging(), 1);
    std::string folder = m_home + "/TesselLogging (2001-01-01 00:00:00 +0000)";
    EXPECT_TRUE(isDirectory(folder));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Logging screen packets to " + folder});
    capture.clear();

    auto r = record(-1, 2, 65535, 4, 4, 3);
    const uint8_t payload[] = {0xFF, 0xD8, 0xFF};
    NSLogScreenRectangle(r.data(), payload, sizeof payload);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "screenRectangle = { { -1, 2 }, { -1, 4 } }, encoding: QNScreenEncodingJPG, dataSize: 3");
    std::smatch m;
    std::regex written("screenRectangle has buffer of size 3, written to "
                       "([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.jpeg)");
    ASSERT_TRUE(std::regex_match(lines[1], m, written)) << lines[1];
    EXPECT_EQ(filesIn(folder), std::vector<std::string>{m[1].str()});
    std::ifstream in(folder + "/" + m[1].str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, std::string("\xFF\xD8\xFF", 3));
}

TEST_F(TemporaryHome, SummaryOnlyWithoutAPayloadAndNothingForANullRecord) {
    EnableLoggingScreenRectangleLogging();
    platform::LogCapture capture(true);
    auto r = record(0, 0, 1024, 768, 14, 0);
    const char payload[] = "x";
    NSLogScreenRectangle(r.data(), payload, 0);
    NSLogScreenRectangle(r.data(), nullptr, 10);
    NSLogScreenRectangle(nullptr, payload, 1);
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>(2, "screenRectangle = { { 0, 0 }, { 1024, 768 } }, encoding: Undefined "
                                          "encoding, dataSize: 0"));
    EXPECT_TRUE(filesIn(screenRectangleLoggingFolder()).empty());
}

TEST_F(TemporaryHome, AnUnwritablePayloadIsDroppedButStillLogged) {
    EnableLoggingScreenRectangleLogging();
    std::string folder = screenRectangleLoggingFolder();
    ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
    platform::LogCapture capture(true);
    auto r = record(0, 0, 1, 1, 3, 1);
    NSLogScreenRectangle(r.data(), "p", 1);
    EXPECT_EQ(capture.count("has buffer of size 1, written to "), 1u);
    EXPECT_EQ(capture.count(".cursor"), 1u);
    EXPECT_FALSE(isDirectory(folder));
}

TEST_F(TemporaryHome, ASecondCallMovesLaterPayloadsToANewFolder) {
    EnableLoggingScreenRectangleLogging();
    std::string first = screenRectangleLoggingFolder();
    platform::installFakeClock().setWall(61);
    EnableLoggingScreenRectangleLogging();
    std::string second = screenRectangleLoggingFolder();
    EXPECT_EQ(second, m_home + "/TesselLogging (2001-01-01 00:01:01 +0000)");
    auto r = record(0, 0, 1, 1, 0, 1);
    NSLogScreenRectangle(r.data(), "z", 1);
    EXPECT_TRUE(filesIn(first).empty());
    ASSERT_EQ(filesIn(second).size(), 1u);
    EXPECT_TRUE(filesIn(second)[0].ends_with(".bits"));
}

TEST(ScreenRecordTexts, FieldsAreSigned16BitAndUnknownEncodingsUndefined) {
    EXPECT_EQ(NSStringFromQNSimpleRect(0xFFFF'8000'0002'FFFFull), "{ { -1, 2 }, { -32768, -1 } }");
    EXPECT_EQ(NSStringFromQNSimpleRect(0), "{ { 0, 0 }, { 0, 0 } }");
    EXPECT_EQ(NSStringFromQNSimplePoint(0x0014'FFF6u), "{ -10, 20 }");
    // Encodings past JPEG (PNG, squeezed JPEG) have no name of their own here.
    for (uint8_t e : {5, 14}) {
        EXPECT_EQ(NSStringFromEncoding(e), "Undefined encoding");
        EXPECT_EQ(NSStringExtensionFromEncoding(e), "undefined");
    }
}

TEST(QNBCategoryLog, WritesAFormattedLineOnlyWhenTheFlagIsSet) {
    std::string out = captureStderr([] {
        QNBCategoryLog(0, "hidden %d", 1);
        QNBCategoryLog(1, "shown %d %@", 2, std::string("two"));
    });
    EXPECT_EQ(out, "shown 2 two\n");
}

TEST(QNBBacktrace, ListsFramesInnermostFirstAndFramesThemForLogs) {
    std::string stack = QNBBacktrace::currentBacktraceString();
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.back(), '\n');
    std::string framed = QNBBacktrace::delimitedBacktraceString();
    EXPECT_TRUE(framed.starts_with("\n" + std::string(60, '+') + "\n"));
    EXPECT_TRUE(framed.ends_with(std::string(60, '-') + "\n"));
}

TEST(FileUtilities, UUIDsAreFreshVersion4Texts) {
    std::string a = newUUIDString(), b = newUUIDString();
    EXPECT_NE(a, b);
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_EQ(dateDescription(0), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(dateDescription(-1), "2000-12-31 23:59:59 +0000");
}
