// The calling thread's stack as text, for diagnostics.
#pragma once

#include <string>

namespace foundation {

class QNBBacktrace {
public:
    static constexpr int kMaximumFrames = 256;

    // One symbolised frame per line, innermost first.
    static std::string currentBacktraceString();
    // The same, framed by rules of "+" and "-" so it stands out in a log.
    static std::string delimitedBacktraceString();
};

} // namespace foundation
