#include "foundation/DataAdditions.h"
#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/TapPhase.h"

#include "platform/services/NSNetService.h"

#include <string>

#include <gtest/gtest.h>

using namespace foundation;

TEST(QNBBonjourServiceHelper, ServiceKeysJoinPartsUnescaped) {
    EXPECT_EQ(QNBBonjourServiceHelper::serviceKeyWithDomain("local.", "_qnexvscreen._udp", "Kitchen iPad"),
              "local.~_qnexvscreen._udp~Kitchen iPad");
    auto tilde = QNBBonjourServiceHelper::serviceKeyWithDomain("local.", "_qnexvscreen._udp.", "A~B");
    ASSERT_TRUE(tilde);
    EXPECT_EQ(std::count(tilde->begin(), tilde->end(), '~'), 3);
    EXPECT_EQ(*tilde, "local.~_qnexvscreen._udp.~A~B");
    EXPECT_EQ(QNBBonjourServiceHelper::serviceKeyWithDomain("", "", ""), "~~");
    EXPECT_FALSE(QNBBonjourServiceHelper::serviceKeyWithDomain(std::nullopt, "t", "n"));
    EXPECT_FALSE(QNBBonjourServiceHelper::serviceKeyWithDomain("d", std::nullopt, "n"));
    EXPECT_FALSE(QNBBonjourServiceHelper::serviceKeyWithDomain("d", "t", std::nullopt));

    EXPECT_EQ(QNBBonjourServiceHelper::serviceKeyForAddressString("192.168.1.20"), "qnbAddressStringKey~192.168.1.20");
    EXPECT_EQ(QNBBonjourServiceHelper::serviceKeyForAddressString("fe80::1%en0"), "qnbAddressStringKey~fe80::1%en0");
}

TEST(QNBBonjourServiceHelper, GeneratesItsKeyFromItsOwnParts) {
    QNBBonjourServiceHelper helper;
    helper.setDomain("local.");
    helper.setType("_qnexvscreen._udp.");
    helper.generateServiceKey();
    EXPECT_FALSE(helper.serviceKey()); // no name yet
    helper.setName("Pad");
    helper.generateServiceKey();
    EXPECT_EQ(helper.serviceKey(), "local.~_qnexvscreen._udp.~Pad");
}

TEST(QNBBonjourServiceHelper, IsEqualToAServiceOfTheSameKeyText) {
    auto service = ns::NSNetService::create("local.", "_qnexvscreen._udp.", "Pad");
    auto helper = QNBBonjourServiceHelper::serviceHelperWithService(service);
    ASSERT_TRUE(helper);
    EXPECT_TRUE(helper->isEqualToService(ns::NSNetService::create("local.", "_qnexvscreen._udp.", "Pad")));
    EXPECT_FALSE(helper->isEqualToService(ns::NSNetService::create("local.", "_qnexvscreen._udp.", "pad")))
        << "the key's text, case and all";
    EXPECT_FALSE(helper->isEqualToService(nullptr));
    helper->setServiceKey(std::nullopt);
    EXPECT_FALSE(helper->isEqualToService(service)) << "a helper without a key equals nothing";
}

TEST(DataAdditions, HexTextReadsPairsAndWritesLowerCase) {
    EXPECT_EQ(dataWithHexString("zz"), Data{0});
    EXPECT_EQ(dataWithHexString("0aFf"), (Data{0x0A, 0xFF}));
    EXPECT_EQ(dataWithHexString("abc"), Data{0xAB});
    EXPECT_EQ(dataWithHexString("a"), Data{});
    EXPECT_EQ(dataWithHexString("g1 2"), (Data{0, 0}));
    EXPECT_EQ(dataWithHexString(""), Data{});
    EXPECT_EQ(dataWithHexString(std::nullopt), Data{});
    EXPECT_EQ(hexString(Data{0x00, 0x0A, 0xFF, 0x7f}), "000aff7f");
    EXPECT_EQ(hexString(Data{}), "");
    Data all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(dataWithHexString(hexString(all)), all);
}

TEST(DataAdditions, MD5DigestsAreSixteenBytes) {
    EXPECT_EQ(hexString(dataWithMD5OfData(Data{})), "d41d8cd98f00b204e9800998ecf8427e");
    Data abc{'a', 'b', 'c'};
    Data digest = dataWithMD5OfData(abc);
    EXPECT_EQ(digest.size(), 16u);
    EXPECT_EQ(hexString(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(TapPhase, TypesComeInThreesUpToEleven) {
    const uint32_t expected[] = {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3};
    for (uint32_t type = 0; type < 12; ++type) EXPECT_EQ(TapPhaseForTapType(type), expected[type]) << type;
    EXPECT_EQ(TapPhaseForTapType(12), 0u);
    EXPECT_EQ(TapPhaseForTapType(0xFFFFFFFFu), 0u);
}
