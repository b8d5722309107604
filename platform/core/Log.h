// The logging facade (NSLog's role): one line per message on stderr, and a test hook
// that sees every message without its prefix.
#pragma once

#include "platform/core/Clock.h"
#include "platform/core/Format.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

void logMessage(std::string_view message);

template <typename... Args> void log(std::string_view fmt, const Args&... args) {
    logMessage(format(fmt, args...));
}

// Name printed in each line's prefix; defaults to the executable's name.
void setProcessName(std::string name);
std::string processName();

// Collects every message logged while it lives (any thread), in order. Captures nest:
// each live capture sees each message. A quiet capture keeps its messages off stderr.
class LogCapture {
public:
    explicit LogCapture(bool quiet = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view text) const; // some line holds text
    size_t count(std::string_view text) const;  // lines holding text
    // Waits on the process clock until a line holds text; answers whether one did.
    bool waitFor(std::string_view text, TimePoint deadline) const;
    void clear();

    struct State;

private:
    State* m_state;
};

} // namespace platform
