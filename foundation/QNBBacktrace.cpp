#include "foundation/QNBBacktrace.h"

#include <cstdlib>
#include <execinfo.h>

namespace foundation {

std::string QNBBacktrace::currentBacktraceString() {
    void* frames[kMaximumFrames];
    int count = ::backtrace(frames, kMaximumFrames);
    char** symbols = ::backtrace_symbols(frames, count);
    if (!symbols) return "";
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += symbols[i];
        text += '\n';
    }
    std::free(symbols);
    return text;
}

std::string QNBBacktrace::delimitedBacktraceString() {
    return "\n" + std::string(60, '+') + "\n" + currentBacktraceString() + std::string(60, '-') + "\n";
}

} // namespace foundation
