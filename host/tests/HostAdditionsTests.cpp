// The host's number and URL additions: binary texts of numbers by their stored type, and
// preference panes found in the domains' folders.
#include "HostTestSupport.h"

#include "host/NSNumberAdditions.h"
#include "host/NSURLAdditions.h"

#include "foundation/FileURL.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"

#include <gtest/gtest.h>

namespace {

using namespace host;

TEST(QNBBinaryStringForData, BitsRunFromTheMostSignificantWithABlankBetweenBytes) {
    const uint8_t five = 5;
    EXPECT_EQ(QNBBinaryStringForData(&five, 1), "00000101");
    const uint16_t pair = 0x0102;
    EXPECT_EQ(QNBBinaryStringForData(&pair, 2), "00000001 00000010");
    EXPECT_EQ(QNBBinaryStringForData(nullptr, 0), "");
    platform::LogCapture capture(true);
    const uint8_t nine[9] = {};
    EXPECT_FALSE(QNBBinaryStringForData(nine, 9)) << "more than a number holds";
}

TEST(NSNumberAdditions, TheStoredTypeGivesTheWidthAndFloatsAreTruncated) {
    EXPECT_EQ(binaryRepresentation(cf::Value(true)), "00000001");
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberSInt8Type, int64_t(-1))), "11111111");
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberSInt16Type, int64_t(0x0102))),
              "00000001 00000010");
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberSInt32Type, int64_t(0x80000001))),
              "10000000 00000000 00000000 00000001");
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberSInt64Type, int64_t(3)))->size(),
              8u * 9 - 1);
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberFloat32Type, 5.9)),
              "00000000 00000000 00000000 00000101");
    EXPECT_EQ(binaryRepresentation(cf::Value::number(cf::kCFNumberFloat64Type, -1.5))->substr(0, 17),
              "11111111 11111111");
    EXPECT_FALSE(binaryRepresentation(cf::Value("5"))) << "a text is no number";
}

TEST(NSURLAdditions, PanesAreFoundInTheLastDomainThatHoldsThem) {
    host::testing::TemporaryRoot root;
    EXPECT_EQ(findSystemPreferences(), "file:///Application/System%20Preferences.app/");
    EXPECT_FALSE(findPrefPaneLocation("Displays.prefPane"));
    const std::string user = root.home() + "/Library/PreferencePanes/Displays.prefPane";
    const std::string system = root.root() + "/System/Library/PreferencePanes/Displays.prefPane";
    ASSERT_TRUE(cf::createDirectories(user, 0755));
    EXPECT_EQ(findPrefPaneLocation("Displays.prefPane"), foundation::fileURLWithPath(user, true));
    EXPECT_FALSE(findSystemPrefPaneLocation("Displays")) << "only the system domain";
    ASSERT_TRUE(cf::createDirectories(system, 0755));
    EXPECT_EQ(findPrefPaneLocation("Displays.prefPane"), foundation::fileURLWithPath(system, true));
    EXPECT_EQ(findSystemPrefPaneLocation("Displays"), foundation::fileURLWithPath(system, true));
}

} // namespace
