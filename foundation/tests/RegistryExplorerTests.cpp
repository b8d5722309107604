// The registry explorer over an in-process kernel with both kexts: the walk's nodes, the
// name search, the driver check, the model and serial, and no handle left behind.
#include "foundation/QNBRegistryExplorer.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

namespace foundation {

namespace {

const std::string kKextDir = TESSEL_KEXT_DIR;

const cf::Value* childNamed(const cf::Value& node, const std::string& name) {
    const cf::Value* children = node.find("children");
    for (size_t i = 0; children && i < children->count(); ++i)
        if (children->at(i)->objectForKey("name") == cf::Value(name)) return children->at(i);
    return nullptr;
}

std::vector<std::string> texts(const cf::Value& array) {
    std::vector<std::string> out;
    for (size_t i = 0; i < array.count(); ++i)
        out.push_back(*array.at(i)->asString());
    return out;
}

// A registry whose root has no child at all.
class EmptyRegistry : public iokit::IOKitTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value&) override {
        if (op == "iokit.root") return cf::Dictionary{{"handle", 1}};
        if (op == "iokit.children") return cf::Dictionary{{"status", 0}, {"iterator", 2}};
        if (op == "iokit.next" || op == "iokit.fromPath") return cf::Dictionary{{"handle", 0}};
        if (op == "iokit.release") return cf::Dictionary{{"status", 0}};
        return std::nullopt;
    }
};

} // namespace

class RegistryExplorer : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        iokit::InProcessKernelOptions options;
        options.kernel.model = "MacBookPro6,2";
        options.kexts = {kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"};
        options.windowServer = false;
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
        m_explorer.setCurrentPlane("IOService");
    }
    void TearDown() override { m_kernel->shutdown(); }

    platform::LogCapture m_log{true};
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    QNBRegistryExplorer m_explorer;
};

TEST_F(RegistryExplorer, TheWalkBuildsANodePerEntryAndReleasesEveryHandle) {
    size_t before = m_kernel->task().liveHandleCount();
    m_explorer.buildFullRegistryDictionary();
    EXPECT_EQ(m_kernel->task().liveHandleCount(), before);

    const cf::Value& root = m_explorer.registryDictionary();
    EXPECT_EQ(root.objectForKey("name"), cf::Value("Root"));
    EXPECT_EQ(root.objectForKey("inheritance"), cf::Value("OSObject : IORegistryEntry"));
    const cf::Value* expert = childNamed(root, "MacBookPro6,2");
    ASSERT_TRUE(expert);
    const cf::Value* gfx = childNamed(*childNamed(*expert, "IOResources"), "QNExGFX");
    ASSERT_TRUE(gfx);
    EXPECT_EQ(gfx->objectForKey("className"), cf::Value("QNExVideo"));
    EXPECT_EQ(gfx->objectForKey("inheritance"),
              cf::Value("OSObject : IORegistryEntry : IOService : QNExVideo"));
    EXPECT_EQ(gfx->objectForKey("state"), cf::Value(""));
    EXPECT_EQ(gfx->objectForKey("regEntry")->numberType(), cf::kCFNumberSInt32Type);
    const cf::Value* nub = childNamed(*gfx, "Quenby Virtual Display@3");
    ASSERT_TRUE(nub) << "a located entry carries its location in its name";
    const cf::Value* framebuffer = childNamed(*nub, "QNExFramebuffer@3");
    ASSERT_TRUE(framebuffer);
    EXPECT_EQ(
        framebuffer->objectForKey("inheritance"),
        cf::Value(
            "OSObject : IORegistryEntry : IOService : IOGraphicsDevice : IOFramebuffer : QNExFramebuffer"));
}

TEST_F(RegistryExplorer, TheSearchIgnoresCaseAndGivesNameChainsDepthFirst) {
    m_explorer.buildFullRegistryDictionary();
    EXPECT_EQ(texts(m_explorer.searchResultsForText("gfx", true, false)),
              (std::vector<std::string>{":Root:MacBookPro6,2:IOResources:QNExGFX"}));
    auto displays = texts(m_explorer.searchResultsForText("display@", true, true));
    ASSERT_EQ(displays.size(), 4u);
    EXPECT_EQ(displays[0], ":Root:MacBookPro6,2:IOResources:QNExGFX:Quenby Virtual Display@0");
    EXPECT_EQ(m_explorer.searchResultsForText("@2", true, false).count(), 2u)
        << "the nub and its framebuffer";
    EXPECT_EQ(m_explorer.searchResultsForText("gfx", false, true).count(), 0u);
}

TEST_F(RegistryExplorer, FindsNamedServicesUnderTheResourcesOnly) {
    auto gfx = m_explorer.findNamedIORegistryService("QNExGFX");
    ASSERT_TRUE(gfx);
    EXPECT_EQ(gfx->objectForKey("name"), cf::Value("QNExGFX"));
    EXPECT_EQ(gfx->find("children")->count(), 4u);
    EXPECT_FALSE(m_explorer.findNamedIORegistryService("NoSuchDriver"));
    EXPECT_FALSE(m_explorer.findNamedIORegistryService("BuiltInFramebuffer")) << "not under the resources";
}

TEST_F(RegistryExplorer, ModelAndSerialComeFromThePlatformExpert) {
    EXPECT_EQ(QNBRegistryExplorer::computerModel(), "MacBookPro6,2");
    EXPECT_EQ(QNBRegistryExplorer::machineSerialNumber(), "C07STANDIN01");
    EXPECT_EQ(m_kernel->task().liveHandleCount(), 0u);
}

TEST(RegistryExplorerWithoutPlatformExpert, TheModelAndSerialAreNil) {
    iokit::IOKitSetTransport(std::make_shared<EmptyRegistry>());
    EXPECT_FALSE(QNBRegistryExplorer::computerModel());
    EXPECT_FALSE(QNBRegistryExplorer::machineSerialNumber());
    iokit::IOKitSetTransport(nullptr);
}

} // namespace foundation
