// Window bounds and attribute values read through the accessibility interface, with the
// window-id array callbacks; the owning application is a scripted window server's answer.
#include "accessibility/AXUIElementUtilities.h"

#include "platform/applicationservices/AXValueCoding.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <gtest/gtest.h>

#include <map>

namespace accessibility {

namespace {

// Answers accessibility requests from a table: attribute → value, or an error.
class AccessibilityScript {
  public:
    explicit AccessibilityScript(cg::testing::FakeWindowServer& server) {
        server.answer("ax.request", [this](const cf::Value& args) -> std::optional<cf::Value> {
            const cf::Value* attribute = args.find("attribute");
            if (!attribute || !attribute->asString())
                return cf::Dictionary{{"status", ax::kAXErrorIllegalArgument}};
            auto error = errors.find(*attribute->asString());
            if (error != errors.end()) return cf::Dictionary{{"status", error->second}};
            auto value = values.find(*attribute->asString());
            if (value == values.end()) return cf::Dictionary{{"status", ax::kAXErrorAttributeUnsupported}};
            return cf::Dictionary{{"status", 0}, {"value", ax::detail::encodeValue(value->second)}};
        });
    }
    std::map<std::string, ax::AXAttributeValue> values;
    std::map<std::string, ax::AXError> errors;
};

ax::AXAttributeValue point(double x, double y) {
    cg::CGPoint p{x, y};
    return ax::AXValueCreate(ax::kAXValueCGPointType, &p);
}

ax::AXAttributeValue size(double w, double h) {
    cg::CGSize s{w, h};
    return ax::AXValueCreate(ax::kAXValueCGSizeType, &s);
}

class AXUIElementUtilitiesTest : public ::testing::Test {
  protected:
    platform::LogCapture log{true};
    cg::testing::ScopedFakeWindowServer fake;
    AccessibilityScript script{*fake.server};
    ax::AXUIElementRef window = std::make_shared<const ax::AXUIElement>(ax::AXUIElement{0x40000000, 7});
};

} // namespace

TEST_F(AXUIElementUtilitiesTest, BoundsFromPositionAndSize) {
    script.values[ax::kAXPositionAttribute] = point(1500.5, 20);
    script.values[ax::kAXSizeAttribute] = size(640, 480);
    EXPECT_TRUE(cg::CGRectEqualToRect(AXWindowRefGetBounds(window), cg::CGRectMake(1500.5, 20, 640, 480)));
}

TEST_F(AXUIElementUtilitiesTest, HalvesAreIndependent) {
    script.values[ax::kAXPositionAttribute] = point(10, 20);
    script.errors[ax::kAXSizeAttribute] = ax::kAXErrorNoValue;
    EXPECT_TRUE(cg::CGRectEqualToRect(AXWindowRefGetBounds(window), cg::CGRectMake(10, 20, 0, 0)));

    // A position that reads as something else than a point leaves the origin at zero.
    script.values[ax::kAXPositionAttribute] = size(5, 5);
    script.errors.clear();
    script.values[ax::kAXSizeAttribute] = size(300, 200);
    EXPECT_TRUE(cg::CGRectEqualToRect(AXWindowRefGetBounds(window), cg::CGRectMake(0, 0, 300, 200)));

    script.values[ax::kAXPositionAttribute] = cf::Value("12, 34");
    script.errors[ax::kAXSizeAttribute] = ax::kAXErrorInvalidUIElement;
    EXPECT_TRUE(cg::CGRectEqualToRect(AXWindowRefGetBounds(window), cg::CGRectZero));
    EXPECT_TRUE(cg::CGRectEqualToRect(AXWindowRefGetBounds(nullptr), cg::CGRectZero));
}

TEST_F(AXUIElementUtilitiesTest, ValueOfAttribute) {
    script.values[ax::kAXTitleAttribute] = cf::Value("Notes");
    ax::AXAttributeValue title = AXUIElementUtilities::valueOfAttribute(ax::kAXTitleAttribute, window);
    ASSERT_TRUE(std::holds_alternative<cf::Value>(title));
    EXPECT_EQ(std::get<cf::Value>(title), cf::Value("Notes"));

    script.errors[ax::kAXTitleAttribute] = ax::kAXErrorAPIDisabled;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(
        AXUIElementUtilities::valueOfAttribute(ax::kAXTitleAttribute, window)));
    EXPECT_TRUE(
        std::holds_alternative<std::monostate>(AXUIElementUtilities::valueOfAttribute("AXNothing", window)));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(
        AXUIElementUtilities::valueOfAttribute(ax::kAXTitleAttribute, nullptr)));
}

TEST(AXUIElementUtilitiesWindowIDs, ArrayCallbacks) {
    EXPECT_EQ(CGWindowIDCFArrayCallbacks.version, 0);
    EXPECT_EQ(CGWindowIDCFArrayCallbacks.retain, nullptr);
    EXPECT_EQ(CGWindowIDCFArrayCallbacks.release, nullptr);
    EXPECT_EQ(CGWindowIDCopyDescriptionCallBack(reinterpret_cast<const void*>(uintptr_t(42))), "CGWindowID");

    const CGWindowIDArray a({42, 7}), b({42, 7}), c({42, 8}), d({42});
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    EXPECT_FALSE(a == d);
    EXPECT_EQ(a.windowIDs(), (std::vector<uint32_t>{42, 7}));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.valueAtIndex(1)), 7u); // the id itself, widened
    EXPECT_EQ(a.description(), "(\n    CGWindowID,\n    CGWindowID\n)");
}

} // namespace accessibility
