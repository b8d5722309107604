// Window bounds and attribute values read through the accessibility interface, with the
// window-id array callbacks; the owning application is a scripted window server's answer.
#include "accessibility/AXUIElementUtilities.h"

#include "platform/applicationservices/AXValueCoding.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

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
            if (const cf::Value* query = args.find("query")) return answerQuery(*query->asString(), args);
            if (const cf::Value* action = args.find("action"); action && action->boolValue()) {
                performed.push_back(*attribute->asString());
                return cf::Dictionary{{"status", errors.count("perform") ? errors["perform"] : 0}};
            }
            if (const cf::Value* set = args.find("set"); set && set->boolValue()) {
                ax::AXAttributeValue value;
                if (!ax::detail::decodeValue(*args.find("value"), &value))
                    return cf::Dictionary{{"status", ax::kAXErrorIllegalArgument}};
                sets.emplace_back(*attribute->asString(), value);
                return cf::Dictionary{{"status", 0}};
            }
            auto error = errors.find(*attribute->asString());
            if (error != errors.end()) return cf::Dictionary{{"status", error->second}};
            auto value = values.find(*attribute->asString());
            if (value == values.end()) return cf::Dictionary{{"status", ax::kAXErrorAttributeUnsupported}};
            return cf::Dictionary{{"status", 0}, {"value", ax::detail::encodeValue(value->second)}};
        });
    }
    std::map<std::string, ax::AXAttributeValue> values;
    std::map<std::string, ax::AXError> errors;
    std::vector<std::pair<std::string, ax::AXAttributeValue>> sets;
    std::vector<std::string> performed;
    // What the owner counts, when it counts otherwise than its values.
    std::map<std::string, int64_t> counts;

  private:
    cf::Value answerQuery(const std::string& query, const cf::Value& args) {
        const std::string attribute = *args.find("attribute")->asString();
        if (errors.count(attribute)) return cf::Dictionary{{"status", errors[attribute]}};
        if (query == "names") {
            cf::Array names;
            for (const auto& entry : values)
                names.push_back(entry.first);
            return cf::Dictionary{{"status", 0},
                                  {"value", ax::detail::encodeValue(cf::Value(std::move(names)))}};
        }
        if (query == "actionDescription")
            return cf::Dictionary{{"status", 0},
                                  {"value", ax::detail::encodeValue(cf::Value("does " + attribute))}};
        auto value = values.find(attribute);
        if (value == values.end()) return cf::Dictionary{{"status", ax::kAXErrorAttributeUnsupported}};
        const auto* elements = std::get_if<std::vector<ax::AXUIElementRef>>(&value->second);
        if (!elements) return cf::Dictionary{{"status", ax::kAXErrorIllegalArgument}};
        if (query == "count") {
            const int64_t count = counts.count(attribute) ? counts[attribute] : int64_t(elements->size());
            return cf::Dictionary{{"status", 0}, {"value", ax::detail::encodeValue(cf::Value(count))}};
        }
        return cf::Dictionary{{"status", 0}, {"value", ax::detail::encodeValue(value->second)}};
    }
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

TEST_F(AXUIElementUtilitiesTest, TypedReadersAreNeutralOnErrorsAndOtherKinds) {
    script.values["AXEnabled"] = cf::Value(true);
    script.values["AXNumber"] = cf::Value(int64_t(2));
    script.values["AXText"] = cf::Value("YES");
    script.values[ax::kAXPositionAttribute] = point(3, 4);
    script.values[ax::kAXSizeAttribute] = cf::Value("800x600");
    EXPECT_TRUE(AXUIElementUtilities::boolValueOfAttribute("AXEnabled", window));
    EXPECT_TRUE(AXUIElementUtilities::boolValueOfAttribute("AXNumber", window));
    // Only numbers and booleans have a flag: a text saying YES has none.
    EXPECT_FALSE(AXUIElementUtilities::boolValueOfAttribute("AXText", window));
    EXPECT_FALSE(AXUIElementUtilities::boolValueOfAttribute(ax::kAXPositionAttribute, window));
    EXPECT_EQ(AXUIElementUtilities::pointValueOfAttribute(ax::kAXPositionAttribute, window).y, 4);
    EXPECT_EQ(AXUIElementUtilities::sizeValueOfAttribute(ax::kAXPositionAttribute, window).width, 0);
    EXPECT_EQ(AXUIElementUtilities::sizeValueOfAttribute(ax::kAXSizeAttribute, window).height, 0);
    EXPECT_EQ(textOf(AXUIElementUtilities::stringValueOfAttribute("AXText", window)), "YES");
    EXPECT_EQ(textOf(AXUIElementUtilities::stringValueOfAttribute("AXNumber", window)), std::nullopt);

    script.values["AXChildren"] = std::vector<ax::AXUIElementRef>{window, window, window};
    EXPECT_EQ(AXUIElementUtilities::arrayCountOfAttribute("AXChildren", window), 3);
    EXPECT_EQ(AXUIElementUtilities::arrayCountOfAttribute("AXText", window), 0);

    script.values[ax::kAXTitleAttribute] = cf::Value("Notes");
    EXPECT_EQ(AXWindowRefGetTitle(window), "Notes");
    script.values[ax::kAXTitleAttribute] = cf::Value(int64_t(7));
    EXPECT_EQ(AXWindowRefGetTitle(window), std::nullopt);
    EXPECT_EQ(AXUIElementUtilities::processIdentifierOfUIElement(window), 0x40000000);
    EXPECT_EQ(AXUIElementUtilities::processIdentifierOfUIElement(nullptr), 0);

    // A gone element and accessibility off: every reader neutral.
    for (const ax::AXError error : {ax::kAXErrorInvalidUIElement, ax::kAXErrorAPIDisabled}) {
        for (const char* attribute :
             {"AXEnabled", "AXChildren", "AXText", ax::kAXPositionAttribute, ax::kAXTitleAttribute})
            script.errors[attribute] = error;
        EXPECT_FALSE(AXUIElementUtilities::boolValueOfAttribute("AXEnabled", window));
        EXPECT_EQ(AXUIElementUtilities::arrayCountOfAttribute("AXChildren", window), 0);
        EXPECT_EQ(textOf(AXUIElementUtilities::stringValueOfAttribute("AXText", window)), std::nullopt);
        EXPECT_EQ(AXUIElementUtilities::pointValueOfAttribute(ax::kAXPositionAttribute, window).x, 0);
        EXPECT_EQ(AXWindowRefGetTitle(window), std::nullopt);
    }
}

TEST_F(AXUIElementUtilitiesTest, SetStringValueFollowsTheCurrentValuesForm) {
    const auto geometry = [](const ax::AXAttributeValue& value) { return std::get<ax::AXValueRef>(value); };
    script.values[ax::kAXSizeAttribute] = size(1, 1);
    AXUIElementUtilities::setStringValue("w=800 h=600", ax::kAXSizeAttribute, window);
    AXUIElementUtilities::setStringValue("w=800", ax::kAXSizeAttribute, window);
    ASSERT_EQ(script.sets.size(), 2u);
    EXPECT_EQ(geometry(script.sets[0].second)->size.width, 800);
    EXPECT_EQ(geometry(script.sets[0].second)->size.height, 600);
    EXPECT_EQ(geometry(script.sets[1].second)->size.height, 0);

    script.sets.clear();
    script.values[ax::kAXPositionAttribute] = point(0, 0);
    AXUIElementUtilities::setStringValue("x=1.5 y=-2", ax::kAXPositionAttribute, window);
    cg::CGRect r{};
    script.values["AXFrame"] = ax::AXValueCreate(ax::kAXValueCGRectType, &r);
    AXUIElementUtilities::setStringValue("x=1 y=2 w=3 h=4", "AXFrame", window);
    ax::AXValueRange range{};
    script.values["AXSelectedTextRange"] = ax::AXValueCreate(ax::kAXValueCFRangeType, &range);
    AXUIElementUtilities::setStringValue("pos=12 len=-3", "AXSelectedTextRange", window);
    script.values["AXValue"] = cf::Value(0.25);
    AXUIElementUtilities::setStringValue("0.5", "AXValue", window);
    AXUIElementUtilities::setStringValue("none", "AXValue", window);
    script.values["AXDescription"] = cf::Value("old");
    AXUIElementUtilities::setStringValue("new text", "AXDescription", window);
    ASSERT_EQ(script.sets.size(), 6u);
    EXPECT_EQ(geometry(script.sets[0].second)->point.x, 1.5);
    EXPECT_EQ(geometry(script.sets[0].second)->point.y, -2);
    EXPECT_TRUE(cg::CGRectEqualToRect(geometry(script.sets[1].second)->rect, cg::CGRectMake(1, 2, 3, 4)));
    EXPECT_EQ(geometry(script.sets[2].second)->range.location, 12);
    EXPECT_EQ(geometry(script.sets[2].second)->range.length, -3);
    EXPECT_EQ(std::get<cf::Value>(script.sets[3].second).doubleValue(), 0.5);
    EXPECT_EQ(std::get<cf::Value>(script.sets[4].second).doubleValue(), 0);
    EXPECT_EQ(std::get<cf::Value>(script.sets[5].second), cf::Value("new text"));

    // An array, an element, nothing readable, or no attribute name: nothing is set.
    script.sets.clear();
    script.values["AXChildren"] = std::vector<ax::AXUIElementRef>{window};
    AXUIElementUtilities::setStringValue("x=1 y=2", "AXChildren", window);
    script.values["AXParent"] = window;
    AXUIElementUtilities::setStringValue("x=1 y=2", "AXParent", window);
    AXUIElementUtilities::setStringValue("x=1 y=2", "AXMissing", window);
    AXUIElementUtilities::setStringValue("x=1 y=2", "", window);
    script.errors["AXValue"] = ax::kAXErrorNoValue;
    AXUIElementUtilities::setStringValue("1", "AXValue", window);
    EXPECT_TRUE(script.sets.empty());
}

TEST_F(AXUIElementUtilitiesTest, NamesActionsAndCounts) {
    script.values[ax::kAXTitleAttribute] = cf::Value("Notes");
    script.values["AXActionNames"] = cf::Value(cf::Array{"AXPress", "AXCancel"});
    script.values["AXChildren"] = std::vector<ax::AXUIElementRef>{window, window, window};
    EXPECT_EQ(AXUIElementUtilities::attributeNamesOfUIElement(window),
              (std::vector<std::string>{"AXActionNames", "AXChildren", "AXTitle"}));
    EXPECT_EQ(AXUIElementUtilities::actionNamesOfUIElement(window),
              (std::vector<std::string>{"AXPress", "AXCancel"}));
    EXPECT_EQ(AXUIElementUtilities::descriptionOfAction("AXPress", window), "does AXPress");
    // The count is the owner's, whatever its values hold.
    script.counts["AXChildren"] = 1000000;
    EXPECT_EQ(AXUIElementUtilities::arrayCountOfAttribute("AXChildren", window), 1000000);
    AXUIElementUtilities::performAction("AXPress", window);
    EXPECT_EQ(script.performed, std::vector<std::string>{"AXPress"});

    for (const char* attribute : {"AXAttributeNames", "AXActionNames", "AXPress", "AXChildren"})
        script.errors[attribute] = ax::kAXErrorAPIDisabled;
    EXPECT_TRUE(AXUIElementUtilities::attributeNamesOfUIElement(window).empty());
    EXPECT_TRUE(AXUIElementUtilities::actionNamesOfUIElement(window).empty());
    EXPECT_EQ(AXUIElementUtilities::descriptionOfAction("AXPress", window), std::nullopt);
    EXPECT_EQ(AXUIElementUtilities::arrayCountOfAttribute("AXChildren", window), 0);
    EXPECT_TRUE(AXUIElementUtilities::attributeNamesOfUIElement(nullptr).empty());
    AXUIElementUtilities::performAction("AXPress", nullptr);
    EXPECT_EQ(script.performed.size(), 1u);
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
