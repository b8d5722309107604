// Loading kext bundles: order by libraries, refusals of broken bundles, unloading.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSBoolean.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kernel {
namespace {

namespace fs = std::filesystem;

const std::string kTestKext = std::string(KERNEL_TEST_KEXT_DIR) + "/KernelTestKext.kext";
const std::string kDependentKext = std::string(KERNEL_TEST_KEXT_DIR) + "/KernelTestDependentKext.kext";

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

std::string kextInfo(const std::string& identifier, const std::string& executable,
                     const std::vector<std::string>& libraries = {}) {
    std::string libs;
    for (const auto& l : libraries)
        libs += "<key>" + l + "</key><string>1.0</string>";
    return plist(
        "<dict><key>CFBundleIdentifier</key><string>" + identifier +
        "</string><key>CFBundleVersion</key><string>1.0</string><key>CFBundleExecutable</key><string>" +
        executable + "</string><key>OSBundleLibraries</key><dict>" + libs + "</dict></dict>");
}

class KextLoadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::installFakeClock();
        kernel = std::make_unique<Kernel>();
        char pattern[] = "/tmp/kext-tests-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override {
        kernel.reset();
        fs::remove_all(dir);
    }

    // A bundle with this Info.plist text and, when executableText is given, that file as its
    // executable.
    std::string bundle(const std::string& name, const std::string& info,
                       const char* executableText = "not code") {
        fs::path path = fs::path(dir) / (name + ".kext");
        fs::create_directories(path / "Contents/MacOS");
        std::ofstream(path / "Contents/Info.plist") << info;
        if (executableText) std::ofstream(path / "Contents/MacOS" / name) << executableText;
        return path.string();
    }

    platform::LogCapture log{true};
    std::unique_ptr<Kernel> kernel;
    std::string dir;
};

TEST_F(KextLoadingTest, ALoadedKextStartsAndItsDriverMatches) {
    ASSERT_EQ(kernel->loadKexts({kTestKext}), std::vector<std::string>{"com.tessel.test.KernelTestKext"});
    kernel->waitQuiet();
    auto driver = IORegistryEntry::fromPath("IOService:/IOResources/KernelTestDriver");
    ASSERT_TRUE(driver);
    EXPECT_EQ(driver->getProperty("started"), static_cast<OSObject*>(kOSBooleanTrue));
    EXPECT_TRUE(log.contains("com.tessel.test.KernelTestKext: KernelTestKext: module start"));
    EXPECT_TRUE(log.contains("com.tessel.test.KernelTestKext: KernelTestDriver: started on IOResources"));
    EXPECT_TRUE(log.contains("personality Broken lacks IOClass or IOProviderClass"));
    auto kexts = kernel->loadedKexts();
    ASSERT_EQ(kexts.size(), 1u);
    EXPECT_EQ(kexts[0].version, "2.0.1");
    EXPECT_EQ(kexts[0].moduleName, "com.tessel.test.driver.KernelTestKext");
    EXPECT_EQ(kernel->loadKexts({kTestKext}).size(), 0u) << "loaded already";
}

TEST_F(KextLoadingTest, LibrariesLoadFirstAndAreNotUnloadedUnderTheirUsers) {
    EXPECT_EQ(kernel->loadKexts({kDependentKext, kTestKext}),
              (std::vector<std::string>{"com.tessel.test.KernelTestKext",
                                        "com.tessel.test.KernelTestDependentKext"}));
    EXPECT_EQ(kernel->unloadKext("com.tessel.test.KernelTestKext"), kIOReturnExclusiveAccess);
    EXPECT_EQ(kernel->unloadKext("com.tessel.test.NotLoaded"), kIOReturnNotFound);
    EXPECT_EQ(kernel->unloadKext("com.tessel.test.KernelTestDependentKext"), kIOReturnSuccess);
    EXPECT_EQ(kernel->unloadKext("com.tessel.test.KernelTestKext"), kIOReturnSuccess);
    EXPECT_TRUE(log.contains("com.tessel.test.KernelTestKext: KernelTestDriver: stopped"));
    EXPECT_TRUE(log.contains("KernelTestKext: module stop"));
    EXPECT_FALSE(OSMetaClass::getMetaClassWithName("KernelTestDriver"));
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/IOResources/KernelTestDriver"));
    EXPECT_EQ(kernel->loadKexts({kTestKext}).size(), 1u) << "loads again after a real unload";
    kernel->waitQuiet();
    EXPECT_TRUE(IORegistryEntry::fromPath("IOService:/IOResources/KernelTestDriver"));
}

TEST_F(KextLoadingTest, ShutdownUnloadsInReverseLoadOrder) {
    kernel->loadKexts({kTestKext, kDependentKext});
    kernel.reset();
    auto lines = log.lines();
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    auto dependent = at("unloaded com.tessel.test.KernelTestDependentKext");
    auto base = at("unloaded com.tessel.test.KernelTestKext");
    ASSERT_NE(dependent, lines.end());
    ASSERT_NE(base, lines.end());
    EXPECT_LT(dependent, base);
}

TEST_F(KextLoadingTest, MissingLibrariesAndCyclesAreRefused) {
    std::string missing =
        bundle("Missing", kextInfo("com.tessel.test.Missing", "Missing", {"com.tessel.test.Gone"}));
    std::string a =
        bundle("CycleA", kextInfo("com.tessel.test.CycleA", "CycleA", {"com.tessel.test.CycleB"}));
    std::string b =
        bundle("CycleB", kextInfo("com.tessel.test.CycleB", "CycleB", {"com.tessel.test.CycleA"}));
    EXPECT_TRUE(kernel->loadKexts({missing, a, b}).empty());
    EXPECT_TRUE(
        log.contains("kext com.tessel.test.Missing refused: library com.tessel.test.Gone is missing"));
    EXPECT_TRUE(log.contains("kext com.tessel.test.CycleA refused: its libraries form a cycle"));
    EXPECT_TRUE(kernel->loadedKexts().empty());
}

TEST_F(KextLoadingTest, BrokenBundlesAreRefusedWithAReason) {
    std::vector<std::string> bundles = {
        bundle("Garbage", "\x01\x02 not a property list"),
        bundle("Array", plist("<array><string>x</string></array>")),
        bundle("NoIdentifier",
               plist("<dict><key>CFBundleExecutable</key><string>NoIdentifier</string></dict>")),
        bundle("Escape", kextInfo("com.tessel.test.Escape", "../../Escape")),
        bundle("NoBinary", kextInfo("com.tessel.test.NoBinary", "NoBinary"), nullptr),
        bundle("NotCode", kextInfo("com.tessel.test.NotCode", "NotCode")),
        bundle("BadLibraries",
               plist("<dict><key>CFBundleIdentifier</key><string>x.y</string><key>CFBundleVersion</key>"
                     "<string>1</string><key>CFBundleExecutable</key><string>BadLibraries</string>"
                     "<key>OSBundleLibraries</key><array/></dict>")),
        (fs::path(dir) / "Nowhere.kext").string(),
    };
    EXPECT_TRUE(kernel->loadKexts(bundles).empty());
    EXPECT_EQ(log.count("refused"), bundles.size());
    EXPECT_TRUE(log.contains("Info.plist unreadable"));
    EXPECT_TRUE(log.contains("Info.plist is not a dictionary"));
    EXPECT_TRUE(log.contains("CFBundleExecutable is not a file name"));
    EXPECT_TRUE(log.contains("no executable at"));
    EXPECT_TRUE(log.contains("kext com.tessel.test.NotCode refused"));
    EXPECT_TRUE(log.contains("OSBundleLibraries is not a dictionary"));
}

} // namespace
} // namespace kernel
