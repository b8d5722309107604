#include "host/QNBHeadlessViewManager.h"

#include "host/QNBDisplayModelManager.h"

#include "platform/core/Log.h"

namespace host {

std::shared_ptr<QNBHeadlessViewManager>
QNBHeadlessViewManager::create(const std::shared_ptr<QNBDisplayModelManager>& models) {
    auto manager = std::make_shared<QNBHeadlessViewManager>(models);
    if (models)
        models->addObserver(manager, QNBDisplayModelManager::displayModelArrayKeyPath,
                            ns::NSKeyValueObservingOptionInitial);
    return manager;
}

QNBHeadlessViewManager::QNBHeadlessViewManager(std::weak_ptr<QNBDisplayModelManager> models)
    : m_models(std::move(models)) {}

QNBHeadlessViewManager::~QNBHeadlessViewManager() {
    if (auto models = m_models.lock())
        models->removeObserver(this, QNBDisplayModelManager::displayModelArrayKeyPath);
}

void QNBHeadlessViewManager::showAllowDriversView() {
    platform::log("view manager: showAllowDriversView");
}

void QNBHeadlessViewManager::showInstallDriversView() {
    platform::log("view manager: showInstallDriversView");
}

void QNBHeadlessViewManager::hostWillDisconnectAll() {
    platform::log("view manager: hostWillDisconnectAll");
}

void QNBHeadlessViewManager::disconnectAllComplete() {
    platform::log("view manager: disconnectAllComplete");
}

void QNBHeadlessViewManager::observeValueForKeyPath(const std::string&, ns::NSObject*,
                                                    const ns::NSKeyValueChangeInfo&, void*) {
    logListingIfChanged();
}

std::string QNBHeadlessViewManager::listingText() const {
    auto models = m_models.lock();
    if (!models || models->displayModelArray().empty()) return "listing: empty";
    std::string text = "listing: ";
    bool first = true;
    for (const auto& model : models->displayModelArray()) {
        if (!first) text += "; ";
        first = false;
        text += "\"" + model->displayName().value_or("") + "\" " +
                foundation::NSStringFromQNBDisplayModelStateType(model->stateType());
    }
    return text;
}

void QNBHeadlessViewManager::logListingIfChanged() {
    std::string text = listingText();
    if (text == m_lastListing) return;
    m_lastListing = text;
    platform::log("%@", text);
}

} // namespace host
