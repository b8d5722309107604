#include "platform/appkit/NSEvent.h"

#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"

namespace appkit {

cg::CGPoint NSEvent::mouseLocation() {
    cg::CGPoint location = cg::CGSCurrentInputPointerPosition();
    double mainHeight = cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
    return {location.x, mainHeight - location.y};
}

} // namespace appkit
