// Tessel Host under Bonjour churn, with real processes: a private platformd launches Tessel
// Host.app (and its TesselHelper.app); this test's own platformd connection announces 300
// devices, then registers and unregisters 20 of them a second for 60 s. Every change rebuilds
// the host's listing and every removal rewrites its archive, all on its main run loop. Once the
// churn ends the listing must come to equal the registry. The time that takes and the host's
// CPU time for the run are printed: the figures worth reading come from a Release build.
#include "foundation/Vocabulary.h"

#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSWorkspace.h"
#include "tools/refclient/Client.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using platformd::testing::PlatformdTest;

const std::string kHostApp = TESSEL_HOST_APP;
constexpr char kHostId[] = "com.quenby.TesselHost2";
constexpr char kType[] = "_qnexvscreen._udp";
constexpr int kDevices = 300;
constexpr int kChangesPerSecond = 20;
constexpr auto kChurn = std::chrono::seconds(60);
constexpr auto kSettle = std::chrono::seconds(30); // for the sanitizer build on a busy machine

// The device names of a "listing: ..." line of the host's log.
std::multiset<std::string> namesOfListing(const std::string& line) {
    std::multiset<std::string> names;
    size_t at = line.find("listing: ");
    if (at == std::string::npos || line.compare(at, 14, "listing: empty") == 0) return names;
    for (;;) {
        const size_t open = line.find('"', at);
        if (open == std::string::npos) break;
        const size_t close = line.find('"', open + 1);
        if (close == std::string::npos) break;
        names.insert(line.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return names;
}

// Follows a growing log file, keeping its last line that holds marker.
class LogFollower {
  public:
    LogFollower(std::string path, std::string marker)
        : m_path(std::move(path)), m_marker(std::move(marker)) {}

    const std::string& lastMatch() {
        std::ifstream in(m_path, std::ios::binary);
        if (!in) return m_last;
        in.seekg(static_cast<std::streamoff>(m_offset));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        m_pending += chunk;
        m_offset += chunk.size();
        size_t start = 0;
        for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string_view line(m_pending.data() + start, end - start);
            if (line.find(m_marker) != std::string_view::npos) m_last.assign(line);
        }
        m_pending.erase(0, start);
        return m_last;
    }

  private:
    std::string m_path;
    std::string m_marker;
    size_t m_offset = 0;
    std::string m_pending;
    std::string m_last;
};

// User and system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)
        fields >> skip; // state .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class BonjourChurnRoad : public PlatformdTest {
  protected:
    std::string hostLogPath() const { return m_platformd->root() + "/var/log/Tessel Host.log"; }

    pid_t launchHost() {
        std::filesystem::copy(kHostApp, m_platformd->root() + "/Applications/Tessel Host.app",
                              std::filesystem::copy_options::recursive);
        const int64_t since = platformd::testing::lastEventSequence();
        if (!ns::NSWorkspace::sharedWorkspace().launchApplication("/Applications/Tessel Host.app")) return 0;
        auto launched = platformd::testing::waitForEvent("finished-launching",
                                                         {{"bundleIdentifier", kHostId}}, 60, since);
        const cf::Value* pid = launched ? launched->find("pid") : nullptr;
        return pid ? static_cast<pid_t>(pid->integerValue()) : 0;
    }

    static cf::Value service(int index) {
        refclient::Config config;
        config.name = "Churn " + std::to_string(index);
        config.deviceId = "churn-" + std::to_string(index);
        cf::Dictionary txt;
        for (const auto& [key, value] : refclient::announcementTXT(config, false))
            txt.insert_or_assign(key, cf::Value(value));
        // Each device at an address of its own, as real ones are: the host takes two models of
        // one address for one device.
        const std::string address =
            "10.41." + std::to_string(index / 250) + "." + std::to_string(index % 250 + 1);
        return cf::Dictionary{{"name", config.name},
                              {"type", kType},
                              {"port", 6000},
                              {"host", address},
                              {"txt", cf::Value(txt)}};
    }

    std::multiset<std::string> registry() const {
        std::multiset<std::string> names;
        auto reply = m_publisher->request(ipc::op::bonjourList);
        EXPECT_TRUE(reply.ok) << reply.error.description();
        const cf::Value* services = reply.result ? reply.result->find("services") : nullptr;
        for (size_t i = 0; services && i < services->count(); ++i) {
            const cf::Value& s = *services->at(i);
            if (s.find("type") && s.find("type")->asString() && *s.find("type")->asString() == kType)
                names.insert(*s.find("name")->asString());
        }
        return names;
    }

    void publish(int index) {
        auto reply = m_publisher->request(ipc::op::bonjourPublish,
                                          cf::Dictionary{{"services", cf::Array{service(index)}}});
        ASSERT_TRUE(reply.ok) << reply.error.description();
    }
    void unpublish(int index) {
        auto reply = m_publisher->request(
            ipc::op::bonjourUnpublish,
            cf::Dictionary{
                {"services", cf::Array{cf::Dictionary{{"name", "Churn " + std::to_string(index)}}}}});
        ASSERT_TRUE(reply.ok) << reply.error.description();
    }

    std::shared_ptr<ipc::Connection> m_publisher;
};

TEST_F(BonjourChurnRoad, TheListingEqualsTheRegistrySoonAfterTheChurnEnds) {
    const pid_t host = launchHost();
    ASSERT_GT(host, 0) << platformd::testing::readFile(hostLogPath());
    const double cpuAtLaunch = cpuSeconds(host);

    auto hello = ipc::HelloInfo::forThisProcess();
    hello.processName = "Devices";
    platform::Error error;
    m_publisher = ipc::Connection::open(m_platformd->socketPath(), hello, &error);
    ASSERT_TRUE(m_publisher) << error.description();

    std::vector<int> present;
    std::vector<int> absent;
    for (int i = 0; i < kDevices; ++i) {
        publish(i);
        present.push_back(i);
    }
    // Changes alternate: one device goes, one comes (a new one, or one that went earlier). The
    // choice is a fixed pseudo-random walk, so every run makes the same changes.
    uint32_t walk = 41;
    auto next = [&walk](size_t bound) {
        walk = walk * 1664525u + 1013904223u;
        return static_cast<size_t>((walk >> 8) % bound);
    };
    int fresh = kDevices;
    const auto period = std::chrono::nanoseconds(std::chrono::seconds(1)) / kChangesPerSecond;
    const auto churnStart = Clock::now();
    int changes = 0;
    for (auto tick = churnStart; tick < churnStart + kChurn; tick += period, ++changes) {
        std::this_thread::sleep_until(tick); // pacing the changes, not waiting for an outcome
        if (changes % 2 == 0) {
            const size_t at = next(present.size());
            unpublish(present[at]);
            absent.push_back(present[at]);
            present.erase(present.begin() + static_cast<long>(at));
        } else if (!absent.empty() && next(2) == 0) {
            const size_t at = next(absent.size());
            publish(absent[at]);
            present.push_back(absent[at]);
            absent.erase(absent.begin() + static_cast<long>(at));
        } else {
            publish(fresh);
            present.push_back(fresh++);
        }
        if (HasFatalFailure()) return;
    }
    const auto churnEnd = Clock::now();
    const auto expected = registry();
    ASSERT_EQ(expected.size(), static_cast<size_t>(kDevices));

    LogFollower log(hostLogPath(), "listing: ");
    std::optional<double> converged;
    while (Clock::now() < churnEnd + kSettle) {
        if (namesOfListing(log.lastMatch()) == expected) {
            converged = std::chrono::duration<double>(Clock::now() - churnEnd).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // polling the host's log file
    }
    const double cpu = cpuSeconds(host) - cpuAtLaunch;
    std::printf("BonjourChurnRoad: %d devices, %d changes in %.0f s; listing equal to the registry %s; "
                "host CPU %.1f s over the run\n",
                kDevices, changes, std::chrono::duration<double>(churnEnd - churnStart).count(),
                converged ? (std::to_string(*converged) + " s after the churn").c_str() : "never", cpu);
    RecordProperty("convergeSeconds", converged ? std::to_string(*converged) : "never");
    RecordProperty("hostCpuSeconds", std::to_string(cpu));
    if (!converged) {
        // What the host said last, its listings aside.
        std::istringstream lines(platformd::testing::readFile(hostLogPath()));
        std::vector<std::string> tail;
        for (std::string line; std::getline(lines, line);)
            if (line.find("listing: ") == std::string::npos) tail.push_back(line.substr(0, 300));
        for (size_t i = tail.size() > 40 ? tail.size() - 40 : 0; i < tail.size(); ++i)
            std::printf("host: %s\n", tail[i].c_str());
    }
    ASSERT_TRUE(converged) << "the host's last listing has " << namesOfListing(log.lastMatch()).size()
                           << " devices; the registry " << expected.size();
}

} // namespace
