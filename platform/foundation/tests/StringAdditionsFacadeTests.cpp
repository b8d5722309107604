#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSTemporaryDirectory.h"
#include "platform/foundation/NSUUID.h"
#include "platform/foundation/PercentEscapes.h"

#include <cctype>
#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

using namespace ns;

namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

} // namespace

TEST(StringAdditionsFacade, TemporaryDirectoryEndsInASlash) {
    {
        ScopedEnv env("TMPDIR", "/var/folders/xy");
        EXPECT_EQ(NSTemporaryDirectory(), "/var/folders/xy/");
    }
    {
        ScopedEnv env("TMPDIR", "relative/dir");
        EXPECT_EQ(NSTemporaryDirectory(), "/tmp/");
    }
    ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(NSTemporaryDirectory(), "/tmp/");
}

TEST(StringAdditionsFacade, UUIDsAreRandomVersionFourInUpperCaseGroups) {
    std::string a = NSUUID::UUID().UUIDString(), b = NSUUID::UUID().UUIDString();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    for (size_t i = 0; i < a.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        EXPECT_TRUE(dash ? a[i] == '-'
                         : std::isxdigit(static_cast<unsigned char>(a[i])) && !std::islower(a[i]))
            << a;
    }
    EXPECT_EQ(a[14], '4') << a;                                         // version
    EXPECT_NE(std::string("89AB").find(a[19]), std::string::npos) << a; // variant
    std::array<uint8_t, 16> bytes{0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A,
                                  0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F};
    EXPECT_EQ(NSUUID(bytes).UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(StringAdditionsFacade, PercentEscapesLeaveLegalCharactersAndHonourTheSets) {
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("a b/c?d=e&f+g", NSUTF8StringEncoding),
              "a%20b/c?d=e&f+g");
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("100%#<>\"[]{}|\\^`", NSUTF8StringEncoding),
              "100%25%23%3C%3E%22%5B%5D%7B%7D%7C%5C%5E%60");
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("caf\xC3\xA9 \xF0\x9F\x98\x80", NSUTF8StringEncoding),
              "caf%C3%A9%20%F0%9F%98%80");
    EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("a&b c", " ", "&", NSUTF8StringEncoding), "a%26b c");
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("caf\xC3\xA9", NSISOLatin1StringEncoding), "caf%E9");
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("caf\xC3\xA9", NSASCIIStringEncoding), std::nullopt);
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("bad\xC3", NSUTF8StringEncoding), std::nullopt);
    EXPECT_EQ(stringByAddingPercentEscapesUsingEncoding("", NSUTF8StringEncoding), "");
}

TEST(StringAdditionsFacade, LocaleComparisonHonoursItsOptions) {
    NSLocale english("en_US"), swedish("sv_SE");
    NSRange all = NSMakeRange(0, NSNotFound);
    EXPECT_EQ(compare("file9", "file10", NSNumericSearch, all, &english), NSOrderedAscending);
    EXPECT_EQ(compare("file9", "file10", 0, all, &english), NSOrderedDescending);
    EXPECT_EQ(compare("abc", "ABC", NSCaseInsensitiveSearch, all, &english), NSOrderedSame);
    EXPECT_NE(compare("abc", "ABC", 0, all, &english), NSOrderedSame);
    EXPECT_NE(compare("abc", "ABC", NSCaseInsensitiveSearch | NSForcedOrderingSearch, all, &english),
              NSOrderedSame);
    EXPECT_EQ(compare("\xEF\xBC\xA1", "A", NSWidthInsensitiveSearch, all, &english),
              NSOrderedSame); // fullwidth A
    EXPECT_NE(compare("\xEF\xBC\xA1", "a", NSWidthInsensitiveSearch, all, &english), NSOrderedSame);
    // "ä" follows "z" in Swedish, not in English.
    EXPECT_EQ(compare("\xC3\xA4", "z", 0, all, &english), NSOrderedAscending);
    EXPECT_EQ(compare("\xC3\xA4", "z", 0, all, &swedish), NSOrderedDescending);
    EXPECT_EQ(compare("abcdef", "bcd", 0, NSMakeRange(1, 3), nullptr), NSOrderedSame);
    EXPECT_EQ(compare("abc", "", 0, NSMakeRange(9, 3), nullptr), NSOrderedSame); // clipped to nothing
}

TEST(StringAdditionsFacade, CurrentLocaleComesFromTheEnvironment) {
    ScopedEnv all("LC_ALL", nullptr), collate("LC_COLLATE", nullptr);
    {
        ScopedEnv lang("LANG", "fr_CA.UTF-8");
        EXPECT_EQ(NSLocale::currentLocale().localeIdentifier(), "fr_CA");
    }
    ScopedEnv lang("LANG", "C");
    EXPECT_EQ(NSLocale::currentLocale().localeIdentifier(), "en_US");
}
