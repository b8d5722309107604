// platformd's resident size around clients that stop reading and around many short connections:
// a private platformd program, a subscriber that never reads its pushed notifications while a
// poster floods it until platformd drops it (ten times in a row), then plain connect cycles.
// Prints the resident size (VmRSS) and its peak (VmHWM) of the platformd process at each step.
//
//   platformd_memory_bench [--drops N] [--cycles N] [--post-bytes N]
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/FrameIO.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UnixSocket.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/socket.h>

namespace {

// VmRSS and VmHWM of a process in MB.
std::pair<double, double> residentMB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    double rss = 0, hwm = 0;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::atof(line.c_str() + 6) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) hwm = std::atof(line.c_str() + 6) / 1024.0;
    }
    return {rss, hwm};
}

void report(pid_t pid, const std::string& when) {
    auto [rss, hwm] = residentMB(pid);
    std::printf("%-40s resident %7.1f MB   peak %7.1f MB\n", when.c_str(), rss, hwm);
    std::fflush(stdout);
}

bool writeRequest(int fd, const std::string& op, int64_t id, const cf::Value& args) {
    std::string why;
    auto bytes = ipc::encodeMessage(ipc::makeRequest(op, id, args, 0), why);
    return bytes && ipc::writeFrame(fd, *bytes);
}

} // namespace

int main(int argc, char** argv) {
    int drops = 10, cycles = 200;
    size_t postBytes = 256 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--drops"))
            drops = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--cycles"))
            cycles = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--post-bytes"))
            postBytes = std::strtoul(argv[i + 1], nullptr, 10);
    }
    platformd::testing::PrivatePlatformd daemon;
    daemon.setArguments({"--kexts", "none"});
    if (!daemon.start()) {
        std::fprintf(stderr, "platformd did not start\n");
        return 1;
    }
    platform::Error error;
    auto poster = ipc::Connection::open(daemon.socketPath(), ipc::HelloInfo::forThisProcess(), &error);
    if (!poster) {
        std::fprintf(stderr, "cannot connect: %s\n", error.description().c_str());
        return 1;
    }
    report(daemon.pid(), "booted");

    const std::string blob(postBytes, 'b');
    for (int drop = 1; drop <= drops; ++drop) {
        ipc::UniqueFd silent = ipc::connectUnix(daemon.socketPath());
        int small = 4096;
        ::setsockopt(silent.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ipc::HelloInfo hello{"/bench/NonReader", "NonReader", "", "", ""};
        writeRequest(silent.get(), std::string(ipc::op::hello), 1, hello.toValue());
        writeRequest(silent.get(), std::string(ipc::op::addObserver), 2,
                     cf::Dictionary{{"observer", 1}, {"name", "flood"}});
        // The observer is in place once a later request of the poster is answered after it.
        int64_t after = platformd::testing::lastEventSequence();
        int posts = 0;
        for (;;) {
            auto reply = poster->request(
                ipc::op::post, cf::Dictionary{{"name", "flood"}, {"userInfo", cf::Dictionary{{"b", blob}}}});
            if (!reply.ok) break;
            ++posts;
            auto gone = platformd::testing::eventsAfter(after, std::string(ipc::eventKind::clientGone));
            if (!gone.empty()) break;
            if (posts > 4000) {
                std::fprintf(stderr, "the silent subscriber was never dropped\n");
                return 1;
            }
        }
        report(daemon.pid(), "drop " + std::to_string(drop) + " after " + std::to_string(posts) + " posts");
    }

    for (int cycle = 1; cycle <= cycles; ++cycle) {
        auto c = ipc::Connection::open(daemon.socketPath(), ipc::HelloInfo::forThisProcess(), &error);
        if (!c || !c->request(ipc::op::status).ok) {
            std::fprintf(stderr, "connect cycle %d failed\n", cycle);
            return 1;
        }
        c.reset();
        if (cycle % 50 == 0) report(daemon.pid(), "connect cycle " + std::to_string(cycle));
    }
    poster.reset();
    daemon.stop();
    return 0;
}
