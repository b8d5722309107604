// Fakes for the host's unit tests: a view manager and alerts that record what they are asked,
// and a temporary stand-in root with HOME inside it (fake clock installed first).
#pragma once

#include "host/HostAlerts.h"
#include "host/QNBBonjourManager.h"
#include "host/QNBViewManagerInterface.h"

#include "foundation/QNBDisplayModel.h"

#include "platform/core/Clock.h"
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace host::testing {

class FakeViewManager final : public QNBViewManagerInterface {
  public:
    void showAllowDriversView() override { calls.push_back("showAllowDriversView"); }
    void showInstallDriversView() override { calls.push_back("showInstallDriversView"); }
    void activateMenuletPopover() override { calls.push_back("activateMenuletPopover"); }
    void closeMenuletPopover() override { calls.push_back("closeMenuletPopover"); }
    void removeStatusItem() override { calls.push_back("removeStatusItem"); }
    void rearrangeDisplayArray() override { calls.push_back("rearrangeDisplayArray"); }
    void updateListingStateForDisplayModel(foundation::QNBDisplayModel&) override {
        calls.push_back("updateListingState");
    }
    void assertConnectingStateForDisplayModel(foundation::QNBDisplayModel& model) override {
        calls.push_back("assertConnectingState " + model.displayName().value_or(""));
    }
    void hostWillDisconnectAll() override { calls.push_back("hostWillDisconnectAll"); }
    void disconnectAllComplete() override { calls.push_back("disconnectAllComplete"); }

    size_t count(const std::string& call) const {
        size_t n = 0;
        for (const auto& c : calls)
            n += c == call;
        return n;
    }
    std::vector<std::string> calls;
};

class FakeAlerts final : public HostAlerts {
  public:
    struct Alert {
        std::string message;
        std::string informativeText;
        std::vector<std::string> buttons;
    };
    int64_t runModal(const std::string& message, const std::string& informativeText,
                     const std::vector<std::string>& buttons) override {
        shown.push_back({message, informativeText, buttons});
        if (duringModal) duringModal();
        return NSAlertFirstButtonReturn;
    }
    // Runs while an alert is up, as the modal loop would run other work.
    std::function<void()> duringModal;
    void activateIgnoringOtherApps() override { ++activations; }
    std::vector<Alert> shown;
    int activations = 0;
};

// Records what the Bonjour browser asks of the platform.
class RecordingBrowsing final : public BonjourBrowsing {
  public:
    void searchForServicesOfType(const std::string& type, const std::string& domain) override {
        calls.push_back("search " + type + " " + domain);
    }
    void stopSearch() override { calls.push_back("stop"); }
    void resolveWithTimeout(const std::shared_ptr<ns::NSNetService>& service, double seconds) override {
        calls.push_back("resolve " + service->name() + " " + std::to_string(static_cast<int>(seconds)));
    }
    void startMonitoring(const std::shared_ptr<ns::NSNetService>& service) override {
        calls.push_back("monitor " + service->name());
    }
    void stopMonitoring(const std::shared_ptr<ns::NSNetService>& service) override {
        calls.push_back("unmonitor " + service->name());
    }
    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& c : calls)
            n += c.rfind(prefix, 0) == 0;
        return n;
    }
    std::vector<std::string> calls;
};

// A temporary stand-in root with HOME inside; removed at destruction.
class TemporaryRoot {
  public:
    TemporaryRoot() {
        platform::installFakeClock();
        char pattern[] = "/tmp/hst.XXXXXX";
        if (::mkdtemp(pattern)) m_root = pattern;
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        platform::testing::makeRoot(m_root);
    }
    ~TemporaryRoot() { platformd::testing::removeTree(m_root); }
    const std::string& root() const { return m_root; }
    std::string home() const { return m_root + "/home"; }
    std::string archivePath() const {
        return home() + "/Library/Application Support/Quenby/Tessel/archive.qnbDisplayModel";
    }

  private:
    std::string m_root;
};

} // namespace host::testing
