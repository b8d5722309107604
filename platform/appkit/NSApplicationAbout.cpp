// The standard About panel: what the menu's About item (orderFrontStandardAboutPanel:) shows.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSWindow.h"
#include "platform/foundation/NSBundle.h"

#include <filesystem>

namespace appkit {

namespace {

constexpr double kWidth = 280;
constexpr double kHeight = 110;
constexpr double kMargin = 20;
constexpr double kNameHeight = 22;
constexpr double kVersionHeight = 18;
constexpr double kGap = 8;

std::string infoText(const ns::NSBundle* bundle, const char* key) {
    if (!bundle) return {};
    auto value = bundle->objectForInfoDictionaryKey(key);
    return value && value->asString() ? *value->asString() : std::string();
}

} // namespace

const NSActionTable& NSApplication::classActions() {
    static const NSActionTable table =
        NSActionTable(&NSActionTarget::classActions())
            .action("orderFrontStandardAboutPanel:", &NSApplication::orderFrontStandardAboutPanel);
    return table;
}

void NSApplication::orderFrontStandardAboutPanel(NSActionTarget*) {
    std::shared_ptr<NSWindow> shown = m_aboutPanel.lock();
    if (!shown) {
        auto bundle = ns::NSBundle::mainBundle();
        std::string name = infoText(bundle.get(), "CFBundleName");
        // Without a name in its information, the bundle folder's name stands for the application.
        if (name.empty() && bundle) name = std::filesystem::path(bundle->bundlePath()).stem().string();
        const std::string version = infoText(bundle.get(), "CFBundleShortVersionString");

        auto panel = NSWindow::make<NSPanel>(cg::CGRectMake(0, 0, kWidth, kHeight),
                                             NSWindowStyleMaskTitled | NSWindowStyleMaskClosable);
        panel->setTitle("About " + name);
        // An application without a Dock icon is rarely active: the panel stays up regardless.
        panel->setHidesOnDeactivate(false);
        auto content = panel->contentView();
        auto nameField = NSTextField::labelWithString(name);
        nameField->setFrame(
            cg::CGRectMake(kMargin, kHeight - kMargin - kNameHeight, kWidth - 2 * kMargin, kNameHeight));
        content->addSubview(nameField);
        if (!version.empty()) {
            auto versionField = NSTextField::labelWithString("Version " + version);
            versionField->setFrame(cg::CGRectMake(kMargin,
                                                  kHeight - kMargin - kNameHeight - kGap - kVersionHeight,
                                                  kWidth - 2 * kMargin, kVersionHeight));
            content->addSubview(versionField);
        }
        panel->center();
        m_aboutPanel = panel;
        shown = panel;
    }
    shown->makeKeyAndOrderFront();
}

} // namespace appkit
