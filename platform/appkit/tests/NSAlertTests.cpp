// Alerts: answered by presses queued before runModal, their codes (1000… and the legacy 1, 0,
// -1), the panel (level 8, centred, "AXDialog"), the suppression check box, what platformd's
// window server lists and logs, sheets, and the window server refusing malformed announcements.
#include "platform/appkit/NSAccessibilityExporter.h"
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/SUUpdaterWindow.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSBundle.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "WindowTestSupport.h"

#include <filesystem>
#include <unistd.h>

namespace appkit {

namespace {

void onMainQueue(std::function<void()> block) {
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), std::move(block));
}

class CountingView : public NSView {
  public:
    using NSView::NSView;
    void mouseDown(const NSEvent&) override { ++downs; }
    int downs = 0;
};

int64_t integerField(const cf::Dictionary& fields, const char* key) {
    auto it = fields.find(key);
    return it == fields.end() ? -999 : it->second.storedInteger().value_or(-999);
}

} // namespace

class NSAlertTest : public testing::WindowTest {};

TEST_F(NSAlertTest, TheAlertAnsweredByAPressQueuedOnTheMainQueueBeforeRunModal) {
    auto main = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    main->makeKeyAndOrderFront();
    auto alert = NSAlert::make();
    alert->setMessageText("Fixture alert");
    alert->setInformativeText("Something happened.");
    alert->setAlertStyle(NSAlertStyleCritical);
    alert->addButtonWithTitle("OK");
    alert->addButtonWithTitle("Cancel");
    onMainQueue([&] {
        auto window = alert->window();
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->isKeyWindow());
        EXPECT_EQ(window->level(), NSModalPanelWindowLevel);
        EXPECT_EQ(window->title(), "Fixture alert");
        EXPECT_EQ(window->accessibilityRole(), "AXWindow");
        EXPECT_EQ(window->accessibilitySubrole(), "AXDialog");
        // Centred on the main screen's visible frame (1440 x 900 less the 22-point menu bar).
        const cg::CGRect frame = window->frame();
        EXPECT_DOUBLE_EQ(frame.origin.x + frame.size.width / 2, 720);
        EXPECT_DOUBLE_EQ(frame.origin.y + frame.size.height / 2, 439);
        cf::Value open = cg::CGSCopyOpenAlerts();
        ASSERT_EQ(open.count(), 1u);
        EXPECT_EQ(*open.at(0)->find("message")->asString(), "Fixture alert");
        EXPECT_EQ(*open.at(0)->find("kind")->asString(), "alert");
        EXPECT_EQ(open.at(0)->find("buttons")->count(), 2u);
        alert->buttons()[1]->performClick();
    });
    EXPECT_EQ(alert->runModal(), NSAlertSecondButtonReturn);
    EXPECT_FALSE(alert->window()->isVisible());
    EXPECT_EQ(NSApp()->modalWindow(), nullptr);
    EXPECT_TRUE(main->isKeyWindow()); // key again once the alert is gone
    EXPECT_EQ(cg::CGSCopyOpenAlerts().count(), 0u);
    auto log = records();
    auto begin =
        std::find_if(log.begin(), log.end(), [](auto& r) { return r.first == "alert-begin NSAlert"; });
    auto end = std::find_if(log.begin(), log.end(), [](auto& r) { return r.first == "alert-end NSAlert"; });
    ASSERT_NE(begin, log.end());
    ASSERT_NE(end, log.end());
    EXPECT_LT(begin, end);
    EXPECT_EQ(integerField(begin->second, "style"), NSAlertStyleCritical);
    EXPECT_EQ(integerField(end->second, "button"), 1);
    EXPECT_EQ(integerField(end->second, "code"), NSAlertSecondButtonReturn);
    EXPECT_FALSE(end->second.at("suppressed").boolValue());
}

TEST_F(NSAlertTest, TheUpdatersWindowTellsThePersonWhatTheirCheckFound) {
    using Result = ns::SUUpdateCheckResult;
    EXPECT_EQ(SUUpdaterWindowTexts(Result{"Tessel Host", "2.0", std::nullopt, ""}),
              std::make_pair(std::string("You\u2019re up-to-date!"),
                             std::string("Tessel Host 2.0 is currently the newest version available.")));
    EXPECT_EQ(SUUpdaterWindowTexts(Result{"Tessel Host", "2.0", ns::SUAppcastItem{"3", "2.1"}, ""}),
              std::make_pair(std::string("A new version of Tessel Host is available!"),
                             std::string("Tessel Host 2.1 is now available\u2014you have 2.0.")));
    EXPECT_EQ(SUUpdaterWindowTexts(Result{"Tessel Host", "2.0", std::nullopt, "not an array"}).first,
              "Update Error!");

    // A check a person asks for shows its result in an alert until they dismiss it.
    char pattern[] = "/tmp/updater-window-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string dir = pattern;
    ASSERT_TRUE(cf::writePropertyListFile(
        cf::Value(cf::Array{cf::Value(
            cf::Dictionary{{"version", cf::Value("3")}, {"displayVersionString", cf::Value("2.1")}})}),
        dir + "/Appcast.plist", cf::PropertyListFormat::XML));
    cf::Dictionary info{{"CFBundleName", cf::Value("Fixture")},
                        {"CFBundleShortVersionString", cf::Value("2.0")},
                        {"CFBundleVersion", cf::Value("2")},
                        {"SUFeedURL", cf::Value("file://" + dir + "/Appcast.plist")}};
    auto updater = ns::SUUpdater::updaterForBundle(
        std::make_shared<ns::NSBundle>(dir + "/Fixture.app", dir + "/Fixture.app/Contents", cf::Value(info)));
    SUUpdaterInstallWindow();
    std::vector<std::string> shown;
    int tries = 0;
    std::function<void()> answer = [&] {
        auto window = NSApp()->modalWindow();
        if (!window) {
            if (++tries < 1000) onMainQueue(answer); // the check's window comes on a later turn
            return;
        }
        cf::Value open = cg::CGSCopyOpenAlerts();
        for (size_t i = 0; i < open.count(); ++i)
            shown.push_back(*open.at(i)->find("message")->asString());
        window->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointMake(0, 0), 0, 0,
                                            window->windowNumber(), "\r", 36));
    };
    onMainQueue(answer);
    updater->checkForUpdates();
    dispatch::runUntilIdle();
    ns::SUUpdater::setUserDriver(nullptr);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(shown, std::vector<std::string>{"A new version of Fixture is available!"});
    EXPECT_EQ(NSApp()->modalWindow(), nullptr);
    EXPECT_EQ(cg::CGSCopyOpenAlerts().count(), 0u);
}

TEST_F(NSAlertTest, ReturnPressesTheFirstButtonAndEscapeTheCancelButton) {
    auto key = [](const std::shared_ptr<NSAlert>& alert, uint16_t code, const char* characters) {
        onMainQueue([alert, code, characters] {
            auto window = alert->window();
            window->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointMake(0, 0), 0, 0,
                                                window->windowNumber(), characters, code));
        });
    };
    auto make = [] {
        auto alert = NSAlert::make();
        alert->setMessageText("Keys");
        alert->addButtonWithTitle("Save");
        alert->addButtonWithTitle("Cancel");
        alert->addButtonWithTitle("Discard");
        return alert;
    };
    auto alert = make();
    key(alert, 53, "\x1b");
    EXPECT_EQ(alert->runModal(), NSAlertSecondButtonReturn);
    alert = make();
    key(alert, 36, "\r");
    EXPECT_EQ(alert->runModal(), NSAlertFirstButtonReturn);
    // Without a "Cancel" button Escape presses nothing; another key goes on to the panel.
    auto lone = NSAlert::make();
    lone->setMessageText("Lone");
    lone->addButtonWithTitle("OK");
    key(lone, 53, "\x1b");
    key(lone, 0, "a");
    onMainQueue([lone] {
        EXPECT_TRUE(lone->window()->isVisible());
        lone->buttons()[0]->performClick();
    });
    EXPECT_EQ(lone->runModal(), NSAlertFirstButtonReturn);
}

TEST_F(NSAlertTest, ButtonsAnswerInTheOrderAddedAndLegacyAlertsAnswerOneZeroMinusOne) {
    auto alert = NSAlert::make();
    EXPECT_EQ(alert->addButtonWithTitle("A")->tag(), 1000);
    alert->addButtonWithTitle("B");
    alert->addButtonWithTitle("C");
    onMainQueue([&] { alert->buttons()[2]->accessibilityPerformAction("AXPress"); });
    EXPECT_EQ(alert->runModal(), NSAlertThirdButtonReturn);
    // The first button is the rightmost.
    EXPECT_GT(alert->buttons()[0]->frame().origin.x, alert->buttons()[1]->frame().origin.x);

    auto bare = NSAlert::make(); // no buttons: "OK"
    onMainQueue([&] { bare->buttons().at(0)->performClick(); });
    EXPECT_EQ(bare->runModal(), NSAlertFirstButtonReturn);
    EXPECT_EQ(bare->buttons()[0]->title(), "OK");

    auto legacy = NSAlert::alertWithMessageText("Quit?", std::nullopt, "Cancel", "Later", "Text");
    ASSERT_EQ(legacy->buttons().size(), 3u);
    EXPECT_EQ(legacy->buttons()[0]->title(), "OK");
    const std::vector<NSModalResponse> expected{NSAlertDefaultReturn, NSAlertAlternateReturn,
                                                NSAlertOtherReturn};
    for (size_t i = 0; i < 3; ++i) {
        onMainQueue([&, i] { legacy->buttons()[i]->performClick(); });
        EXPECT_EQ(legacy->runModal(), expected[i]);
    }
    EXPECT_EQ(NSAlert::alertWithMessageText("M", "Yes", std::nullopt, std::nullopt, "")->buttons().size(),
              1u);
    // A loop stopped from elsewhere ends the alert without a button.
    onMainQueue([] { NSApp()->abortModal(); });
    EXPECT_EQ(alert->runModal(), NSModalResponseAbort);
    EXPECT_EQ(integerField(records().back().second, "button"), -1);
}

TEST_F(NSAlertTest, AlertPanelsAnswerAsLegacyAlertsDoWithTheirStyle) {
    // Presses the modal panel's button of that title.
    auto press = [](std::string title) {
        onMainQueue([title] {
            auto window = NSApp()->modalWindow();
            ASSERT_TRUE(window);
            for (auto& view : window->contentView()->subviews())
                if (auto button = std::dynamic_pointer_cast<NSButton>(view);
                    button && button->title() == title)
                    return button->performClick();
            ADD_FAILURE() << "no button " << title;
        });
    };
    press("OK");
    EXPECT_EQ(NSRunInformationalAlertPanel("Graphics Accelerator Warning", "Do not.", std::nullopt,
                                           std::nullopt, std::nullopt),
              NSAlertDefaultReturn);
    EXPECT_EQ(integerField(records().front().second, "style"), NSAlertStyleInformational);
    press("Don't Log Out");
    EXPECT_EQ(NSRunAlertPanel("Logout required", "Log out.", "Log Out Now", "Cancel", "Don't Log Out"),
              NSAlertOtherReturn);
    press("Cancel");
    EXPECT_EQ(NSRunCriticalAlertPanel("Critical", "", std::nullopt, "Cancel", std::nullopt),
              NSAlertAlternateReturn);
}

TEST_F(NSAlertTest, TheSuppressionCheckBoxStaysReadableAndItsStateIsAnnounced) {
    auto alert = NSAlert::make();
    alert->setMessageText("Again?");
    auto icon = std::make_shared<NSImage>(cg::CGSizeMake(64, 64));
    alert->setIcon(icon);
    EXPECT_EQ(alert->icon(), icon);
    alert->setShowsSuppressionButton(true);
    auto box = alert->suppressionButton();
    EXPECT_EQ(box->accessibilityRole(), "AXCheckBox");
    onMainQueue([&] {
        EXPECT_EQ(box->window(), alert->window());
        box->performClick();
        alert->buttons()[0]->performClick();
    });
    EXPECT_EQ(alert->runModal(), NSAlertFirstButtonReturn);
    EXPECT_EQ(alert->suppressionButton()->state(), NSControlStateValueOn);
    EXPECT_TRUE(records().back().second.at("suppressed").boolValue());
}

TEST_F(NSAlertTest, ASheetReturnsAtOnceBlocksItsParentAndCompletesOnTheNextTurn) {
    auto parent = NSWindow::make(cg::CGRectMake(100, 100, 600, 400), NSWindowStyleMaskTitled);
    auto view = std::make_shared<CountingView>(cg::CGRectMake(0, 0, 600, 400));
    parent->contentView()->addSubview(view);
    parent->makeKeyAndOrderFront();
    auto alert = NSAlert::make();
    alert->setMessageText("Sheet");
    alert->addButtonWithTitle("Done");
    std::vector<NSModalResponse> answers;
    alert->beginSheetModalForWindow(parent, [&](NSModalResponse code) { answers.push_back(code); });
    auto sheet = alert->window();
    std::weak_ptr<NSAlert> weakAlert = alert;
    auto done = alert->buttons()[0];
    alert.reset(); // the sheet keeps its alert
    ASSERT_FALSE(weakAlert.expired());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->accessibilityRole(), "AXSheet");
    EXPECT_EQ(NSApp()->attachedSheet(*parent), sheet);
    // Top-centred on the parent's content.
    EXPECT_DOUBLE_EQ(sheet->frame().origin.y + sheet->frame().size.height, 500);
    EXPECT_DOUBLE_EQ(sheet->frame().origin.x + sheet->frame().size.width / 2, 400);
    NSApp()->sendEvent(NSEvent::mouseEvent(NSEventType::LeftMouseDown, cg::CGPointMake(10, 10), 0, 0,
                                           parent->windowNumber(), 1, 1));
    EXPECT_EQ(view->downs, 0);
    EXPECT_EQ(*cg::CGSCopyOpenAlerts().at(0)->find("kind")->asString(), "sheet");
    // A second sheet on the same window is refused.
    NSAlert::make()->beginSheetModalForWindow(parent, [&](NSModalResponse) { answers.push_back(0); });
    EXPECT_TRUE(m_log.contains("the window has a sheet"));

    done->accessibilityPerformAction("AXPress");
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_TRUE(answers.empty()); // not before the next turn
    turn();
    EXPECT_EQ(answers, (std::vector<NSModalResponse>{NSAlertFirstButtonReturn}));
    EXPECT_TRUE(weakAlert.expired());
    EXPECT_EQ(NSApp()->attachedSheet(*parent), nullptr);
    EXPECT_TRUE(parent->isKeyWindow());
    NSApp()->sendEvent(NSEvent::mouseEvent(NSEventType::LeftMouseDown, cg::CGPointMake(10, 10), 0, 0,
                                           parent->windowNumber(), 1, 1));
    EXPECT_EQ(view->downs, 1);
    EXPECT_EQ(recordCount("alert-end NSAlert"), 1u);
}

TEST_F(NSAlertTest, ASheetHangsWithoutATitleBarAndItsInformativeTextWrapsWithinItsFrame) {
    auto parent = NSWindow::make(cg::CGRectMake(100, 100, 600, 400), NSWindowStyleMaskTitled);
    parent->makeKeyAndOrderFront();
    const std::string text = "To restore your display, reopen Tessel on your device.\n"
                             "To stop using Tessel for now, click \"OK\", then close this window";
    auto alert = NSAlert::alertWithMessageText("Your Tessel connection has paused", "OK", std::nullopt,
                                               std::nullopt, text);
    alert->setShowsSuppressionButton(true);
    alert->beginSheetModalForWindow(parent, [](NSModalResponse) {});
    auto sheet = alert->window();
    std::shared_ptr<NSTextField> informative;
    for (auto& view : sheet->contentView()->subviews())
        if (auto field = std::dynamic_pointer_cast<NSTextField>(view); field && field->stringValue() == text)
            informative = field;
    ASSERT_TRUE(informative);
    NSStringAttributes attributes;
    attributes.font = informative->font();
    const double room = informative->frame().size.width - 2 * kNSTextFieldTextInset;
    EXPECT_GT(NSStringSize(text, attributes).width, room) << "the second line is wider than the sheet";
    EXPECT_LE(NSStringSize(text, attributes, room).height, informative->frame().size.height)
        << "every wrapped line lies within the label";
    // The parent's title bar shows above the sheet; the sheet has none of its own.
    const uint32_t top = pixel(picture(*sheet), 5, 5);
    EXPECT_EQ(top & 0xFFFFFF, 0xECECECu) << std::hex << top;
    alert->buttons()[0]->performClick();
    turn();
}

// The fixture's road: an accessibility press answers the alert while runModal blocks, and the
// windows the alert or a sheet blocks refuse presses.
TEST_F(NSAlertTest, AccessibilityPressesTheAlertWhileRunModalBlocksAndRefusesWhatItBlocks) {
    auto exporter = std::make_shared<NSAccessibilityExporter>(::getpid(), "Alerts");
    auto main = NSWindow::make(cg::CGRectMake(0, 0, 300, 200), NSWindowStyleMaskTitled);
    auto behind = NSButton::buttonWithTitle("Behind", nullptr, "");
    main->contentView()->addSubview(behind);
    main->makeKeyAndOrderFront();
    auto alert = NSAlert::make();
    alert->setMessageText("Fixture alert");
    alert->addButtonWithTitle("OK");
    onMainQueue([&] {
        std::function<void()> deed;
        EXPECT_EQ(exporter->performAction(exporter->elementForView(behind), "AXPress", &deed),
                  ax::kAXErrorCannotComplete);
        EXPECT_FALSE(deed);
        ASSERT_EQ(exporter->performAction(exporter->elementForView(alert->buttons()[0]), "AXPress", &deed),
                  ax::kAXErrorSuccess);
        ASSERT_TRUE(deed);
        deed();
    });
    EXPECT_EQ(alert->runModal(), NSAlertFirstButtonReturn);

    // A sheet is exported under its parent, which refuses presses until it ends.
    auto sheet = NSAlert::make();
    sheet->addButtonWithTitle("Done");
    NSModalResponse answered = 0;
    sheet->beginSheetModalForWindow(main, [&](NSModalResponse code) { answered = code; });
    ax::AXAttributeValue parent;
    ASSERT_EQ(exporter->copyAttributeValue(exporter->elementForWindow(sheet->window()), "AXParent", &parent),
              ax::kAXErrorSuccess);
    auto* parentRef = std::get_if<ax::AXUIElementRef>(&parent);
    ASSERT_TRUE(parentRef && *parentRef);
    EXPECT_EQ(**parentRef, exporter->elementForWindow(main));
    std::function<void()> deed;
    EXPECT_EQ(exporter->performAction(exporter->elementForView(behind), "AXPress", &deed),
              ax::kAXErrorCannotComplete);
    ASSERT_EQ(exporter->performAction(exporter->elementForView(sheet->buttons()[0]), "AXPress", &deed),
              ax::kAXErrorSuccess);
    deed();
    turn();
    EXPECT_EQ(answered, NSAlertFirstButtonReturn);
    EXPECT_EQ(exporter->performAction(exporter->elementForView(behind), "AXPress", &deed),
              ax::kAXErrorSuccess);
}

TEST_F(NSAlertTest, TheWindowServerRefusesMalformedAnnouncements) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 10, 10), NSWindowStyleMaskTitled);
    auto connection = m_kernel->windowServerConnection();
    cf::Dictionary good{
        {"window", window->windowNumber()}, {"kind", "alert"}, {"message", "m"}, {"informative", ""},
        {"buttons", cf::Array{"OK"}},       {"style", 0}};
    auto with = [&](const char* key, cf::Value value) {
        cf::Dictionary args = good;
        args.insert_or_assign(key, std::move(value));
        return connection->request(windowserver::op::alertBegin, args);
    };
    EXPECT_FALSE(with("kind", "banner"));
    EXPECT_FALSE(with("buttons", "OK"));
    EXPECT_FALSE(with("buttons", cf::Array{int64_t(1)}));
    EXPECT_FALSE(with("message", std::string(5000, 'x')));
    EXPECT_FALSE(with("style", int64_t(9)));
    // Another's or no window: an illegal argument.
    auto stranger = with("window", int64_t(999999));
    ASSERT_TRUE(stranger);
    EXPECT_EQ(stranger->find("status")->storedInteger(), 1001);
    // An end with no begin is refused; a begin twice in one window too.
    EXPECT_FALSE(connection->request(
        windowserver::op::alertEnd,
        cf::Dictionary{
            {"window", window->windowNumber()}, {"button", 0}, {"code", 1000}, {"suppressed", false}}));
    EXPECT_TRUE(connection->request(windowserver::op::alertBegin, good));
    EXPECT_FALSE(connection->request(windowserver::op::alertBegin, good));
    EXPECT_EQ(cg::CGSCopyOpenAlerts().count(), 1u);
    EXPECT_TRUE(m_log.contains("refusing ws.alertBegin"));
    EXPECT_EQ(recordCount("alert-begin NSAlert"), 1u);
}

} // namespace appkit
