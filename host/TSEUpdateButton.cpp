#include "host/TSEUpdateButton.h"

#include "host/TSEUpdater.h"

#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/foundation/NSBundle.h"

namespace host {

std::shared_ptr<TSEUpdateButton> TSEUpdateButton::make(cg::CGRect frame) {
    auto button = std::make_shared<TSEUpdateButton>(frame);
    button->setup();
    return button;
}

TSEUpdateButton::~TSEUpdateButton() {
    for (const auto& token : m_observations)
        ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

const appkit::NSActionTable& TSEUpdateButton::classActions() {
    static const appkit::NSActionTable table = appkit::NSActionTable(&appkit::NSActionTarget::classActions())
                                                   .action("attemptUpdate", &TSEUpdateButton::attemptUpdate);
    return table;
}

bool TSEUpdateButton::alwaysShown() {
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    return defaults && defaults->boolForKey(kAlwaysShowUpdateButtonKey);
}

void TSEUpdateButton::setup() {
    if (m_setUp) return;
    m_setUp = true;
    auto self = std::static_pointer_cast<TSEUpdateButton>(shared_from_this());
    auto& centre = ns::NSNotificationCenter::defaultCenter();
    const void* updater = TSEUpdater::classObject().get();
    m_observations.push_back(
        centre.addObserver(self, &TSEUpdateButton::updateAvailable, kTSEUpdaterDidFindUpdate, updater));
    m_observations.push_back(
        centre.addObserver(self, &TSEUpdateButton::updateUnavailable, kTSEUpdaterIsUpToDate, updater));
    if (!alwaysShown()) setHidden(!TSEUpdater::updateAvailable());
    setTitle(ns::NSLocalizedString("Update Available"));
    sizeToFit();
    setTarget(self);
    setAction("attemptUpdate");
}

void TSEUpdateButton::updateAvailable(const ns::NSNotification&) {
    setHidden(false);
}

void TSEUpdateButton::updateUnavailable(const ns::NSNotification&) {
    if (!alwaysShown()) setHidden(true);
}

void TSEUpdateButton::attemptUpdate(appkit::NSActionTarget*) {
    TSEUpdater::attemptUpdate();
}

} // namespace host
