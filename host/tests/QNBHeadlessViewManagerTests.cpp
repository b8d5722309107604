// The program's view manager: its log lines follow the live list and the driver and
// disconnect-all calls.
#include "HostTestSupport.h"

#include "host/QNBDisplayModelManager.h"
#include "host/QNBHeadlessViewManager.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

namespace {

using namespace host;

TEST(QNBHeadlessViewManagerTest, TheListingIsLoggedWheneverItsTextChanges) {
    host::testing::TemporaryRoot root;
    platform::LogCapture log(true);
    auto models = QNBDisplayModelManager::create({});
    auto view = QNBHeadlessViewManager::create(models);
    models->setViewManager(view);
    auto shown = [&log] {
        std::vector<std::string> lines;
        for (const auto& line : log.lines())
            if (line.rfind("listing: ", 0) == 0 || line.rfind("view manager: ", 0) == 0)
                lines.push_back(line);
        return lines;
    };
    EXPECT_EQ(shown(), std::vector<std::string>{"listing: empty"});

    auto model = foundation::QNBDisplayModel::displayModelWithAddressString("127.0.0.2");
    model->setDisplayName("Demo iPad");
    auto kept = models->addDisplayModel(model);
    models->localConnectionMadeForDisplayModel(kept);
    models->assertConnectionStatusForReconciledModels(); // the same text again: not logged
    view->showInstallDriversView();
    view->disconnectAllComplete();
    // Connected is reported before the connection is known to be this Mac's: unavailable between.
    EXPECT_EQ(shown(), (std::vector<std::string>{
                           "listing: empty", "listing: \"Demo iPad\" QNBTesselListingIdleType",
                           "listing: \"Demo iPad\" QNBTesselListingUnavailableType",
                           "listing: \"Demo iPad\" QNBTesselListingConnectedType",
                           "view manager: showInstallDriversView", "view manager: disconnectAllComplete"}));
}

} // namespace
