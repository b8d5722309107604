#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSBundle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace ns;

namespace {

class BundleFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bundle-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_app = m_root + "/Tessel Host.app";
        fs::create_directories(m_app + "/Contents/MacOS");
        fs::create_directories(m_app + "/Contents/Resources/en.lproj");
        fs::create_directories(m_app + "/Contents/Resources/Base.lproj");
        fs::create_directories(m_app + "/Contents/Resources/TesselHelper.app/Contents");
        writePlist(m_app + "/Contents/Info.plist",
                   cf::Dictionary{{"CFBundleIdentifier", "com.quenby.TesselHost2"},
                                  {"CFBundleExecutable", "Tessel Host"},
                                  {"CFBundleVersion", "2.0"}});
        writePlist(m_app + "/Contents/Resources/en.lproj/Localizable.strings",
                   cf::Dictionary{{"unavailable", "Not available"}, {"number", 5}});
        writePlist(m_app + "/Contents/Resources/Base.lproj/Other.strings",
                   cf::Dictionary{{"inactive", "Idle"}});
        writeText(m_app + "/Contents/Resources/Base.lproj/Broken.strings", "this is not a plist");
        writeText(m_app + "/Contents/Resources/icon.png", "png");
        writeText(m_app + "/Contents/Resources/en.lproj/Help.html", "help");
    }
    void TearDown() override {
        NSBundle::setMainBundle(nullptr);
        fs::remove_all(m_root);
    }
    static void writePlist(const std::string& path, cf::Dictionary d) {
        ASSERT_TRUE(cf::writePropertyListFile(cf::Value(std::move(d)), path, cf::PropertyListFormat::XML));
    }
    static void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

    std::string m_root;
    std::string m_app;
};

} // namespace

TEST_F(BundleFolder, InfoDictionaryAndResources) {
    auto bundle = NSBundle::bundleWithPath(m_app + "/");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundlePath(), m_app);
    EXPECT_EQ(bundle->bundleIdentifier(), "com.quenby.TesselHost2");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleVersion"), cf::Value("2.0"));
    EXPECT_FALSE(bundle->objectForInfoDictionaryKey("Missing"));
    EXPECT_EQ(bundle->executablePath(), m_app + "/Contents/MacOS/Tessel Host");
    std::string res = m_app + "/Contents/Resources";
    EXPECT_EQ(bundle->resourcePath(), res);
    EXPECT_EQ(bundle->pathForResource("TesselHelper", "app"), res + "/TesselHelper.app");
    EXPECT_EQ(bundle->pathForResource("icon.png", std::nullopt), res + "/icon.png");
    EXPECT_EQ(bundle->pathForResource("icon.png", ""), res + "/icon.png");
    EXPECT_EQ(bundle->pathForResource("Help", "html"), res + "/en.lproj/Help.html");
    EXPECT_EQ(bundle->pathForResource("Other", "strings"), res + "/Base.lproj/Other.strings");
    EXPECT_FALSE(bundle->pathForResource("icon", "jpg"));
    platform::LogCapture log(true);
    EXPECT_FALSE(bundle->pathForResource("../../Info", "plist"));
    EXPECT_TRUE(log.contains("leaves the bundle"));
    EXPECT_FALSE(NSBundle::bundleWithPath(m_root + "/absent.app"));
}

TEST_F(BundleFolder, LocalizedStringsFallBackToValueThenKey) {
    auto bundle = NSBundle::bundleWithPath(m_app);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->localizedStringForKey("unavailable", "", std::nullopt), "Not available");
    EXPECT_EQ(bundle->localizedStringForKey("USB connection", "", std::nullopt), "USB connection");
    EXPECT_EQ(bundle->localizedStringForKey("USB connection", "USB", ""), "USB");
    EXPECT_EQ(bundle->localizedStringForKey("number", std::nullopt, std::nullopt), "number") << "not a text";
    EXPECT_EQ(bundle->localizedStringForKey("inactive", "", "Other"), "Idle");
    platform::LogCapture log(true);
    EXPECT_EQ(bundle->localizedStringForKey("inactive", "", "Broken"), "inactive");
    EXPECT_TRUE(log.contains("is not a readable dictionary"));
    EXPECT_EQ(bundle->localizedStringForKey("x", "", "../Info"), "x");

    NSBundle::setMainBundle(bundle);
    EXPECT_EQ(NSLocalizedString("unavailable"), "Not available");
}

TEST_F(BundleFolder, UnreadableInfoAndFlatFolders) {
    writeText(m_app + "/Contents/Info.plist", "<plist><dict><key>a</key>");
    platform::LogCapture log(true);
    auto bundle = NSBundle::bundleWithPath(m_app);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->infoDictionary().count(), 0u);
    EXPECT_FALSE(bundle->bundleIdentifier());
    EXPECT_FALSE(bundle->executablePath());

    auto flat = NSBundle::bundleWithPath(m_root);
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->resourcePath(), m_root);
    EXPECT_EQ(flat->pathForResource("Tessel Host", "app"), m_app);
}

TEST_F(BundleFolder, MainBundleOfAProgramInsideAnApplication) {
    // Without an application around it, a program's bundle is its folder, with no info.
    auto own = NSBundle::mainBundle();
    EXPECT_EQ(own->bundlePath(), fs::path(BUNDLE_HELPER_PATH).parent_path().string()) << "beside the helper";
    EXPECT_FALSE(own->bundleIdentifier());

    std::string exe = m_app + "/Contents/MacOS/Tessel Host";
    fs::copy_file(BUNDLE_HELPER_PATH, exe);
    fs::permissions(exe, fs::perms::owner_all);
    std::string command = "'" + exe + "'";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[4096];
    std::string text;
    while (fgets(line, sizeof line, out))
        text += line;
    EXPECT_EQ(pclose(out), 0);
    EXPECT_EQ(text, m_app + "\ncom.quenby.TesselHost2\n");
}
