#include "platform/core/Format.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>
#include <thread>

using platform::format;

namespace {
struct Described {
    std::string description() const { return "<described>"; }
};
} // namespace

TEST(Format, ConversionsFollowTheArgumentType) {
    EXPECT_EQ(format("%d %ld %lu %u", 1, -2L, 3UL, 4u), "1 -2 3 4");
    EXPECT_EQ(format("%5.2f|%-4d|%04x|%X", 3.14159, 7, 255, 0xabcu), " 3.14|7   |00ff|ABC");
    EXPECT_EQ(format("%@ and %s", std::string("text"), "c-string"), "text and c-string");
    EXPECT_EQ(format("%@", Described{}), "<described>");
    EXPECT_EQ(format("100%%"), "100%");
    EXPECT_EQ(format("%C", 0x00e9), "\xc3\xa9");
    EXPECT_EQ(format("%.3s", "abcdef"), "abc");
    EXPECT_EQ(format("%*d", 4, 2), "   2");
}

TEST(Format, MissingOrUnsuitableArgumentsPrintAPlaceholder) {
    EXPECT_EQ(format("%d and %d", 1), "1 and (?)");
    EXPECT_EQ(format("%d", "text"), "(?)");
    EXPECT_EQ(format("%s", 12.5), "(?)");
    EXPECT_EQ(format("trailing %"), "trailing (?)");
    const char* nullText = nullptr;
    EXPECT_EQ(format("%s", nullText), "(null)");
}

TEST(Log, CapturesNestAndSeeMessagesWithoutPrefix) {
    platform::LogCapture outer(true);
    {
        platform::LogCapture inner(true);
        platform::log("Limner: %@ %d", std::string("value"), 3);
        EXPECT_EQ(inner.lines(), std::vector<std::string>{"Limner: value 3"});
    }
    platform::log("second");
    EXPECT_EQ(outer.lines().size(), 2u);
    EXPECT_TRUE(outer.contains("second"));
    EXPECT_EQ(outer.count("Limner"), 1u);
}

TEST(Log, WaitForSeesMessagesFromOtherThreads) {
    platform::LogCapture capture(true);
    std::thread t([] { platform::log("from thread %d", 9); });
    EXPECT_TRUE(capture.waitFor("from thread 9", platform::now() + platform::seconds(10)));
    t.join();
}

TEST(Log, ControlCharactersAreEscapedSoNoNameCanForgeAnEntry) {
    platform::LogCapture capture(true);
    const std::string name =
        "iPad\n2026-12-10 10:00:00.000 Tessel Host[1:1] Connected to: Forged\r\t\x1b[2J\x7f";
    platform::log("Connection ended for: %@ (%s)", name, "caf\xc3\xa9");
    platform::logMessage("a line's own end\n");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "Connection ended for: iPad\\n2026-12-10 10:00:00.000 Tessel Host[1:1] "
                                   "Connected to: Forged\\r\\t\\x1b[2J\\x7f (caf\xc3\xa9)",
                                   "a line's own end"}));
    // Only the log is one line per entry; stringWithFormat's formatter is left alone.
    EXPECT_EQ(platform::format("%@", name), name);
}
