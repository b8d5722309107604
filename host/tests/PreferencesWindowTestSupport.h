// What the preferences window's tests share: a temporary root and HOME on the fake clock, an
// in-process window server, preferences that record the will/did-change pairs they post, the
// manager over them, and finding the window's views by identifier.
#pragma once

#include "HostTestSupport.h"

#include "host/QNBPreferencesManager.h"
#include "host/QNBScrivetPreferencesViewController.h"
#include "host/QNBTesselPreferencesViewController.h"

#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host::testing {

class PreferencesWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_root = std::make_unique<TemporaryRoot>();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        m_preferences = std::make_shared<foundation::QNBPreferences>(
            [this](const std::string& name, uint64_t) { m_posts.push_back(name); });
    }
    void TearDown() override {
        m_manager.reset();
        for (auto& window : appkit::NSApp()->windows())
            window->close();
        turn();
        m_kernel->shutdown();
        m_kernel.reset();
        m_root.reset();
    }

    static void turn() { dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode); }

    // The manager over the test's preferences (made once per test).
    QNBPreferencesManager& manager() {
        if (!m_manager) m_manager = QNBPreferencesManager::make(*m_preferences);
        return *m_manager;
    }
    QNBTesselPreferencesViewController& general() { return *manager().tesselPreferencesViewController; }
    QNBScrivetPreferencesViewController& stylus() { return *manager().scrivetPreferencesViewController; }

    // The first view below root (root included) with the identifier.
    static std::shared_ptr<appkit::NSView> find(const std::shared_ptr<appkit::NSView>& root,
                                                const std::string& id) {
        if (!root) return nullptr;
        if (root->identifier() == id) return root;
        for (const auto& sub : root->subviews())
            if (auto found = find(sub, id)) return found;
        return nullptr;
    }
    template <typename T> std::shared_ptr<T> generalView(const std::string& id) {
        return std::dynamic_pointer_cast<T>(find(general().view(), id));
    }
    template <typename T> std::shared_ptr<T> stylusView(const std::string& id) {
        return std::dynamic_pointer_cast<T>(find(stylus().view(), id));
    }

    // Presses the button titled title of the alert that the next call shows, recording the
    // alert's texts and what had been posted before the answer.
    struct AlertSeen {
        bool shown = false;
        std::string message;
        std::vector<std::string> buttons;
        size_t postsBeforeAnswer = 0;
    };
    void answerNextAlert(const std::string& title, AlertSeen* seen) {
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [this, title, seen] {
            auto window = appkit::NSApp()->modalWindow();
            if (!window) return;
            seen->shown = true;
            seen->postsBeforeAnswer = m_posts.size();
            cf::Value open = cg::CGSCopyOpenAlerts();
            if (open.count() == 1) seen->message = *open.at(0)->find("message")->asString();
            std::shared_ptr<appkit::NSButton> chosen;
            for (auto& view : window->contentView()->subviews()) {
                if (auto button = std::dynamic_pointer_cast<appkit::NSButton>(view)) {
                    seen->buttons.push_back(button->title());
                    if (button->title() == title) chosen = button;
                }
            }
            if (chosen) chosen->performClick();
        });
    }

    // Will/did pairs posted since the last call; any other shape fails.
    size_t pairs() {
        for (size_t i = 0; i < m_posts.size(); ++i)
            EXPECT_EQ(m_posts[i], i % 2 ? foundation::kPrefsDidChangeNotification
                                        : foundation::kPrefsWillChangeNotification)
                << i;
        EXPECT_EQ(m_posts.size() % 2, 0u);
        const size_t count = m_posts.size() / 2;
        m_posts.clear();
        return count;
    }

    // The shared domain's value, as this process holds it.
    static std::optional<cf::Value> stored(const std::string& key) {
        return cf::CFPreferencesCopyAppValue(key, foundation::kApplicationID);
    }
    static void store(const std::string& key, const cf::Value& value) {
        cf::CFPreferencesSetAppValue(key, value, foundation::kApplicationID);
    }
    static bool storedBool(const std::string& key) {
        auto value = stored(key);
        return value && value->isBoolean() && *value->asBool();
    }
    // The window server's HiDPI setting, written as its tool would from another process.
    void writeWindowServerHiDPI(bool on) {
        const std::string file = platform::preferencesFilePath(
            foundation::kWindowServerApplicationID, cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
        ASSERT_TRUE(cf::createDirectories(file.substr(0, file.rfind('/')), 0755));
        ASSERT_TRUE(
            cf::writePropertyListFile(cf::Value(cf::Dictionary{{foundation::kDisplayResolutionEnabled, on}}),
                                      file, cf::PropertyListFormat::XML));
    }

    platform::LogCapture m_log{true};
    std::unique_ptr<TemporaryRoot> m_root;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::vector<std::string> m_posts;
    std::shared_ptr<foundation::QNBPreferences> m_preferences;
    std::shared_ptr<QNBPreferencesManager> m_manager;
};

} // namespace host::testing
