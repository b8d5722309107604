#include "platform/appkit/NSAppContext.h"

#include "platform/coregraphics/CGSPrivate.h"

namespace appkit {

int32_t NSAppContextID() {
    return cg::CGSMainConnectionID();
}

} // namespace appkit
