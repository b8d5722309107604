// The "AboutTesselHelper" nib, beside its controller.
#include "input/QNBAboutWindowController.h"

#include "platform/appkit/NSFont.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSTextField.h"
#include "platform/foundation/NSBundle.h"

namespace input {

namespace {

constexpr double kWidth = 320;
constexpr double kHeight = 180;
constexpr const char* kCopyright = "Copyright \u00a9 2026 Quenby. All rights reserved.";

// A string of the main bundle's Info.plist; the fallback when absent or not a string.
std::string infoString(const char* key, const std::string& fallback) {
    auto bundle = ns::NSBundle::mainBundle();
    if (!bundle) return fallback;
    auto value = bundle->objectForInfoDictionaryKey(key);
    if (!value || !value->asString()) return fallback;
    return *value->asString();
}

std::shared_ptr<appkit::NSTextField> centredLabel(appkit::NSNib& nib, const std::string& text, double y,
                                                  double height, std::shared_ptr<appkit::NSFont> font,
                                                  const char* identifier) {
    auto label = nib.make<appkit::NSTextField>(cg::CGRectMake(20, y, kWidth - 40, height));
    label->setStringValue(text);
    label->setEditable(false);
    label->setBezeled(false);
    label->setDrawsBackground(false);
    label->setAlignment(appkit::NSTextAlignmentCenter);
    label->setFont(std::move(font));
    label->setIdentifier(identifier);
    return label;
}

const appkit::NSNibRegistrar aboutNib(kAboutTesselHelperNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBAboutWindowController>();
    if (!owner) return false;
    auto window =
        nib.make<appkit::NSWindow>(cg::CGRectMake(0, 0, kWidth, kHeight),
                                   appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable);
    window->setTitle("About TesselHelper");
    auto content = window->contentView();
    content->addSubview(centredLabel(nib, infoString("CFBundleName", "TesselHelper"), 110, 26,
                                     appkit::NSFont::boldSystemFontOfSize(17), "nameLabel"));
    content->addSubview(centredLabel(nib, "Version " + infoString("CFBundleShortVersionString", "unknown"),
                                     78, 20, appkit::NSFont::systemFontOfSize(13), "versionLabel"));
    content->addSubview(
        centredLabel(nib, kCopyright, 30, 18, appkit::NSFont::systemFontOfSize(11), "copyrightLabel"));
    nib.addTopLevelObject(window);
    owner->setWindow(window);
    return true;
});

} // namespace

void QNBAboutWindowController::windowDidLoad() {
    appkit::NSWindowController::windowDidLoad();
}

} // namespace input
