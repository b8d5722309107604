// The registry explorer over the live registry of a private platformd booted with the build's
// kexts and a profile of its own.
#include "foundation/QNBRegistryExplorer.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <gtest/gtest.h>

namespace foundation {

class RegistryExplorerLive : public platformd::testing::PlatformdTest {
  protected:
    platform::Profile profile() const override {
        platform::Profile p;
        p.modelIdentifier = "MacBookPro6,2";
        p.serialNumber = "W80ABCDEFGH";
        return p;
    }
};

TEST_F(RegistryExplorerLive, FindsTheDriverAndReadsTheMacsIdentity) {
    QNBRegistryExplorer& explorer = QNBRegistryExplorer::sharedExplorer();
    explorer.setCurrentPlane("IOService");
    auto gfx = explorer.findNamedIORegistryService("QNExGFX");
    ASSERT_TRUE(gfx);
    EXPECT_EQ(gfx->objectForKey("className"), cf::Value("QNExVideo"));
    EXPECT_EQ(gfx->find("children")->count(), 4u);
    EXPECT_EQ(QNBRegistryExplorer::computerModel(), "MacBookPro6,2");
    EXPECT_EQ(QNBRegistryExplorer::machineSerialNumber(), "W80ABCDEFGH");

    explorer.buildFullRegistryDictionary();
    auto found = explorer.searchResultsForText("GFX", true, false);
    ASSERT_EQ(found.count(), 1u);
    EXPECT_EQ(*found.at(0), cf::Value(":Root:MacBookPro6,2:IOResources:QNExGFX"));
    EXPECT_EQ(iokit::IOKitLiveHandleCount(), 0u) << "the explorer keeps no handle";
}

} // namespace foundation
