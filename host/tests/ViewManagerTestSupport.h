// The host's interface in-process: a temporary root, an in-process window server on the fake
// clock, a display-model manager with no platform behind it, and a view manager whose requests
// to the rest of the program are recorded.
#pragma once

#include "HostTestSupport.h"

#include "host/QNBDisplayModelManager.h"
#include "host/QNBMenuletViewController.h"
#include "host/QNBTesselCollectionViewItem.h"
#include "host/QNBViewManager.h"

#include "foundation/QNBDisplayModel.h"
#include "platform/appkit/NSApplication.h"
#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host::testing {

class ViewManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_root = std::make_unique<TemporaryRoot>();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        models = QNBDisplayModelManager::create({});
        auto r = std::make_shared<QNBInterfaceRequests>();
        auto record = [this](std::string call) { calls.push_back(std::move(call)); };
        r->connectToVirtualScreenWith = [record](const auto& m) { record("connect " + *m->displayName()); };
        r->disconnectVirtualScreenWith = [record](const auto& m) {
            record("disconnect " + *m->displayName());
        };
        r->disconnectAllConnectedDisplays = [record] { record("disconnectAll"); };
        r->openHelpURL = [record] { record("help"); };
        r->openGetInstallerURL = [record] { record("installer"); };
        r->checkForUpdates = [record] { record("checkForUpdates"); };
        r->terminate = [record] { record("terminate"); };
        r->togglePreferencesPanelDisplay = [record] { record("preferences"); };
        r->activatePreferencesPanels = [record] { record("activatePanels"); };
        requests = r;
        viewManager = QNBViewManager::create(models, requests);
        models->setViewManager(viewManager);
    }
    void TearDown() override {
        viewManager->removeStatusItem();
        models->setViewManager(nullptr);
        viewManager.reset();
        for (auto& window : appkit::NSApp()->windows())
            window->close();
        turn();
        m_kernel->shutdown();
        m_kernel.reset();
        m_root.reset();
    }

    // The main loop until idle; with seconds, the fake clock moves on that far, running what
    // falls due on the way.
    static void turn(double seconds = 0) {
        if (seconds > 0) dispatch::advanceAndRun(seconds);
        dispatch::runUntilIdle();
    }

    std::shared_ptr<foundation::QNBDisplayModel> addModel(const std::string& name, uint64_t state,
                                                          const std::string& address = "192.0.2.10") {
        auto model = foundation::QNBDisplayModel::displayModelWithAddressString(address);
        model->setDisplayName(name);
        model->setStateType(state);
        return models->addDisplayModel(model);
    }

    std::vector<std::string> arrangedNames() const {
        std::vector<std::string> names;
        for (const auto& object : viewManager->displayArrayController()->arrangedObjects())
            names.push_back(object.objectAs<foundation::QNBDisplayModel>()->displayName().value_or(""));
        return names;
    }

    std::shared_ptr<QNBTesselCollectionViewItem> row(size_t index) const {
        auto collection = viewManager->displayCollectionView();
        return collection
                   ? std::dynamic_pointer_cast<QNBTesselCollectionViewItem>(collection->itemAtIndex(index))
                   : nullptr;
    }

    std::shared_ptr<QNBTesselChildViewController> child() const {
        return viewManager->menuletViewController()->tesselViewController()->childViewController();
    }

    std::shared_ptr<QNBDisplayModelManager> models;
    std::shared_ptr<const QNBInterfaceRequests> requests;
    std::shared_ptr<QNBViewManager> viewManager;
    std::vector<std::string> calls;

  private:
    std::unique_ptr<TemporaryRoot> m_root;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

} // namespace host::testing
