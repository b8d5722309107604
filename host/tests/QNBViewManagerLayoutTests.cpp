// The view manager's rules without views: centring a window on the popover across screens, and
// finding a model's listing row when models lack a service key.
#include "host/QNBViewManagerLayout.h"

#include <gtest/gtest.h>

namespace host {
namespace {

using foundation::QNBDisplayModel;

const cg::CGRect kMainVisible = cg::CGRectMake(0, 0, 1440, 878);

TEST(QNBViewManagerCentring, ANarrowerWindowIsCentredAndATallerOneKeepsThePopoversTop) {
    const cg::CGRect popover = cg::CGRectMake(1000, 470, 320, 400);
    cg::CGPoint p = centeringPointForWindowSize({200, 100}, popover, kMainVisible, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 1060);
    EXPECT_DOUBLE_EQ(p.y, 620);
    p = centeringPointForWindowSize({200, 500}, popover, kMainVisible, kMainVisible);
    EXPECT_DOUBLE_EQ(p.y, 370); // top edges level: 370 + 500 = 470 + 400
}

TEST(QNBViewManagerCentring, AWiderWindowNearTheRightEdgeEndsAtTheVisibleFrameNeverLeftOfIt) {
    const cg::CGRect popover = cg::CGRectMake(1100, 470, 320, 400);
    cg::CGPoint p = centeringPointForWindowSize({480, 150}, popover, kMainVisible, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 1440 - 480);
    p = centeringPointForWindowSize({2000, 150}, popover, kMainVisible, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 0);
}

TEST(QNBViewManagerCentring, AScreenAtX1920KeepsThePanelOnIt) {
    const cg::CGRect second = cg::CGRectMake(1920, 0, 1440, 900);
    // Near its right edge: moved left to end at the screen's right edge, not at 1440 - w.
    cg::CGPoint p =
        centeringPointForWindowSize({480, 150}, cg::CGRectMake(3020, 500, 320, 400), second, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 1920 + 1440 - 480);
    // Near its left edge: not left of the screen.
    p = centeringPointForWindowSize({480, 150}, cg::CGRectMake(1900, 500, 320, 400), second, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 1920);
    // Well inside: centred on the popover, untouched.
    p = centeringPointForWindowSize({480, 150}, cg::CGRectMake(2500, 500, 320, 400), second, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 2420);
}

TEST(QNBViewManagerCentring, WithoutAPopoverWindowTheMainScreensVisibleFrameIsTheCentre) {
    cg::CGPoint p = centeringPointForWindowSize({360, 150}, std::nullopt, cg::CGRectNull, kMainVisible);
    EXPECT_DOUBLE_EQ(p.x, 540);
    EXPECT_DOUBLE_EQ(p.y, 364);
}

std::shared_ptr<QNBDisplayModel> model(std::optional<std::string> key, std::optional<std::string> id) {
    auto m = std::make_shared<QNBDisplayModel>();
    m->setServiceKey(std::move(key));
    m->setUniqueIdentifier(std::move(id));
    return m;
}

TEST(QNBViewManagerRows, KeylessModelsFindTheirOwnRowNotTheFirstKeylessOne) {
    auto typed = model(std::nullopt, std::nullopt);
    auto usb = model(std::nullopt, std::nullopt);
    auto empty = model(std::string(), std::nullopt);
    auto bonjour = model(std::string("iPad._tessel._tcp.local."), std::nullopt);
    std::vector<std::shared_ptr<QNBDisplayModel>> arranged{typed, empty, usb, bonjour};
    EXPECT_EQ(listingIndexForDisplayModel(arranged, *usb), 2u);
    EXPECT_EQ(listingIndexForDisplayModel(arranged, *typed), 0u);
    EXPECT_EQ(listingIndexForDisplayModel(arranged, *bonjour), 3u);
    // A keyless stranger matches nothing, not the first keyless row.
    EXPECT_FALSE(listingIndexForDisplayModel(arranged, *model(std::nullopt, std::nullopt)));
    EXPECT_FALSE(listingIndexForDisplayModel(arranged, *model(std::string(), std::string())));
}

TEST(QNBViewManagerRows, AnotherObjectFindsTheRowByServiceKeyThenByUniqueIdentifier) {
    auto a = model(std::string("a._tessel._tcp.local."), std::string("A-ID"));
    auto b = model(std::nullopt, std::string("B-ID"));
    std::vector<std::shared_ptr<QNBDisplayModel>> arranged{b, a};
    EXPECT_EQ(
        listingIndexForDisplayModel(arranged, *model(std::string("a._tessel._tcp.local."), std::nullopt)),
        1u);
    EXPECT_EQ(listingIndexForDisplayModel(arranged, *model(std::nullopt, std::string("B-ID"))), 0u);
    EXPECT_EQ(listingIndexForDisplayModel(arranged, *model(std::string("x"), std::string("A-ID"))), 1u);
    EXPECT_FALSE(listingIndexForDisplayModel({}, *a));
}

} // namespace
} // namespace host
