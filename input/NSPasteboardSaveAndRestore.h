// NSPasteboard(SaveAndRestoreAdditions): the pasteboard's contents as a dictionary from each
// listed type to its data, and back.
#pragma once

#include "platform/appkit/NSPasteboard.h"
#include "platform/corefoundation/Value.h"

namespace input {

// Types without data are left out.
cf::Dictionary save(appkit::NSPasteboard& pasteboard);
// Clears the pasteboard and sets each type's data again.
void restore(appkit::NSPasteboard& pasteboard, const cf::Dictionary& saved);

} // namespace input
