#include "foundation/QNBCategoryLog.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace foundation {

void QNBCategoryLogWrite(std::string_view text) {
    // One write per line, so lines of concurrent callers never interleave.
    std::string line(text);
    line += '\n';
    const char* bytes = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, bytes, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        left -= static_cast<size_t>(written);
    }
}

} // namespace foundation
