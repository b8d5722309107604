// The "QNBTesselPreferencesWindow" nib: the preferences panel, its toolbar with the General and
// Stylus items, and both pane controllers with their views and outlets; the manager is the owner.
#pragma once

#include "platform/appkit/NSNib.h"

namespace host {

class QNBPreferencesManager;
class QNBScrivetPreferencesViewController;

bool buildQNBTesselPreferencesWindow(appkit::NSNib& nib);
// The Stylus pane's view and outlets, for the window's builder.
std::shared_ptr<appkit::NSView>
buildScrivetPreferencesPane(appkit::NSNib& nib,
                            const std::shared_ptr<QNBScrivetPreferencesViewController>& pane);

} // namespace host
