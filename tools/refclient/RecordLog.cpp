#include "tools/refclient/RecordLog.h"

#include "platform/core/Format.h"

#include <chrono>

namespace refclient {

std::string text(uint64_t v) {
    return platform::format("%llu", static_cast<unsigned long long>(v));
}
std::string text(int64_t v) {
    return platform::format("%lld", static_cast<long long>(v));
}
std::string text(int v) {
    return text(static_cast<int64_t>(v));
}
std::string text(uint32_t v) {
    return text(static_cast<uint64_t>(v));
}

RecordLog::RecordLog() : m_start(platform::now()) {}

RecordLog::~RecordLog() {
    if (m_ownsFile && m_file) std::fclose(m_file);
}

void RecordLog::restart(platform::TimePoint start) {
    std::lock_guard lock(m_mutex);
    m_start = start;
}

bool RecordLog::open(const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (path == "-") {
        m_file = stdout;
        return true;
    }
    m_file = std::fopen(path.c_str(), "we");
    m_ownsFile = m_file != nullptr;
    return m_file != nullptr;
}

void RecordLog::add(std::string_view source, std::string_view event, std::initializer_list<LogField> fields) {
    std::lock_guard lock(m_mutex);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(platform::now() - m_start).count();
    std::string line =
        platform::format("%lld %@ %@", static_cast<long long>(ms), std::string(source), std::string(event));
    for (const auto& [key, value] : fields)
        line += platform::format(" %@=%@", std::string(key), percentEscape(value));
    if (m_file) {
        std::fprintf(m_file, "%s\n", line.c_str());
        std::fflush(m_file);
    }
    m_lines.push_back(std::move(line));
}

std::vector<std::string> RecordLog::lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

std::string percentEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '%' || c == '=') {
            out += platform::format("%%%02X", static_cast<unsigned>(b));
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace refclient
