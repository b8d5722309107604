#include "net/NetSyscalls.h"

namespace net {

NetSyscalls& netSyscalls() {
    static NetSyscalls calls;
    return calls;
}

} // namespace net
