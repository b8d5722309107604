// The matching thread: registrations, re-matching after a kext load, and terminations run
// here one at a time, in the order they were queued. Each entry into driver code holds the
// driver's gate (a user client's: its provider's), never the registry lock.
#pragma once

#include "platform/kernel/IOService.h"
#include "platform/kernel/OSPtr.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kernel {

class Kernel;
struct Personality;

class ServiceMatcher {
  public:
    explicit ServiceMatcher(Kernel& kernel);
    ~ServiceMatcher();
    ServiceMatcher(const ServiceMatcher&) = delete;
    ServiceMatcher& operator=(const ServiceMatcher&) = delete;

    void queueRegistration(IOService* service);
    void queueTermination(IOService* service);
    void queueRematchAll();
    // Returns when nothing is queued or running. From the matching thread it returns at once.
    void waitQuiet();
    bool onMatchingThread() const { return std::this_thread::get_id() == m_thread.get_id(); }
    void stop();

  private:
    enum class JobKind { Register, Terminate, RematchAll };
    struct Job {
        JobKind kind;
        OSPtr<IOService> service;
    };

    void run();
    void perform(const Job& job);
    void registered(IOService* service);
    void matchService(IOService* provider);
    bool tryPersonality(IOService* provider, const Personality& personality, const std::string& category);
    bool hasClientInCategory(IOService* provider, const std::string& category) const;
    void terminateService(IOService* service);
    static std::vector<OSPtr<IOService>> clientsOf(IOService* service);
    void tellClientsOfTermination(IOService* service, const std::vector<OSPtr<IOService>>& clients);
    void stopService(IOService* service);

    Kernel& m_kernel;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_quiet;
    std::deque<Job> m_jobs;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};

// The gate that guards entries into a service: a user client's provider's, else its own.
std::recursive_mutex& entryGate(IOService* service);

} // namespace kernel
