// A button shown while an update is available, which starts the update when clicked. It follows
// the updater's notifications for its whole life; the user default "alwaysShowUpdateButton"
// keeps it visible. Nothing in the host creates one; a nib that wants one places it.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <memory>
#include <vector>

namespace host {

inline constexpr char kAlwaysShowUpdateButtonKey[] = "alwaysShowUpdateButton";

class TSEUpdateButton : public appkit::NSButton {
  public:
    // initWithFrame: — the button set up.
    static std::shared_ptr<TSEUpdateButton> make(cg::CGRect frame);
    // A nib's button is set up when the nib wakes (the setup needs the button shared).
    explicit TSEUpdateButton(cg::CGRect frame = cg::CGRectZero) : NSButton(frame) {}
    ~TSEUpdateButton() override;

    static const appkit::NSActionTable& classActions(); // "attemptUpdate"
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // Observes the updater, takes its visibility from it, titles and sizes itself and becomes its
    // own target. Once only.
    void setup();
    void awakeFromNib() override { setup(); }
    void updateAvailable(const ns::NSNotification& notification);
    void updateUnavailable(const ns::NSNotification& notification);
    void attemptUpdate(appkit::NSActionTarget* sender);

    bool isOpaque() const { return false; }

  private:
    static bool alwaysShown();

    bool m_setUp = false;
    std::vector<ns::NSNotificationCenter::ObserverToken> m_observations;
};

} // namespace host
