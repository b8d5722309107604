// platformd's ordered log of what happened, kept for tests: distributed posts, launches and
// exits, authorizations, tool runs, login-item changes, ... A ring of the latest entries;
// sequence numbers never repeat, even after clear(). Thread-safe: hosted services record from
// their own threads.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platformd {

struct Poster {
    pid_t pid = 0; // 0: platformd itself
    std::string bundleIdentifier;
};

struct EventEntry {
    uint64_t sequence = 0;
    double time = 0; // process-clock seconds
    Poster poster;
    std::string kind;
    std::string api;
    cf::Dictionary fields;

    // {sequence, time, kind, api, poster {pid, bundleIdentifier}} plus the fields.
    cf::Value toValue() const;
};

class EventLog {
  public:
    // Enough for a long test run of input and notifications without unbounded growth.
    static constexpr size_t kCapacity = 65536;

    using Listener = std::function<void(const EventEntry&)>;

    uint64_t record(std::string kind, std::string api, Poster poster, cf::Dictionary fields = {});
    // Entries after sequence `after` (of `kind` when not empty), oldest first.
    std::vector<EventEntry> entriesAfter(uint64_t after, const std::string& kind = "") const;
    uint64_t oldestSequence() const; // of the oldest kept entry; the next one when empty
    uint64_t lastSequence() const;   // 0 before the first
    void clear();
    // Called after each record, on the recording thread, without the log's lock held.
    void setListener(Listener listener);

  private:
    mutable std::mutex m_mutex;
    std::deque<EventEntry> m_entries;
    uint64_t m_lastSequence = 0;
    Listener m_listener;
};

// Whether entry is of kind (any when empty) and each match key (a dotted path into the
// entry's value, "poster.pid") holds a value whose text is the match text.
bool eventMatches(const EventEntry& entry, const std::string& kind, const cf::Dictionary& match);
// The text a match compares with: strings as they are, booleans "true"/"false", numbers in
// decimal, anything else its description.
std::string matchText(const cf::Value& value);

} // namespace platformd
