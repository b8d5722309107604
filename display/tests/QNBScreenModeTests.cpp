// The display-mode table, mode dictionaries from the window server's descriptions, their
// order, the registry location of virtual displays and display names by the user's language.
#include "display/DisplayInformation.h"
#include "display/QNBScreen.h"
#include "platform/foundation/CFBundleLocalization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace display {

namespace {

std::array<uint8_t, 212> description(uint32_t number, uint32_t flags, uint32_t width, uint32_t height,
                                     float resolution) {
    std::array<uint8_t, 212> d{};
    const auto put = [&](size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            d[offset + i] = uint8_t(value >> (8 * i));
    };
    put(0, number);
    put(4, flags);
    put(8, width);
    put(12, height);
    put(20, uint32_t(4 * width * resolution + 32));
    put(24, 32);
    put(28, 8);
    put(32, 3);
    put(40, uint32_t(72 * resolution));
    put(44, uint32_t(72 * resolution));
    put(188, 0x003C0000);
    put(192, flags);
    put(196, 19);
    put(200, uint32_t(width * resolution));
    put(204, uint32_t(height * resolution));
    std::memcpy(d.data() + 208, &resolution, 4);
    return d;
}

cf::Value mode(std::optional<int> width, std::optional<int> height, std::optional<int> depth, bool stretched,
               std::optional<double> resolution, int tag) {
    cf::Dictionary m{{"tag", tag}};
    if (width) m.emplace(kModeWidthKey, *width);
    if (height) m.emplace(kModeHeightKey, *height);
    if (depth) m.emplace(kModeBitsPerPixelKey, *depth);
    if (stretched) m.emplace(kModeIsStretchedKey, true);
    if (resolution) m.emplace(kModeResolutionKey, *resolution);
    return m;
}

// Sets $LANG for the scope.
class ScopedLanguage {
  public:
    explicit ScopedLanguage(const char* lang) {
        if (const char* old = std::getenv("LANG")) m_old = old;
        if (lang)
            setenv("LANG", lang, 1);
        else
            unsetenv("LANG");
    }
    ~ScopedLanguage() {
        if (m_old)
            setenv("LANG", m_old->c_str(), 1);
        else
            unsetenv("LANG");
    }

  private:
    std::optional<std::string> m_old;
};

} // namespace

TEST(QNBScreenModeTable, SizesAndNumbers) {
    EXPECT_EQ(DisplayModeArray.size(), 443u);
    const std::vector<std::tuple<int, int, int>> telling = {
        {0, 0, 0},         {1, 1024, 768},    {2, 768, 1024},    {6, 640, 960},     {7, 1, 1},
        {34, 2048, 1536},  {55, 1536, 2048},  {58, 568, 320},    {61, 640, 1136},   {68, 3000, 3000},
        {343, 3008, 3008}, {432, 3010, 3010}, {433, 2732, 2048}, {436, 1024, 1366}, {438, 1112, 834},
        {441, 2880, 5120}, {442, 2304, 4096}};
    for (auto [number, width, height] : telling) {
        EXPECT_EQ(QNBScreen::sizeOfMode(number).width, width) << number;
        EXPECT_EQ(QNBScreen::sizeOfMode(number).height, height) << number;
    }
    EXPECT_EQ(QNBScreen::sizeOfMode(443).width, 0);
    EXPECT_EQ(QNBScreen::sizeOfMode(-1).height, 0);
    EXPECT_EQ(QNBScreen::displayModeForSize({0, 0}), 0); // entry 0 is never searched
    EXPECT_EQ(QNBScreen::displayModeForSize({2048, 1536}), 34);
    EXPECT_EQ(QNBScreen::displayModeForSize({1, 1}), 7);
    EXPECT_EQ(QNBScreen::displayModeForSize({1024.5, 768}), 0);
    EXPECT_EQ(QNBScreen::displayModeForSize({1, 2}), 0);
    // Every size answers the lowest number that has it.
    for (int number = 1; number < kDisplayModeCount; ++number) {
        const int found = QNBScreen::displayModeForSize(QNBScreen::sizeOfMode(number));
        EXPECT_LE(found, number);
        EXPECT_EQ(QNBScreen::sizeOfMode(found).width, QNBScreen::sizeOfMode(number).width);
    }
}

TEST(QNBScreenModeDescription, FieldsBecomeKeys) {
    auto d = description(4, 0x800007, 1280, 800, 2.0f);
    std::optional<cf::Value> m = QNBScreen::newModeFromModeDescription(d.data(), d.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->find(kModeNumberKey)->intValue(), 4);
    EXPECT_EQ(m->find(kModeWidthKey)->intValue(), 1280);
    EXPECT_EQ(m->find(kModeHeightKey)->intValue(), 800);
    EXPECT_EQ(m->find(kModePixelsWideKey)->intValue(), 2560);
    EXPECT_EQ(m->find(kModePixelsHighKey)->intValue(), 1600);
    EXPECT_EQ(m->find(kModeBytesPerRowKey)->intValue(), 4 * 2560 + 32);
    EXPECT_EQ(m->find(kModeBitsPerPixelKey)->intValue(), 32);
    EXPECT_EQ(m->find(kModeSamplesPerPixelKey)->intValue(), 3);
    EXPECT_EQ(m->find(kModeHorizontalResolutionKey)->intValue(), 144);
    EXPECT_EQ(m->find(kModeIODisplayModeIDKey)->intValue(), 19);
    EXPECT_EQ(m->find(kModeIOFlagsKey)->intValue(), 0x800007);
    EXPECT_DOUBLE_EQ(m->find(kModeRefreshRateKey)->doubleValue(), 60.0);
    EXPECT_DOUBLE_EQ(m->find(kModeResolutionKey)->doubleValue(), 2.0);
    EXPECT_EQ(m->find(kModeUsableForDesktopGUIKey)->asBool(), true);
    EXPECT_EQ(m->find(kModeIsSafeForHardwareKey)->asBool(), true);
    EXPECT_FALSE(m->find(kModeIsStretchedKey));
    EXPECT_FALSE(m->find(kModeIsInterlacedKey));
    EXPECT_FALSE(m->find(kModeIsTelevisionOutputKey));

    d = description(1, 0x20000000 | 0x800 | 0x40 | 0x100000, 640, 480, 1.0f);
    m = QNBScreen::newModeFromModeDescription(d.data(), d.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->find(kModeUsableForDesktopGUIKey)->asBool(), false);
    EXPECT_TRUE(m->find(kModeIsSafeForHardwareKey));
    EXPECT_TRUE(m->find(kModeIsStretchedKey));
    EXPECT_TRUE(m->find(kModeIsInterlacedKey));
    EXPECT_TRUE(m->find(kModeIsTelevisionOutputKey));

    // A description shorter than the window server's gives no dictionary.
    EXPECT_FALSE(QNBScreen::newModeFromModeDescription(d.data(), 211));
    EXPECT_FALSE(QNBScreen::newModeFromModeDescription(nullptr, 212));
}

TEST(QNBScreenModeOrder, DocumentedOrder) {
    std::vector<cf::Value> modes = {mode(1024, 768, 32, false, 1.0, 0),  mode(1280, 800, 32, true, 1.0, 1),
                                    mode(1280, 800, 32, false, 2.0, 2),  mode(1280, 800, 16, false, 1.0, 3),
                                    mode(1280, 1024, 32, false, 1.0, 4), mode(2560, 1600, 32, false, 1.0, 5),
                                    mode(1280, 800, 32, true, 2.0, 6)};
    std::stable_sort(modes.begin(), modes.end(), [](auto& a, auto& b) { return CompareModes(a, b) < 0; });
    std::vector<int> tags;
    for (auto& m : modes)
        tags.push_back(m.find("tag")->intValue());
    // Largest first; lower depth first; non-stretched before stretched; among stretched ones,
    // ascending resolution.
    EXPECT_EQ(tags, (std::vector<int>{5, 4, 3, 2, 1, 6, 0}));
    // Two non-stretched modes of one size and depth are equivalent, whatever their resolution.
    EXPECT_EQ(CompareModes(mode(800, 600, 32, false, 1.0, 0), mode(800, 600, 32, false, 2.0, 1)), 0);
}

// The order is a strict weak ordering even with missing keys, so shuffled lists sort alike.
TEST(QNBScreenModeOrder, ShuffledModesSortAlike) {
    std::vector<cf::Value> modes;
    int tag = 0;
    for (std::optional<int> width : {std::optional<int>(), std::optional<int>(800), std::optional<int>(1280)})
        for (std::optional<int> height : {std::optional<int>(), std::optional<int>(600)})
            for (std::optional<int> depth :
                 {std::optional<int>(), std::optional<int>(16), std::optional<int>(32)})
                for (bool stretched : {false, true})
                    for (std::optional<double> resolution :
                         {std::optional<double>(), std::optional<double>(1.0), std::optional<double>(2.0)})
                        modes.push_back(mode(width, height, depth, stretched, resolution, tag++));

    // Irreflexive, asymmetric, and equivalence and order transitive over every triple.
    const size_t n = modes.size();
    std::vector<std::vector<int>> order(n, std::vector<int>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            order[i][j] = CompareModes(modes[i], modes[j]);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(order[i][i], 0);
        for (size_t j = 0; j < n; ++j) {
            const bool before = order[i][j]<0, after = order[j][i]> 0;
            ASSERT_EQ(before, after) << i << " " << j;
            for (size_t k = 0; k < n; ++k) {
                if (order[i][j] < 0 && order[j][k] < 0) {
                    ASSERT_LT(order[i][k], 0) << i << " " << j << " " << k;
                }
                if (order[i][j] == 0 && order[j][k] == 0) {
                    ASSERT_EQ(order[i][k], 0) << i << " " << j << " " << k;
                }
            }
        }
    }

    // Sorting any shuffle gives the same sequence: position by position, equivalent modes.
    const auto sorted = [](std::vector<cf::Value> list) {
        std::stable_sort(list.begin(), list.end(), [](auto& a, auto& b) { return CompareModes(a, b) < 0; });
        return list;
    };
    const std::vector<cf::Value> reference = sorted(modes);
    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(modes.begin(), modes.end(), random);
        const std::vector<cf::Value> again = sorted(modes);
        for (size_t i = 0; i < again.size(); ++i)
            ASSERT_EQ(CompareModes(again[i], reference[i]), 0) << round << " " << i;
    }
}

TEST(QNBScreenLocation, VirtualDisplayIndexIsReadStrictly) {
    const std::string prefix = kQNExDisplayLocationPrefix;
    EXPECT_EQ(framebufferIndexFromLocation(prefix + "3/QNExFramebuffer@3"), 3);
    EXPECT_EQ(framebufferIndexFromLocation(prefix + "0/"), 0);
    EXPECT_EQ(framebufferIndexFromLocation(prefix + "65535/"), 65535);
    for (const std::string bad : {"65536/", "123456/", "/", "3", "x/", "3x/", "-1/", " 3/", "+3/", ""})
        EXPECT_EQ(framebufferIndexFromLocation(prefix + bad), -1) << bad;
    EXPECT_EQ(framebufferIndexFromLocation("IOService:/IOResources/Other@3/"), -1);
    EXPECT_EQ(framebufferIndexFromLocation(""), -1);
}

TEST(QNBScreenNames, UserLanguageFromTheEnvironment) {
    {
        ScopedLanguage lang("fr_CA.UTF-8");
        EXPECT_EQ(cf::CFBundleCopyLocalizationForLocalizationInfo(
                      cf::kCFBundleUserLanguageCode, cf::kCFBundleNoCode, cf::kCFBundleNoCode, 0),
                  "fr");
        EXPECT_EQ(cf::CFBundleCopyLocalizationForLocalizationInfo(
                      cf::kCFBundleUserLanguageCode, cf::kCFBundleUserRegionCode, cf::kCFBundleNoCode, 0),
                  "fr_CA");
    }
    for (const char* lang : {static_cast<const char*>(nullptr), "C", "POSIX", "C.UTF-8", ""}) {
        ScopedLanguage scoped(lang);
        auto user = cf::CFBundleUserLocalization();
        EXPECT_EQ(user.language, "en") << (lang ? lang : "unset");
        EXPECT_EQ(user.languageAndRegion, "en_US");
    }
    ScopedLanguage german("de.UTF-8");
    EXPECT_EQ(cf::CFBundleUserLocalization().language, "de");
    EXPECT_FALSE(cf::CFBundleUserLocalization().languageAndRegion);
}

TEST(QNBScreenNames, NamesUnderEnglishAndCanadianFrench) {
    const cf::Value onlyUS = cf::Dictionary{{"en_US", "Tessel"}};
    const cf::Value several =
        cf::Dictionary{{"en_US", "Tessel"}, {"fr_CA", "Tessel (CA)"}, {"de", "Tessel (DE)"}};
    const cf::Value withFrench =
        cf::Dictionary{{"en_US", "Tessel"}, {"fr", "Tessel (FR)"}, {"fr_CA", "Tessel (CA)"}};
    {
        ScopedLanguage lang("en_US.UTF-8");
        EXPECT_EQ(localizedDisplayName(onlyUS), "Tessel");
        EXPECT_EQ(localizedDisplayName(several), "Tessel");
        EXPECT_EQ(localizedDisplayName(cf::Dictionary{{"de", "Tessel (DE)"}}), "Tessel (DE)"); // the only one
    }
    {
        ScopedLanguage lang("fr_CA.UTF-8");
        EXPECT_EQ(localizedDisplayName(onlyUS), "Tessel");
        EXPECT_EQ(localizedDisplayName(several), "Tessel (CA)");
        EXPECT_EQ(localizedDisplayName(withFrench), "Tessel (FR)"); // the language alone first
        EXPECT_EQ(localizedDisplayName(cf::Dictionary{{"fr_FR", "Tessel (FR)"}, {"en_US", "Tessel"}}),
                  "Tessel (FR)");
    }
    EXPECT_FALSE(localizedDisplayName(cf::Value::emptyDictionary()));
    EXPECT_FALSE(localizedDisplayName(cf::Value("not a dictionary")));
    EXPECT_FALSE(localizedDisplayName(cf::Dictionary{{"en_US", 5}}));
}

// Information dictionaries with missing or wrongly typed keys give −1, nothing, or the
// unknown name.
TEST(QNBScreenInformation, MissingOrWrongTypedKeys) {
    const std::string location = std::string(kQNExDisplayLocationPrefix) + "2/QNExFramebuffer@2";
    EXPECT_EQ(framebufferIndexFromInformation(cf::Dictionary{{"IODisplayLocation", location}}), 2);
    EXPECT_EQ(framebufferIndexFromInformation(std::nullopt), -1);
    EXPECT_EQ(framebufferIndexFromInformation(cf::Value::emptyDictionary()), -1);
    EXPECT_EQ(framebufferIndexFromInformation(cf::Dictionary{{"IODisplayLocation", 2}}), -1);
    EXPECT_EQ(framebufferIndexFromInformation(cf::Value("IODisplayLocation")), -1);

    const cf::Value named = cf::Dictionary{{"DisplayProductName", cf::Dictionary{{"en_US", "Tessel"}}}};
    EXPECT_EQ(firstProductName(named), "Tessel");
    EXPECT_EQ(localizedProductName(named), "Tessel");
    for (const cf::Value& bad :
         {cf::Value(cf::Dictionary{{"DisplayProductName", "Tessel"}}),
          cf::Value(cf::Dictionary{{"DisplayProductName", cf::Dictionary{{"en_US", 7}}}}),
          cf::Value(cf::Dictionary{{"DisplayProductName", cf::Value::emptyDictionary()}}),
          cf::Value::emptyDictionary(), cf::Value(cf::Array{})}) {
        EXPECT_FALSE(firstProductName(bad)) << bad.description();
        EXPECT_FALSE(localizedProductName(bad)) << bad.description();
    }
    EXPECT_FALSE(firstProductName(std::nullopt));
}

} // namespace display
