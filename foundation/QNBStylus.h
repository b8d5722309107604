// The stylus's parts and the actions they may perform: the screen server performs them, the
// shared preferences store one action per part (the part's mask ends the key), and the host's
// Stylus pane edits them.
#pragma once

#include <cstdint>

namespace foundation {

enum QNBStylusButtonMask : uint64_t {
    QNBStylusButtonTip = 1,
    QNBStylusButtonEraser = 2,
    QNBStylusButtonBottomBarrel = 4,
    QNBStylusButtonTopBarrel = 8,
    QNBStylusButtonFinger = 0x8000,
};

enum QNBStylusAction : uint64_t {
    QNBStylusActionEraser = 1,
    QNBStylusActionClick = 2,
    QNBStylusActionMiddleClick = 3,
    QNBStylusActionSecondaryClick = 4,
    QNBStylusActionMoveCursor = 5,
    QNBStylusActionScrollWheel = 6,
    QNBStylusActionUndo = 7,
    QNBStylusActionRedo = 8,
    QNBStylusActionCustomModifier = 9,
    QNBStylusActionKeystroke = 10,
    QNBStylusActionDisabled = 20,
};

} // namespace foundation
