#include "server/net/NetSyscalls.h"

namespace server {

NetSyscalls& netSyscalls() {
    static NetSyscalls calls;
    return calls;
}

} // namespace server
