#include "platform/daemon/EventLog.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"

#include <cmath>

namespace platformd {

cf::Value EventEntry::toValue() const {
    cf::Dictionary d = fields;
    d.insert_or_assign("sequence", static_cast<int64_t>(sequence));
    d.insert_or_assign("time", time);
    d.insert_or_assign("kind", kind);
    if (!api.empty()) d.insert_or_assign("api", api);
    cf::Dictionary p{{"pid", static_cast<int64_t>(poster.pid)}};
    if (!poster.bundleIdentifier.empty()) p.insert_or_assign("bundleIdentifier", poster.bundleIdentifier);
    d.insert_or_assign("poster", cf::Value(std::move(p)));
    return d;
}

uint64_t EventLog::record(std::string kind, std::string api, Poster poster, cf::Dictionary fields) {
    EventEntry entry;
    Listener listener;
    {
        std::lock_guard lock(m_mutex);
        entry.sequence = ++m_lastSequence;
        entry.time = platform::toSeconds(platform::now().time_since_epoch());
        entry.poster = std::move(poster);
        entry.kind = std::move(kind);
        entry.api = std::move(api);
        entry.fields = std::move(fields);
        m_entries.push_back(entry);
        while (m_entries.size() > kCapacity)
            m_entries.pop_front();
        listener = m_listener;
    }
    if (listener) listener(entry);
    return entry.sequence;
}

std::vector<EventEntry> EventLog::entriesAfter(uint64_t after, const std::string& kind) const {
    std::lock_guard lock(m_mutex);
    std::vector<EventEntry> out;
    if (m_entries.empty() || after >= m_lastSequence) return out;
    // Sequences are consecutive within the ring, so the start is found by arithmetic.
    uint64_t first = m_entries.front().sequence;
    size_t start = after < first ? 0 : static_cast<size_t>(after - first + 1);
    for (size_t i = start; i < m_entries.size(); ++i)
        if (kind.empty() || m_entries[i].kind == kind) out.push_back(m_entries[i]);
    return out;
}

uint64_t EventLog::oldestSequence() const {
    std::lock_guard lock(m_mutex);
    return m_entries.empty() ? m_lastSequence + 1 : m_entries.front().sequence;
}

uint64_t EventLog::lastSequence() const {
    std::lock_guard lock(m_mutex);
    return m_lastSequence;
}

void EventLog::clear() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

void EventLog::setListener(Listener listener) {
    std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

std::string matchText(const cf::Value& value) {
    if (const std::string* s = value.asString()) return *s;
    if (auto b = value.asBool()) return *b ? "true" : "false";
    if (value.isNumber()) {
        if (!value.isFloatNumber()) return std::to_string(*value.storedInteger());
        double d = value.doubleValue();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            return std::to_string(static_cast<int64_t>(d));
        return platform::format("%g", d);
    }
    return value.description();
}

bool eventMatches(const EventEntry& entry, const std::string& kind, const cf::Dictionary& match) {
    if (!kind.empty() && entry.kind != kind) return false;
    if (match.empty()) return true;
    cf::Value whole = entry.toValue();
    for (const auto& [path, expected] : match) {
        const cf::Value* at = &whole;
        size_t from = 0;
        while (at && from <= path.size()) {
            size_t dot = path.find('.', from);
            std::string_view part(path.data() + from, (dot == std::string::npos ? path.size() : dot) - from);
            at = at->find(part);
            if (dot == std::string::npos) break;
            from = dot + 1;
        }
        if (!at || matchText(*at) != matchText(expected)) return false;
    }
    return true;
}

} // namespace platformd
