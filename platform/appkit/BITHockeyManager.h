// The crash-reporting service's manager. Configuration and start are stored and nothing more:
// no network, no callbacks, no log. Tests read what was configured.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace appkit {

// What the manager calls back; nothing is ever reported here, so no call arrives.
class BITHockeyManagerDelegate {
  public:
    virtual ~BITHockeyManagerDelegate() = default;
};

class BITHockeyManager {
  public:
    static BITHockeyManager& sharedHockeyManager();

    void configureWithIdentifier(const std::string& identifier, const std::string& companyName,
                                 std::weak_ptr<BITHockeyManagerDelegate> delegate);
    void startManager();

    std::string identifier() const;
    std::string companyName() const;
    std::shared_ptr<BITHockeyManagerDelegate> delegate() const;
    bool isConfigured() const;
    bool isStarted() const;
    // Tests start from an unconfigured manager.
    void resetForTesting();

    BITHockeyManager() = default;
    BITHockeyManager(const BITHockeyManager&) = delete;
    BITHockeyManager& operator=(const BITHockeyManager&) = delete;

  private:
    mutable std::mutex m_mutex;
    std::string m_identifier;
    std::string m_companyName;
    std::weak_ptr<BITHockeyManagerDelegate> m_delegate;
    bool m_configured = false;
    bool m_started = false;
};

} // namespace appkit
