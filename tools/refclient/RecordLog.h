// The record log: one line per protocol event, "<ms since start> <source> <event>
// key=value ...", kept in memory and optionally written to a file or stdout.
#pragma once

#include "platform/core/Clock.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace refclient {

using LogField = std::pair<std::string_view, std::string>;

// A number as a field's value.
std::string text(uint64_t v);
std::string text(int64_t v);
std::string text(int v);
std::string text(uint32_t v);

class RecordLog {
public:
    RecordLog();
    ~RecordLog();
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;

    void restart(platform::TimePoint start);
    // "-" is stdout; false when the file cannot be opened.
    bool open(const std::string& path);
    void add(std::string_view source, std::string_view event, std::initializer_list<LogField> fields = {});
    std::vector<std::string> lines() const;

private:
    mutable std::mutex m_mutex;
    platform::TimePoint m_start;
    std::vector<std::string> m_lines;
    FILE* m_file = nullptr;
    bool m_ownsFile = false;
};

// Escapes '%', '=', spaces, control bytes and bytes above 0x7E as %XX.
std::string percentEscape(std::string_view text);

} // namespace refclient
