// The event system inside a unit test's own process, installed as the window server's
// transport: the facades' posts reach it as one process's reach platformd, and the test
// reads what was logged. Displays are plain rectangles; processes are what the test adds.
#pragma once

#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/windowserver/EventSystem.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace windowserver {

class InProcessEvents : public cg::WindowServerTransport,
                        public std::enable_shared_from_this<InProcessEvents> {
  public:
    explicit InProcessEvents(std::vector<cg::CGRect> displays = {cg::CGRectMake(0, 0, 1440, 900)},
                             EventSystemConfig config = {});
    ~InProcessEvents() override;

    // Makes this the facades' transport until uninstall (or destruction).
    void install();
    void uninstall();

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override;

    EventSystem& events() { return *m_events; }
    StandaloneEventHost& host() { return m_host; }
    // This process's poster (its pid; the bundle identifier a test gives it).
    void setBundleIdentifier(std::string identifier);
    // A process the table knows (its serial number is given in order from 1).
    void addProcess(pid_t pid, std::string bundleIdentifier, std::string name, std::string bundlePath = "");

    // What was logged, oldest first; of one kind when given.
    std::vector<EventRecord> entries(std::string_view kind = "") const;
    void clearEntries();
    // Text the sink took (its read request).
    std::string sinkText();

  private:
    StandaloneEventHost m_host;
    std::unique_ptr<EventSystem> m_events;
    mutable std::mutex m_mutex;
    std::vector<EventRecord> m_entries;
    std::vector<ProcessRecord> m_processes;
    EventPoster m_poster;
    bool m_installed = false;
};

} // namespace windowserver
