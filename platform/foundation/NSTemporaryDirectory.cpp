#include "platform/foundation/NSTemporaryDirectory.h"

#include <cstdlib>

namespace ns {

std::string NSTemporaryDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string folder = env && env[0] == '/' ? env : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

} // namespace ns
