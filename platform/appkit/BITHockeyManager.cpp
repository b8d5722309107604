#include "platform/appkit/BITHockeyManager.h"

namespace appkit {

BITHockeyManager& BITHockeyManager::sharedHockeyManager() {
    static BITHockeyManager manager;
    return manager;
}

void BITHockeyManager::configureWithIdentifier(const std::string& identifier, const std::string& companyName,
                                               std::weak_ptr<BITHockeyManagerDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_identifier = identifier;
    m_companyName = companyName;
    m_delegate = std::move(delegate);
    m_configured = true;
}

void BITHockeyManager::startManager() {
    std::lock_guard lock(m_mutex);
    m_started = true;
}

std::string BITHockeyManager::identifier() const {
    std::lock_guard lock(m_mutex);
    return m_identifier;
}

std::string BITHockeyManager::companyName() const {
    std::lock_guard lock(m_mutex);
    return m_companyName;
}

std::shared_ptr<BITHockeyManagerDelegate> BITHockeyManager::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

bool BITHockeyManager::isConfigured() const {
    std::lock_guard lock(m_mutex);
    return m_configured;
}

bool BITHockeyManager::isStarted() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}

void BITHockeyManager::resetForTesting() {
    std::lock_guard lock(m_mutex);
    m_identifier.clear();
    m_companyName.clear();
    m_delegate.reset();
    m_configured = false;
    m_started = false;
}

} // namespace appkit
