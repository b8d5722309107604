// The console user comes from the stand-in Mac's profile, never from the user this process
// runs as, so a tool run as root by an installer still sees who sits at the screen.
#include "platform/corefoundation/Profile.h"
#include "platform/services/SCDynamicStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace {

class ConsoleUser : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PLATFORM_USER", "someone-else", 1); }
    void TearDown() override {
        ::unsetenv("PLATFORM_USER");
        platform::Profile::setCurrent(platform::Profile{});
    }
    void console(std::optional<std::string> user) {
        platform::Profile profile;
        profile.consoleUser = std::move(user);
        platform::Profile::setCurrent(profile);
    }
};

TEST_F(ConsoleUser, TheProfilesUserWithItsIds) {
    console("tester");
    uint32_t uid = 12345, gid = 12345;
    EXPECT_EQ(sc::SCDynamicStoreCopyConsoleUser(nullptr, &uid, &gid), "tester");
    // Not in the password database: the real user's ids.
    EXPECT_EQ(uid, ::getuid());
    EXPECT_EQ(gid, ::getgid());
    EXPECT_EQ(sc::SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr), "tester");
}

TEST_F(ConsoleUser, NobodyWhenTheProfileSaysSo) {
    console("");
    EXPECT_EQ(sc::SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr), std::nullopt);
}

TEST_F(ConsoleUser, WithoutTheKeyTheRealUserNotThePlatformUser) {
    console(std::nullopt);
    passwd* entry = ::getpwuid(::getuid());
    ASSERT_TRUE(entry);
    uint32_t uid = 0, gid = 0;
    EXPECT_EQ(sc::SCDynamicStoreCopyConsoleUser(nullptr, &uid, &gid), std::string(entry->pw_name));
    EXPECT_EQ(uid, entry->pw_uid);
    EXPECT_EQ(gid, entry->pw_gid);
}

} // namespace
