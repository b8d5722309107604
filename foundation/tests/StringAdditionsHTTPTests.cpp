#include "foundation/HTTPStringAdditions.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSTemporaryDirectory.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace foundation;
using ns::Id;
using ns::IdArray;

namespace {

std::string writeFile(const std::string& name, const std::string& text) {
    std::string path = ns::NSTemporaryDirectory() + "tessel-" + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path) << text;
    return path;
}

} // namespace

TEST(StringAdditionsHTTP, FileTypeTableReadsKindCheckedAndMalformedFilesGiveAnEmptyTable) {
    std::string good = writeFile("types.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>pdf</key><dict><key>description</key><string>PDF document</string><key>icon</key><string>PDFIcon</string>
<key>mimeType</key><string>application/pdf</string></dict>
<key>odd</key><string>not a dictionary</string>
</dict></plist>)");
    auto table = fileTypeInfoDictionaryFromFile(good);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(*table.at("pdf").find("mimeType")->asString(), "application/pdf");

    platform::LogCapture capture(true);
    std::string bad = writeFile("bad.plist", "<plist><dict><key>x</key>");
    EXPECT_TRUE(fileTypeInfoDictionaryFromFile(bad).empty());
    std::string array = writeFile("array.plist", R"(<plist version="1.0"><array/></plist>)");
    EXPECT_TRUE(fileTypeInfoDictionaryFromFile(array).empty());
    EXPECT_TRUE(fileTypeInfoDictionaryFromFile(std::nullopt).empty());
    EXPECT_EQ(capture.lines().size(), 3u);
    std::filesystem::remove(good);
    std::filesystem::remove(bad);
    std::filesystem::remove(array);

    // The test program's bundle has no table: defaults throughout.
    EXPECT_EQ(mimeTypeForFileExtension("pdf"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForFileExtension(""), std::nullopt);
    EXPECT_EQ(descriptionForFileExtension(""), std::nullopt);
    EXPECT_EQ(descriptionForFileExtension("pdf"), std::nullopt);
    EXPECT_EQ(iconNameForFileExtension("pdf"), "GenericDocumentIcon");
}

TEST(StringAdditionsHTTP, QueryTextsAndEscapes) {
    EXPECT_EQ(queryStringWithDictionary(nullptr), "");
    QueryDictionary query{{"a b", Id("x&y")},
                          {"flag", Id()},
                          {"list", Id(IdArray{Id("1"), Id(), Id(7), Id("2=")})},
                          {"number", Id(3)}};
    EXPECT_EQ(queryStringWithDictionary(&query), "a%20b=x%26y&flag&list=1&list&list=2%3D");
    QueryDictionary latin{{"k", Id("caf\xC3\xA9")}};
    EXPECT_EQ(queryStringWithDictionary(&latin, ns::NSISOLatin1StringEncoding), "k=caf%E9");

    EXPECT_EQ(urlEncodedValue("a?b=c&d+e/f"), "a%3Fb%3Dc%26d%2Be/f");
    EXPECT_EQ(stringWithPercents("a/b!*'();:@&=+$,?%#[] c"),
              "a/b%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%3F%25%23%5B%5D%20c");
}

TEST(StringAdditionsHTTP, CountsAndErrorsAreLocalisedTexts) {
    EXPECT_EQ(stringFromCount(0), "No items");
    EXPECT_EQ(stringFromCount(1), "1 item");
    EXPECT_EQ(stringFromCount(42), "42 items");
    EXPECT_EQ(descriptionForError(platform::Error("NSURLErrorDomain", -1001)), "Connection Timed Out");
    EXPECT_EQ(descriptionForError(platform::Error("NSURLErrorDomain", -1009)), "No Internet Connection");
    EXPECT_EQ(descriptionForError(platform::Error("NSURLErrorDomain", -1)), "Connection Error");
    EXPECT_EQ(descriptionForError(platform::Error(platform::NSPOSIXErrorDomain, -1001)), "Error");
}

TEST(StringAdditionsHTTP, InvisibleNamesAndExtensions) {
    EXPECT_TRUE(isInvisibleFile(".DS_Store"));
    EXPECT_TRUE(isInvisibleFile(":2Eprofile"));
    EXPECT_TRUE(isInvisibleFile("Icon\r"));
    EXPECT_TRUE(isInvisibleFile("Desktop DB"));
    EXPECT_FALSE(isInvisibleFile("Icon"));
    EXPECT_TRUE(isInvisibleFileAtPath("mach_kernel", "/", "Darwin 16.7.0"));
    EXPECT_TRUE(isInvisibleFileAtPath("Inbox", "/", "Windows"));
    EXPECT_FALSE(isInvisibleFileAtPath("mach_kernel", "/", "Linux"));
    EXPECT_FALSE(isInvisibleFileAtPath("mach_kernel", "/Users", "Darwin"));
    EXPECT_TRUE(isInvisibleFileAtPath(".hidden", "/Users", "Darwin"));

    EXPECT_EQ(documentExtension("/docs/Report.PDF"), "pdf");
    EXPECT_EQ(documentExtension("/docs/report.Pages.ZIP"), "pages");
    EXPECT_EQ(documentExtension("archive.zip"), "zip");
    EXPECT_EQ(documentExtension("README"), "");
    EXPECT_TRUE(hasPathExtension("a/b.ZIP", "zip"));
    EXPECT_TRUE(hasDocumentExtension("a/b.key.zip", "KEY"));
    EXPECT_FALSE(hasDocumentExtension("a/b.key.zip", "zip"));
    EXPECT_TRUE(isEqualToCaselessString("Straße", "STRASSE"));
}

TEST(StringAdditionsHTTP, SandboxedPathsNeverClimbAboveTheirStart) {
    EXPECT_TRUE(pathIsWithinSandbox("/a/b/file"));
    EXPECT_TRUE(pathIsWithinSandbox("/a/b/../file"));
    EXPECT_TRUE(pathIsWithinSandbox("a/file"));
    EXPECT_FALSE(pathIsWithinSandbox("../file"));
    EXPECT_FALSE(pathIsWithinSandbox("/a/../../file"));
    EXPECT_FALSE(pathIsWithinSandbox("/../a/b/c/d"));     // the count alone would pass it
    EXPECT_FALSE(pathIsWithinSandbox("a/../../b/c/d/e")); // likewise
    EXPECT_FALSE(pathIsWithinSandbox(""));
}

TEST(StringAdditionsHTTP, NumbersDumpsAndPages) {
    EXPECT_EQ(hexValue("ff"), 0xFFu);
    EXPECT_EQ(hexValue("DEADbeefZZ1"), 0xDEADBEEFu);
    EXPECT_EQ(hexValue(""), 0u);
    EXPECT_EQ(hexValue("xyz"), 0u);
    EXPECT_EQ(hexValue("ffffffffffffffff"), UINT64_MAX);
    EXPECT_EQ(hexValue("123456789abcdef01"), UINT64_MAX); // 68 bits
    EXPECT_EQ(hexValue("0000000000000000000000001"), 1u);

    const uint8_t bytes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0xab};
    EXPECT_EQ(stringWithBuffer({bytes, 8}), "0001020304050607");
    EXPECT_EQ(stringWithBuffer({bytes, 9}), "0001020304050607 08");
    EXPECT_EQ(stringWithBuffer({bytes, 16}), "0001020304050607 08090a0b0c0d0e0f ");
    EXPECT_EQ(stringWithBuffer(bytes), "0001020304050607 08090a0b0c0d0e0f 10ab");
    EXPECT_EQ(stringWithBuffer({}), "");

    std::string page = htmlString("a < b && c > d");
    EXPECT_TRUE(page.starts_with("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\""));
    EXPECT_TRUE(page.ends_with("\n<html><body><pre>a &lt; b &amp;&amp; c &gt; d</pre></body></html>"))
        << page;
}

TEST(StringAdditionsHTTP, FoldersFilesAndAddresses) {
    EXPECT_EQ(appPrivateDataPath(), platform::homeDirectory() + "/Library/Preferences");
    EXPECT_EQ(stringForAppPrivateDataPathByAppendingPathComponent("x.plist"),
              platform::homeDirectory() + "/Library/Preferences/x.plist");
    EXPECT_EQ(documentsRootPath(), platform::homeDirectory() + "/Documents");
    EXPECT_EQ(realTemporaryDirectory(), ns::NSTemporaryDirectory());

    auto path = uniqueTempFilePath("tessel-test-");
    ASSERT_TRUE(path);
    EXPECT_TRUE(path->starts_with(ns::NSTemporaryDirectory() + "tessel-test-"));
    EXPECT_EQ(path->size(), (ns::NSTemporaryDirectory() + "tessel-test-XXXXXX").size());
    EXPECT_TRUE(std::filesystem::is_regular_file(*path));
    EXPECT_NE(uniqueTempFilePath("tessel-test-"), path);
    std::filesystem::remove(*path);
    EXPECT_EQ(uniqueTempFilePath("../escape"), std::nullopt);
    EXPECT_EQ(uniqueTempFilePath("no-such-folder/x"), std::nullopt);

    EXPECT_NE(stringWithNewUUID(), stringWithNewUUID());
    EXPECT_EQ(stringWithNewUUID().size(), 36u);

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(6001);
    inet_pton(AF_INET, "10.0.0.7", &v4.sin_addr);
    EXPECT_EQ(stringWithAddress(reinterpret_cast<sockaddr*>(&v4), sizeof v4), "10.0.0.7:6001");
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(80);
    inet_pton(AF_INET6, "::1", &v6.sin6_addr);
    EXPECT_EQ(stringWithAddress(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "::1:80");
    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(stringWithAddress(&other, sizeof other), std::nullopt);
    EXPECT_EQ(stringWithAddress(nullptr, 0), std::nullopt);
}

TEST(StringAdditionsHTTP, FinderSortIsCaselessNumericAndForced) {
    ns::NSLocale english("en_US");
    EXPECT_EQ(finderSortWithLocale("File 9", "file 10", &english), ns::NSOrderedAscending);
    EXPECT_NE(finderSortWithLocale("abc", "ABC", &english), ns::NSOrderedSame);
    EXPECT_EQ(finderSortWithLocale("abc", "abc", &english), ns::NSOrderedSame);
    EXPECT_EQ(finderSortWithLocale("b", "A", &english), ns::NSOrderedDescending);
}

TEST(StringAdditionsHTTP, AppSpecificTemporaryFolderNeedsTheBundleIdentifier) {
    std::string folder = ns::NSTemporaryDirectory() + "tessel-bundle-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    std::string identifier = "com.example.tempowner" + std::to_string(::getpid());
    std::ofstream(folder + "/Info.plist")
        << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + identifier +
               "</string></dict></plist>";
    ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(folder));
    auto path = AppSpecificTemporaryDirectory();
    EXPECT_EQ(path, ns::NSTemporaryDirectory() + identifier);
    EXPECT_TRUE(path && std::filesystem::is_directory(*path));

    std::ofstream(folder + "/Info.plist") << R"(<plist version="1.0"><dict/></plist>)";
    ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(folder));
    platform::LogCapture capture(true);
    EXPECT_EQ(AppSpecificTemporaryDirectory(), std::nullopt);
    EXPECT_EQ(capture.lines().size(), 1u);
    ns::NSBundle::setMainBundle(nullptr);
    std::filesystem::remove_all(folder);
    if (path) std::filesystem::remove_all(*path);
}
