// An application that shows the preferences window at launch, assembled as
// PreferencesWindowApp.app with the two HiDPI helper tools in its Resources, so that tests
// operate the window through `platformctl ui` as a person would.
#include "host/QNBPreferencesManager.h"

#include "platform/appkit/NSApplication.h"

#include <memory>

namespace {

class Delegate : public appkit::NSApplicationDelegate {
  public:
    void applicationDidFinishLaunching(const ns::NSNotification&) override {
        host::QNBPreferencesManager::sharedInstance()->displayPreferencesPanel(nullptr);
    }
};

} // namespace

int main(int argc, char** argv) {
    return appkit::NSApplicationMain(argc, argv, [] { return std::make_shared<Delegate>(); });
}
