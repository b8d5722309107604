// The event system inside a unit test's own process: the facades' posts reach it as one
// process's reach platformd, and the test reads what was logged; processes are what the test
// adds. By itself it is the facades' window-server transport over displays that are plain
// rectangles; beside an in-process window server (iokit::InProcessKernel) it runs on that
// server's thread and moves its cursor, and that server's transport hands it the event
// requests.
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
    // Hosted by a window server (or another host) that outlives this.
    explicit InProcessEvents(EventHost& host, EventSystemConfig config = {});
    ~InProcessEvents() override;

    // Makes this the facades' transport until uninstall (or destruction).
    void install();
    void uninstall();

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override;
    // The event system pushes nothing.
    void setPushHandler(PushHandler) override {}

    EventSystem& events() { return *m_events; }
    // The plain rectangles' host (only when built over displays).
    StandaloneEventHost& host() { return *m_standalone; }
    // This process's poster (its pid; the bundle identifier a test gives it).
    void setBundleIdentifier(std::string identifier);
    // A process the table knows (its serial number is given in order from 1).
    void addProcess(pid_t pid, std::string bundleIdentifier, std::string name, std::string bundlePath = "");
    void addProcess(ProcessRecord record);

    // What was logged, oldest first; of one kind when given.
    std::vector<EventRecord> entries(std::string_view kind = "") const;
    void clearEntries();
    // Text the sink took (its read request).
    std::string sinkText();

  private:
    void start(EventHost& host, EventSystemConfig config);

    std::unique_ptr<StandaloneEventHost> m_standalone;
    std::unique_ptr<EventSystem> m_events;
    mutable std::mutex m_mutex;
    std::vector<EventRecord> m_entries;
    std::vector<ProcessRecord> m_processes;
    EventPoster m_poster;
    bool m_installed = false;
};

} // namespace windowserver
