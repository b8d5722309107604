#include "platform/core/Log.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <errno.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

struct LogCapture::State {
    bool quiet = false;
    std::vector<std::string> lines;
};

namespace {

std::mutex& captureMutex() {
    static std::mutex m;
    return m;
}
std::condition_variable& captureCV() {
    static std::condition_variable cv;
    return cv;
}
std::vector<LogCapture::State*>& captures() {
    static std::vector<LogCapture::State*> v;
    return v;
}
std::mutex& nameMutex() {
    static std::mutex m;
    return m;
}
std::string& nameStorage() {
    static std::string name = program_invocation_short_name ? program_invocation_short_name : "process";
    return name;
}

std::string prefix() {
    using namespace std::chrono;
    auto t = system_clock::now();
    time_t secs = system_clock::to_time_t(t);
    auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    tm local{};
    localtime_r(&secs, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return format("%s.%03d %s[%d:%ld] ", stamp, static_cast<int>(ms), processName(), static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)));
}

// A message is one entry, one line: control characters in it (a line break in a device name
// from the network, an escape sequence) are written escaped, so no text printed into a message
// can start what reads as another entry. A final line break is the line's own end.
std::string oneLine(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    auto control = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    };
    if (std::none_of(text.begin(), text.end(), control)) return std::string(text);
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (control(c))
            out += format("\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        else
            out += c;
    }
    return out;
}

} // namespace

void setProcessName(std::string name) {
    std::lock_guard lock(nameMutex());
    nameStorage() = std::move(name);
}

std::string processName() {
    std::lock_guard lock(nameMutex());
    return nameStorage();
}

void logMessage(std::string_view text) {
    const std::string message = oneLine(text);
    bool quiet = false;
    {
        std::lock_guard lock(captureMutex());
        for (auto* c : captures()) {
            c->lines.emplace_back(message);
            quiet = quiet || c->quiet;
        }
    }
    captureCV().notify_all();
    if (quiet) return;
    std::string line = prefix();
    line.append(message);
    line += '\n';
    // One write, so lines of concurrent threads and processes never interleave.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

LogCapture::LogCapture(bool quiet) : m_state(new State{quiet, {}}) {
    std::lock_guard lock(captureMutex());
    captures().push_back(m_state);
}

LogCapture::~LogCapture() {
    {
        std::lock_guard lock(captureMutex());
        auto& v = captures();
        v.erase(std::remove(v.begin(), v.end(), m_state), v.end());
    }
    delete m_state;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(captureMutex());
    return m_state->lines;
}

bool LogCapture::contains(std::string_view text) const { return count(text) > 0; }

size_t LogCapture::count(std::string_view text) const {
    std::lock_guard lock(captureMutex());
    return static_cast<size_t>(std::count_if(m_state->lines.begin(), m_state->lines.end(),
                                             [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

bool LogCapture::waitFor(std::string_view text, TimePoint deadline) const {
    std::unique_lock lock(captureMutex());
    return platform::waitUntil(captureCV(), lock, deadline, [&] {
        return std::any_of(m_state->lines.begin(), m_state->lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    });
}

void LogCapture::clear() {
    std::lock_guard lock(captureMutex());
    m_state->lines.clear();
}

} // namespace platform
