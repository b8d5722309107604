// File URLs, the same-file test login items rely on, and the content-type handlers of the
// applications installed on a stand-in Mac.
#include "foundation/FileURL.h"
#include "foundation/QNBLaunchServices.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/PNG.h"
#include "platform/ipc/Connection.h"

#include <gtest/gtest.h>
#include <cstdlib>

using namespace foundation;

namespace {

TEST(FileURLs, PathsAreEscapedAndComeBackWhole) {
    EXPECT_EQ(fileURLWithPath("/Applications/Tessel Host.app", true), "file:///Applications/Tessel%20Host.app/");
    EXPECT_EQ(fileURLWithPath("/tmp/a#b?c%d", false), "file:///tmp/a%23b%3Fc%25d");
    EXPECT_EQ(pathOfFileURL("file:///Applications/Tessel%20Host.app/"), "/Applications/Tessel Host.app");
    EXPECT_EQ(pathOfFileURL("FILE://localhost/tmp/x"), "/tmp/x");
    EXPECT_EQ(pathOfFileURL(fileURLWithPath("/tmp/a#b?c%d", false)), "/tmp/a#b?c%d");
    EXPECT_EQ(pathOfFileURL("file:///"), "/");
    EXPECT_EQ(pathOfFileURL("file://server/share/x"), std::nullopt);
    EXPECT_EQ(pathOfFileURL("file:relative"), std::nullopt);
    EXPECT_EQ(pathOfFileURL("file:///a%2"), std::nullopt) << "an escape cut short";
    EXPECT_EQ(pathOfFileURL("file:///a%zz"), std::nullopt);
    EXPECT_EQ(pathOfFileURL("file:///a%00b"), std::nullopt) << "no NUL inside a path";
    EXPECT_EQ(pathOfFileURL("file:///a?query"), std::nullopt);
    EXPECT_EQ(pathOfFileURL("https://example.invalid/x"), std::nullopt);
    EXPECT_EQ(pathOfFileURL(""), std::nullopt);
    EXPECT_EQ(pathOfFileURL("file"), std::nullopt);
}

TEST(FileURLs, ProbablyTheSameFile) {
    ::unsetenv("PLATFORM_ROOT");
    platform::LogCapture quiet(true);
    EXPECT_TRUE(ProbableFileURLsAreEqual(std::string("file:///Applications/X.app"),
                                         std::string("file:///Applications/./X.app/")));
    EXPECT_TRUE(ProbableFileURLsAreEqual(std::string("file:///Applications/Tessel%20Host.app/"),
                                         fileURLWithPath("/Applications//Other/../Tessel Host.app", false)));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::string("file:///Applications/X.app"),
                                          std::string("file:///Applications/Y.app")));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::string("file:///Applications/X.app"),
                                          std::string("https://localhost/Applications/X.app")));
    EXPECT_TRUE(ProbableFileURLsAreEqual(std::string("https://h/x"), std::string("https://h/x")));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::nullopt, std::string("file:///x")));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::string("file:///x"), std::nullopt));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::string("file:///x%"), std::string("file:///x")));
    EXPECT_EQ(stringByStandardizingPath("/../a/./b//c/"), "/a/b/c");
    EXPECT_EQ(stringByStandardizingPath("/"), "/");
}

TEST(FileURLs, AMappedPathAndItsMacPathAreOneFile) {
    ::setenv("PLATFORM_ROOT", "/tmp/fls-root", 1);
    EXPECT_TRUE(ProbableFileURLsAreEqual(std::string("file:///Applications/X.app/"),
                                         std::string("file:///tmp/fls-root/Applications/X.app")));
    EXPECT_FALSE(ProbableFileURLsAreEqual(std::string("file:///tmp/X.app"),
                                          std::string("file:///tmp/fls-root/tmp/X.app")));
    ::unsetenv("PLATFORM_ROOT");
}

TEST(LoginItemsWithoutPlatformd, NothingIsAddedAndNothingExists) {
    ::unsetenv("PLATFORM_ROOT");
    ipc::Connection::resetShared();
    platform::LogCapture capture(true);
    QNBLaunchServices::addAppAsLoginItem("file:///Applications/Tessel%20Host.app/");
    QNBLaunchServices::deleteAppFromLoginItem("file:///Applications/Tessel%20Host.app/");
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist("file:///Applications/Tessel%20Host.app/"));
    EXPECT_FALSE(capture.contains("Added LoginItem"));
    EXPECT_FALSE(capture.contains("Could not insert"));
    EXPECT_EQ(&QNBLaunchServices::sharedServices(), &QNBLaunchServices::sharedServices());
}

class ContentTypes : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fct.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
    }
    void TearDown() override { platformd::testing::removeTree(m_root); }

    static cf::Value documentType(const std::string& role, std::vector<std::string> types) {
        return cf::Dictionary{{"CFBundleTypeRole", role}, {"LSItemContentTypes", cf::Value(types)}};
    }
    void install(const std::string& name, cf::Dictionary info) {
        std::string contents = m_root + "/Applications/" + name + ".app/Contents";
        ASSERT_TRUE(cf::createDirectories(contents + "/Resources", 0755));
        ASSERT_TRUE(cf::writePropertyListFile(cf::Value(std::move(info)), contents + "/Info.plist",
                                              cf::PropertyListFormat::XML));
    }
    void installAll() {
        install("Alpha", {{"CFBundleIdentifier", "com.example.alpha"},
                          {"CFBundleIconFile", "Alpha"},
                          {"CFBundleDocumentTypes", cf::Array{documentType("Editor", {"public.png"})}}});
        // A 2 x 3 icon: the bundle's own, read as an image.
        const std::vector<uint8_t> pixels(2 * 3 * 4, 0xFF);
        auto png = png::encode(pixels.data(), 2, 3, 8, png::PixelFormat::RGBA);
        ASSERT_TRUE(png);
        std::string icon = m_root + "/Applications/Alpha.app/Contents/Resources/Alpha.png";
        ASSERT_TRUE(cf::writeFileAtomically(icon, png->data(), png->size(), 0644));
        install("Beta", {{"CFBundleIdentifier", "com.example.beta"},
                         {"CFBundleSupportedPlatforms", cf::Array{"iPhoneOS"}},
                         {"CFBundleDocumentTypes", cf::Array{documentType("Viewer", {"public.png"})}}});
        install("Gamma", {{"CFBundleIdentifier", "com.example.gamma"},
                          {"CFBundleIconFile", "../../../../etc/passwd"},
                          {"CFBundleDocumentTypes", cf::Array{documentType("Viewer", {"public.png", "public.jpeg"}),
                                                              cf::Value("not a dictionary")}}});
        // Broken bundles are passed over.
        install("Delta", {{"CFBundleIdentifier", 42}, {"CFBundleDocumentTypes", "public.png"}});
        std::string junk = m_root + "/Applications/Junk.app/Contents";
        ASSERT_TRUE(cf::createDirectories(junk, 0755));
        ASSERT_TRUE(cf::writeFileAtomically(junk + "/Info.plist", "\xff\xfe garbage", 10, 0644));
    }
    static std::vector<std::string> identifiers(const std::optional<std::vector<UTTypeInfo>>& infos) {
        std::vector<std::string> out;
        for (const auto& info : infos.value_or(std::vector<UTTypeInfo>{}))
            out.push_back(info.identifier);
        return out;
    }
    std::string m_root;
};

TEST_F(ContentTypes, HandlersAreTheInstalledMacApplicationsDeclaringTheType) {
    installAll();
    EXPECT_TRUE(QNBLaunchServices::isValidMacOSXUTI("com.example.alpha"));
    EXPECT_FALSE(QNBLaunchServices::isValidMacOSXUTI("com.example.beta"));
    EXPECT_TRUE(QNBLaunchServices::isValidMacOSXUTI("com.example.nobody"));

    EXPECT_EQ(identifiers(QNBLaunchServices::applicationsForUTI("public.png", kLSRolesAll)),
              (std::vector<std::string>{"com.example.alpha", "com.example.gamma"}));
    EXPECT_EQ(identifiers(QNBLaunchServices::applicationsForUTI("public.png", kLSRolesViewer)),
              (std::vector<std::string>{"com.example.gamma"}));
    EXPECT_FALSE(QNBLaunchServices::applicationsForUTI("public.tiff", kLSRolesAll));
    EXPECT_FALSE(QNBLaunchServices::applicationsForUTI("public.png", kLSRolesShell));

    auto both = identifiers(QNBLaunchServices::applicationsForUTIs({"public.jpeg", "public.png"}, kLSRolesAll));
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, (std::vector<std::string>{"com.example.alpha", "com.example.gamma"})) << "each handler once";
    EXPECT_FALSE(QNBLaunchServices::applicationsForUTIs({}, kLSRolesAll));
}

TEST_F(ContentTypes, InfoNamesTheApplicationAndItsIconOrTheGenericOne) {
    installAll();
    auto alpha = QNBLaunchServices::infoForUTI("com.example.alpha");
    EXPECT_EQ(alpha.identifier, "com.example.alpha");
    EXPECT_EQ(alpha.referenceURL, "file://" + m_root + "/Applications/Alpha.app/");
    ASSERT_TRUE(alpha.icon);
    EXPECT_EQ(alpha.icon->size().width, 2);
    EXPECT_EQ(alpha.icon->size().height, 3);
    platform::LogCapture quiet(true);
    auto gamma = QNBLaunchServices::infoForUTI("com.example.gamma");
    ASSERT_TRUE(gamma.icon);
    EXPECT_EQ(gamma.icon->name(), kGenericApplicationIconName) << "no icon from out of the bundle";
    auto nobody = QNBLaunchServices::infoForUTI("com.example.nobody");
    EXPECT_EQ(nobody.identifier, "com.example.nobody");
    EXPECT_FALSE(nobody.referenceURL);
    EXPECT_FALSE(nobody.icon) << "only the identifier";
}

} // namespace
