// The shared preferences domain in one process: keys, defaults and write-backs, the notifying
// setters and how many will-change/did-change pairs each posts, and the HiDPI helper's refusals.
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSBundle.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace foundation;

namespace {

class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fpr.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
    }
    void TearDown() override { platformd::testing::removeTree(m_root); }

    std::string domainFile() const {
        return platform::preferencesFilePath(kApplicationID, cf::kCFPreferencesCurrentUser, cf::kCFPreferencesAnyHost);
    }
    // What the domain's file holds now: what another process would read.
    std::optional<cf::Value> stored(const std::string& key) const {
        auto plist = cf::readPropertyListFile(domainFile());
        if (!plist) return std::nullopt;
        return plist->objectForKey(key);
    }
    // Writes the file as another process would, behind this process's back.
    void writeFile(const cf::Dictionary& contents) const {
        ASSERT_TRUE(cf::createDirectories(m_root + "/home/Library/Preferences", 0700));
        ASSERT_TRUE(cf::writePropertyListFile(cf::Value(contents), domainFile(), cf::PropertyListFormat::XML));
    }
    // The number of will-change/did-change pairs posted, failing on any other shape.
    size_t pairs() {
        for (size_t i = 0; i < m_posts.size(); ++i) {
            EXPECT_EQ(m_posts[i].first, i % 2 ? kPrefsDidChangeNotification : kPrefsWillChangeNotification) << i;
            EXPECT_EQ(m_posts[i].second, 3u) << "deliver immediately, to all sessions";
        }
        EXPECT_EQ(m_posts.size() % 2, 0u);
        size_t count = m_posts.size() / 2;
        m_posts.clear();
        return count;
    }

    std::string m_root;
    std::vector<std::pair<std::string, uint64_t>> m_posts;
    QNBPreferences m_prefs{[this](const std::string& name, uint64_t options) { m_posts.emplace_back(name, options); }};
};

bool isTrue(const std::optional<cf::Value>& value) { return value && value->isBoolean() && *value->asBool(); }
bool isFalse(const std::optional<cf::Value>& value) { return value && value->isBoolean() && !*value->asBool(); }

TEST_F(Preferences, AFreshDomainAnswersDefaultsAndStoresOnlyTheBooleanAndStateOnes) {
    EXPECT_TRUE(m_prefs.showInMenuBar());
    EXPECT_TRUE(isTrue(stored(kShowInMenuBar)));
    EXPECT_EQ(m_prefs.actionForButton(8), 4u);
    EXPECT_FALSE(stored("buttonAction8"));
    EXPECT_EQ(pairs(), 0u) << "getters of booleans write without announcing";

    EXPECT_EQ(m_prefs.currentState(), 0u);
    ASSERT_TRUE(stored(kCurrentState));
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 0);
    EXPECT_EQ(pairs(), 1u);

    EXPECT_FALSE(m_prefs.autoMoveWindowsBackOption());
    EXPECT_TRUE(isFalse(stored(kAutoMoveWindowsBackOption)));
    EXPECT_TRUE(m_prefs.enableTouchDisplay());
    EXPECT_TRUE(m_prefs.enableKeyboardInput());
    EXPECT_FALSE(m_prefs.retinaResolutionsEnabled());
    EXPECT_TRUE(m_prefs.startAtLogin());
    EXPECT_TRUE(m_prefs.firstRun());
    EXPECT_FALSE(m_prefs.enableHiDPIResolutions());
    EXPECT_TRUE(isFalse(stored(kDisplayResolutionEnabled)));
    EXPECT_FLOAT_EQ(m_prefs.stylusPressureSensitivity(), 0.5f);
    EXPECT_FALSE(stored(kStylusPressureSensitivity));
    EXPECT_FALSE(m_prefs.debuggingDontSendKBEvents());
    EXPECT_FALSE(stored(kDebuggingDontSendKBEvents));
    EXPECT_TRUE(m_prefs.autoUpdateOption());
    EXPECT_FALSE(stored(kAutoUpdateOption)) << "the update option is answered without reading";
}

TEST_F(Preferences, CurrentStateOutsideItsRangeReadsZeroAndOnlyATextIsRewritten) {
    writeFile({{kCurrentState, 7}});
    EXPECT_EQ(m_prefs.currentState(), 0u);
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 7);
    EXPECT_EQ(pairs(), 0u);

    m_prefs.baseSetCurrentState(2);
    EXPECT_EQ(m_prefs.currentState(), 2u);
    EXPECT_EQ(m_prefs.currentStateNumber(), cf::Value(2));

    cf::CFPreferencesSetAppValue(kCurrentState, cf::Value(-1), kApplicationID);
    EXPECT_EQ(m_prefs.currentState(), 0u);
    EXPECT_EQ(stored(kCurrentState)->integerValue(), -1);
    cf::CFPreferencesSetAppValue(kCurrentState, cf::Value(int64_t(1) << 40), kApplicationID);
    EXPECT_EQ(m_prefs.currentState(), 0u) << "too wide for a 32-bit state";
    EXPECT_EQ(stored(kCurrentState)->integerValue(), int64_t(1) << 40);
    EXPECT_EQ(pairs(), 0u);

    cf::CFPreferencesSetAppValue(kCurrentState, cf::Value("two"), kApplicationID);
    EXPECT_EQ(m_prefs.currentState(), 0u);
    ASSERT_TRUE(stored(kCurrentState)->isNumber());
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 0);
    EXPECT_EQ(pairs(), 1u);
}

TEST_F(Preferences, SetCurrentStateKeepsTheRangeAndAutoUpdateStaysOn) {
    m_prefs.setCurrentState(5);
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 0);
    m_prefs.setCurrentState(2);
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 2);
    EXPECT_EQ(pairs(), 2u);

    m_prefs.setAutoUpdateOption(false);
    EXPECT_TRUE(isTrue(stored(kAutoUpdateOption)));
    EXPECT_TRUE(m_prefs.autoUpdateOption());
    EXPECT_EQ(pairs(), 1u);
}

TEST_F(Preferences, PresentationModeTakesKeyboardAndTouchAwayWithTwoPairs) {
    m_prefs.setPresentationMode(true);
    EXPECT_TRUE(isTrue(stored(kPresentationModeOption)));
    EXPECT_TRUE(isFalse(stored(kEnableKeyboardInputOption)));
    EXPECT_TRUE(isFalse(stored(kEnableTouchDisplayOption)));
    EXPECT_EQ(pairs(), 2u);

    m_prefs.setPresentationMode(false);
    EXPECT_FALSE(m_prefs.presentationMode());
    EXPECT_TRUE(m_prefs.enableKeyboardInput());
    EXPECT_TRUE(m_prefs.enableTouchDisplay());
    EXPECT_EQ(pairs(), 2u);

    // The keyboard's base setter announces on its own; the plain ones do not.
    m_prefs.baseSetEnableKeyboardInput(false);
    EXPECT_EQ(pairs(), 1u);
    m_prefs.baseSetShowInMenuBar(false);
    m_prefs.baseSetAction(3, 4);
    EXPECT_EQ(pairs(), 0u);
    EXPECT_TRUE(isFalse(stored(kShowInMenuBar))) << "base setters write through at once";
}

TEST_F(Preferences, EveryNotifyingSetterStoresItsValueWithOnePairButTheKeyboardsTwo) {
    struct Case {
        const char* key;
        std::function<void()> set;
        cf::Value expected;
        size_t pairs;
    };
    QNBPreferences& p = m_prefs;
    std::vector<Case> cases{
        {kShowInMenuBar, [&] { p.setShowInMenuBar(false); }, false, 1},
        {kAutoMoveWindowsBackOption, [&] { p.setAutoMoveWindowsBackOption(true); }, true, 1},
        {kEnableTouchDisplayOption, [&] { p.setEnableTouchDisplay(false); }, false, 1},
        {kEnableKeyboardInputOption, [&] { p.setEnableKeyboardInput(false); }, false, 2},
        {kEnableRetinaDisplayOption, [&] { p.setRetinaResolutionsEnabled(true); }, true, 1},
        {kStartAtLoginOption, [&] { p.setStartAtLogin(false); }, false, 1},
        {kSuppressLocalClientHelpSheet, [&] { p.setSuppressLocalClientHelpSheet(true); }, true, 1},
        {kDisplayLocalClientWindow, [&] { p.setDisplayLocalClientWindow(true); }, true, 1},
        {kFirstRun, [&] { p.setFirstRun(false); }, false, 1},
        {kDisplayResolutionEnabled, [&] { p.setEnableHiDPIResolutions(true); }, true, 1},
        {kStylusPressureSensitivity, [&] { p.setStylusPressureSensitivity(0.75f); }, 0.75, 1},
        {"buttonAction4", [&] { p.setAction(7, 4); }, 7, 1},
        {"buttonModifiers32768", [&] { p.setModifiers(9, 32768); }, 9, 1},
        {"buttonShortcutModifiers1", [&] { p.setShortcutModifiers(0x100000, 1); }, 0x100000, 1},
        {"buttonShortcutKeyCode2", [&] { p.setShortcutKeyCode(49, 2); }, 49, 1},
        // Kept as a signed 16-bit number; the getter takes the low 16 bits back.
        {"buttonShortcutCharacter8", [&] { p.setShortcutCharacter(0xF700, 8); }, int16_t(-2304), 1},
    };
    for (const auto& c : cases) {
        c.set();
        auto value = stored(c.key);
        ASSERT_TRUE(value) << c.key;
        EXPECT_EQ(*value, c.expected) << c.key;
        EXPECT_EQ(value->isBoolean(), c.expected.isBoolean()) << c.key;
        EXPECT_EQ(pairs(), c.pairs) << c.key;
    }
    EXPECT_FALSE(p.showInMenuBar());
    EXPECT_TRUE(p.retinaResolutionsEnabled());
    EXPECT_FALSE(p.startAtLogin());
    EXPECT_TRUE(p.enableHiDPIResolutions());
    EXPECT_FLOAT_EQ(p.stylusPressureSensitivity(), 0.75f);
    EXPECT_EQ(p.actionForButton(4), 7u);
    EXPECT_EQ(p.modifiersForButton(32768), 9u);
    EXPECT_EQ(p.shortcutModifiersForButton(1), 0x100000u);
    EXPECT_EQ(p.shortcutKeyCodeForButton(2), 49u);
    EXPECT_EQ(p.shortcutCharacterForButton(8), 0xF700);
}

TEST_F(Preferences, ButtonNumbersHaveDefaultsByIndexAndKeepTheirFullWidth) {
    const std::map<uint64_t, std::pair<uint64_t, uint64_t>> defaults{
        {0, {2, 2}}, {1, {2, 2}}, {2, {1, 4}}, {3, {2, 2}}, {4, {1, 4}}, {5, {2, 2}},
        {6, {2, 2}}, {7, {2, 2}}, {8, {4, 6}}, {16, {2, 2}}, {32768, {2, 2}}, {UINT64_MAX, {2, 2}}};
    for (const auto& [index, expected] : defaults) {
        EXPECT_EQ(m_prefs.actionForButton(index), expected.first) << index;
        EXPECT_EQ(m_prefs.modifiersForButton(index), expected.second) << index;
        EXPECT_EQ(m_prefs.shortcutCharacterForButton(index), 0) << index;
        EXPECT_EQ(m_prefs.shortcutModifiersForButton(index), 0u) << index;
        EXPECT_EQ(m_prefs.shortcutKeyCodeForButton(index), 0u) << index;
    }
    EXPECT_EQ(buttonKey(kButtonAction, UINT64_MAX), "buttonAction18446744073709551615");
    m_prefs.baseSetShortcutModifiers(UINT64_MAX, 2);
    EXPECT_EQ(m_prefs.shortcutModifiersForButton(2), UINT64_MAX);

    writeFile({{"buttonShortcutCharacter1", 65}, {"buttonShortcutCharacter2", 70000}, {"buttonAction1", 1.9}});
    m_prefs.synchronize();
    EXPECT_EQ(m_prefs.shortcutCharacterForButton(1), 65);
    EXPECT_EQ(m_prefs.shortcutCharacterForButton(2), 4464) << "the low 16 bits";
    EXPECT_EQ(m_prefs.actionForButton(1), 1u) << "a real number is truncated";
}

TEST_F(Preferences, AWrongTypeUnderANumberKeyReadsAsAbsentAndIsLeftAlone) {
    writeFile({{"buttonAction8", "four"},
               {"buttonModifiers8", true},
               {"buttonShortcutCharacter1", "A"},
               {"buttonShortcutKeyCode1", cf::Value(cf::Array{1})},
               {kStylusPressureSensitivity, "high"},
               {kDebuggingDontSendKBEvents, 1}});
    EXPECT_EQ(m_prefs.actionForButton(8), 4u);
    EXPECT_EQ(m_prefs.modifiersForButton(8), 6u);
    EXPECT_EQ(m_prefs.shortcutCharacterForButton(1), 0);
    EXPECT_EQ(m_prefs.shortcutKeyCodeForButton(1), 0u);
    EXPECT_FLOAT_EQ(m_prefs.stylusPressureSensitivity(), 0.5f);
    EXPECT_FALSE(m_prefs.debuggingDontSendKBEvents()) << "only a true boolean counts";
    EXPECT_EQ(*stored("buttonAction8"), cf::Value("four"));
    EXPECT_TRUE(isTrue(stored("buttonModifiers8")));
    EXPECT_EQ(*stored(kStylusPressureSensitivity), cf::Value("high"));
    EXPECT_EQ(*stored(kDebuggingDontSendKBEvents), cf::Value(1));

    cf::CFPreferencesSetAppValue(kDebuggingDontSendKBEvents, cf::kCFBooleanTrue, kApplicationID);
    EXPECT_TRUE(m_prefs.debuggingDontSendKBEvents());
}

TEST_F(Preferences, ABooleanKeyOfTheWrongTypeGetsItsDefaultWrittenOver) {
    writeFile({{kShowInMenuBar, "maybe"}, {kFirstRun, cf::Value::date(0)}, {kEnableRetinaDisplayOption, "YES"},
               {kStartAtLoginOption, 0}});
    EXPECT_TRUE(m_prefs.showInMenuBar());
    EXPECT_TRUE(isTrue(stored(kShowInMenuBar)));
    EXPECT_TRUE(m_prefs.firstRun());
    EXPECT_TRUE(isTrue(stored(kFirstRun)));
    // Texts and numbers that read as booleans are valid and stay as they are.
    EXPECT_TRUE(m_prefs.retinaResolutionsEnabled());
    EXPECT_EQ(*stored(kEnableRetinaDisplayOption), cf::Value("YES"));
    EXPECT_FALSE(m_prefs.startAtLogin());
    EXPECT_EQ(*stored(kStartAtLoginOption), cf::Value(0));
    EXPECT_EQ(pairs(), 0u);
}

TEST_F(Preferences, AGetterNeverStoresItsDefaultOverAChoiceMadeElsewhere) {
    // This process has read the domain; another one then switches the menu-bar icon off and
    // chooses a state, which this process has not synchronized yet.
    EXPECT_FALSE(m_prefs.retinaResolutionsEnabled());
    writeFile({{kEnableRetinaDisplayOption, false}, {kShowInMenuBar, false}, {kCurrentState, 2}});
    EXPECT_FALSE(m_prefs.showInMenuBar());
    EXPECT_TRUE(isFalse(stored(kShowInMenuBar)));
    EXPECT_EQ(m_prefs.currentState(), 2u);
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 2);
    EXPECT_EQ(pairs(), 0u);
}

TEST_F(Preferences, SetupStoresEveryMainOptionAndLeavesKeyboardAndTouchOppositePresentation) {
    m_prefs.setupDefaultPreferenceValues();
    for (const char* key : {kAutoUpdateOption, kEnableTouchDisplayOption, kEnableKeyboardInputOption,
                            kEnableRetinaDisplayOption, kStartAtLoginOption, kPresentationModeOption,
                            kDisplayLocalClientWindow, kShowInMenuBar, kAutoMoveWindowsBackOption})
        EXPECT_TRUE(stored(key) && stored(key)->isBoolean()) << key;
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 0);
    EXPECT_TRUE(isTrue(stored(kEnableKeyboardInputOption)));
    EXPECT_TRUE(isTrue(stored(kEnableTouchDisplayOption)));
    // Ten setters, two of them posting twice, and the state getter's own pair on a fresh domain.
    EXPECT_EQ(pairs(), 13u);

    // A stored presentation mode wins over stored keyboard and touch choices.
    writeFile({{kPresentationModeOption, true}, {kEnableKeyboardInputOption, true}, {kEnableTouchDisplayOption, true},
               {kCurrentState, 1}});
    m_prefs.synchronize();
    m_prefs.setupDefaultPreferenceValues();
    EXPECT_TRUE(isFalse(stored(kEnableKeyboardInputOption)));
    EXPECT_TRUE(isFalse(stored(kEnableTouchDisplayOption)));
    EXPECT_EQ(stored(kCurrentState)->integerValue(), 1);
    EXPECT_EQ(pairs(), 12u);
}

TEST_F(Preferences, EraseRemovesTheDomainsKeysButTheHiDPIChoiceAndHighButtons) {
    cf::Dictionary contents{{kDisplayResolutionEnabled, true}, {"buttonAction8", 1}, {"buttonAction32768", 1},
                            {"someoneElsesKey", 1}};
    for (const char* key : {kCurrentState, kCurrentVirtualScreenDeviceName, kShowInMenuBar, kAutoConnectOption,
                            kAutoMoveWindowsBackOption, kAutoUpdateOption, kEnableTouchDisplayOption,
                            kEnableKeyboardInputOption, kEnableRetinaDisplayOption, kStartAtLoginOption, kFirstRun,
                            kAutoConnectDevices, kOpenPrefsInSettingsPane, kLastOtherDeviceName,
                            kDebuggingDontSendKBEvents, kStylusPressureSensitivity, kPresentationModeOption,
                            kSuppressLocalClientHelpSheet, kDisplayLocalClientWindow})
        contents.insert_or_assign(key, 1);
    for (int i = 0; i < 8; ++i)
        for (const char* prefix : {kButtonOptions, kButtonAction, kButtonModifiers, kButtonShortcutCharacter,
                                   kButtonShortcutKeyCode, kButtonShortcutModifiers})
            contents.insert_or_assign(buttonKey(prefix, i), 1);
    writeFile(contents);
    m_prefs.erasePreferences();
    auto left = cf::readPropertyListFile(domainFile());
    ASSERT_TRUE(left);
    cf::Dictionary expected{{kDisplayResolutionEnabled, true}, {"buttonAction8", 1}, {"buttonAction32768", 1},
                            {"someoneElsesKey", 1}};
    EXPECT_EQ(*left, cf::Value(expected)) << left->description();
    EXPECT_EQ(pairs(), 0u);
}

TEST_F(Preferences, TheLoginOptionPropertyIsNotTheStoredLoginChoice) {
    m_prefs.setStartAtLogin(false);
    EXPECT_FALSE(m_prefs.startAtLoginOption());
    m_prefs.setStartAtLoginOption(true);
    EXPECT_TRUE(m_prefs.startAtLoginOption());
    EXPECT_FALSE(m_prefs.startAtLogin());
    EXPECT_TRUE(isFalse(stored(kStartAtLoginOption)));
}

TEST_F(Preferences, TheWindowServersSettingCountsOnlyATrueBooleanSeenAfterSynchronizing) {
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
    auto write = [](const cf::Value& value) {
        cf::CFPreferencesSetValue(kDisplayResolutionEnabled, value, kWindowServerApplicationID,
                                  cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    };
    write(1);
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
    write("YES");
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
    write(true);
    EXPECT_TRUE(m_prefs.displayResolutionEnabled());
    // The app domain's key of the same name is another setting.
    EXPECT_FALSE(m_prefs.enableHiDPIResolutions());

    // A tool's write from outside arrives with synchronizeWindowServer.
    std::string file = platform::preferencesFilePath(kWindowServerApplicationID, cf::kCFPreferencesAnyUser,
                                                     cf::kCFPreferencesCurrentHost);
    ASSERT_EQ(file.rfind(m_root + "/Library/Preferences/ByHost/com.apple.windowserver.", 0), 0u) << file;
    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Dictionary{{kDisplayResolutionEnabled, false}}), file,
                                          cf::PropertyListFormat::XML));
    EXPECT_TRUE(m_prefs.displayResolutionEnabled());
    m_prefs.synchronizeWindowServer();
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
}

TEST_F(Preferences, AMissingHelperToolIsRefusedBeforeAnyAuthorizationIsAsked) {
    // A bundle without the tools in its Resources.
    std::string bundle = m_root + "/Empty.app";
    ASSERT_TRUE(cf::createDirectories(bundle + "/Contents/Resources", 0755));
    ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(bundle));
    platform::LogCapture capture(true);
    m_prefs.authenticatedSetEnableHiDPIResolutions(true, true);
    EXPECT_TRUE(capture.contains("Error: -60031"));
    EXPECT_FALSE(capture.contains("AuthorizationRef"));
    EXPECT_FALSE(capture.contains("AuthorizationCreate"));

    platform::Error error;
    capture.clear();
    EXPECT_FALSE(m_prefs.authExecuteHelperWithToolURL(std::string("https://example.invalid/tool"), &error, nullptr));
    EXPECT_EQ(error.code, -60031);
    EXPECT_FALSE(m_prefs.authExecuteHelperWithToolURL(std::nullopt, nullptr, nullptr));
    EXPECT_EQ(capture.count("Error: -60031"), 2u);
    ns::NSBundle::setMainBundle(nullptr);
}

TEST(PreferencesFunctions, BooleanReadsWriteTheirDefaultWithoutFlushingOrAnnouncing) {
    char pattern[] = "/tmp/fpf.XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    std::string root = pattern;
    ::setenv("HOME", root.c_str(), 1);
    EXPECT_FALSE(QNBPreferencesGetBoolAppValue("someFlag", false));
    EXPECT_EQ(cf::CFPreferencesCopyAppValue("someFlag", kApplicationID), cf::Value(false));
    EXPECT_FALSE(QNBPreferencesGetBoolValue("someFlag", true)) << "now stored, the default no longer counts";
    QNBPreferencesSetBoolValue("otherFlag", true);
    EXPECT_TRUE(QNBPreferencesGetBoolValue("otherFlag", false));
    EXPECT_EQ(&QNBPreferences::sharedAppPrefs(), &QNBPreferences::sharedAppPrefs());
    platformd::testing::removeTree(root);
}

// Records the keys announced to it.
class KeyRecorder : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string& keyPath, ns::NSObject*, const ns::NSKeyValueChangeInfo&,
                                void*) override {
        keys.push_back(keyPath);
    }
    std::vector<std::string> keys;
};

TEST_F(Preferences, TheKeyValueFaceReadsAndWritesTheDomainAndAnnouncesEachKey) {
    auto recorder = std::make_shared<KeyRecorder>();
    for (const char* key : {"presentationMode", "displayLocalClientWindow", "startAtLogin",
                            "autoUpdateOption", "autoMoveWindowsBackOption", "suppressLocalClientHelpSheet"})
        m_prefs.addObserver(recorder, key, ns::NSKeyValueObservingOptionNew);

    m_prefs.setValueForKey(ns::Id(true), "presentationMode");
    EXPECT_TRUE(isTrue(stored(kPresentationModeOption)));
    EXPECT_TRUE(m_prefs.valueForKey("presentationMode").boolValue());
    m_prefs.setValueForKey(ns::Id(true), "displayLocalClientWindow");
    EXPECT_TRUE(isTrue(stored(kDisplayLocalClientWindow)));
    m_prefs.setValueForKey(ns::Id(true), "startAtLogin");
    EXPECT_TRUE(isTrue(stored(kStartAtLoginOption)));
    m_prefs.setValueForKey(ns::Id(false), "autoUpdateOption");
    EXPECT_TRUE(m_prefs.valueForKey("autoUpdateOption").boolValue()) << "automatic update checks stay on";
    m_prefs.setValueForKey(ns::Id(true), "autoMoveWindowsBackOption");
    EXPECT_TRUE(isTrue(stored(kAutoMoveWindowsBackOption)));
    m_prefs.setValueForKey(ns::Id(true), "suppressLocalClientHelpSheet");
    EXPECT_TRUE(isTrue(stored(kSuppressLocalClientHelpSheet)));
    EXPECT_TRUE(m_prefs.valueForKey("suppressLocalClientHelpSheet").boolValue());
    EXPECT_EQ(recorder->keys,
              (std::vector<std::string>{"presentationMode", "displayLocalClientWindow", "startAtLogin",
                                        "autoUpdateOption", "autoMoveWindowsBackOption",
                                        "suppressLocalClientHelpSheet"}));
    EXPECT_GE(pairs(), 6u) << "each set is announced to the other processes too";

    // The C++ setters stay as they were: nothing reaches key-value observers.
    recorder->keys.clear();
    m_prefs.setPresentationMode(false);
    EXPECT_TRUE(recorder->keys.empty());
    EXPECT_FALSE(m_prefs.valueForKey("presentationMode").boolValue());

    platform::LogCapture capture(true);
    platform::Error error;
    m_prefs.setValueForKey(ns::Id(true), "showInMenuBar", &error);
    EXPECT_FALSE(error.domain.empty()) << "not one of the listed keys";
}

TEST_F(Preferences, RetinaAndHiDPISetThroughTheFaceWriteOnlyTheStoredValueWithOnePair) {
    auto recorder = std::make_shared<KeyRecorder>();
    m_prefs.addObserver(recorder, "retinaResolutionsEnabled", ns::NSKeyValueObservingOptionNew);
    m_prefs.addObserver(recorder, "enableHiDPIResolutions", ns::NSKeyValueObservingOptionNew);
    m_prefs.baseSetRetinaResolutionsEnabled(false);
    m_prefs.baseSetEnableHiDPIResolutions(false);
    pairs();

    // A new value from a switch reaches neither the domain's readers nor the observers.
    m_prefs.setValueForKey(ns::Id(true), "enableHiDPIResolutions");
    m_prefs.setValueForKey(ns::Id(true), "retinaResolutionsEnabled");
    EXPECT_FALSE(m_prefs.enableHiDPIResolutions());
    EXPECT_FALSE(m_prefs.retinaResolutionsEnabled());
    EXPECT_EQ(pairs(), 0u);
    EXPECT_TRUE(recorder->keys.empty());

    // Once the confirmation stored it, the same value is written and announced: one pair each.
    m_prefs.baseSetEnableHiDPIResolutions(true);
    m_prefs.setValueForKey(ns::Id(true), "enableHiDPIResolutions");
    EXPECT_EQ(pairs(), 1u);
    m_prefs.baseSetRetinaResolutionsEnabled(true);
    m_prefs.setValueForKey(ns::Id(true), "retinaResolutionsEnabled");
    EXPECT_EQ(pairs(), 1u);
    EXPECT_EQ(recorder->keys,
              (std::vector<std::string>{"enableHiDPIResolutions", "retinaResolutionsEnabled"}));
}

TEST(PreferencesShared, TheSharedInstanceCanBeHeldByBindingsAndObservers) {
    auto held = QNBPreferences::sharedAppPrefs().shared_from_this();
    EXPECT_EQ(held.get(), &QNBPreferences::sharedAppPrefs());
}

} // namespace
