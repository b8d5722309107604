// refclient: the reference client device on the command line.
#include "platform/core/Log.h"
#include "tools/refclient/Client.h"

#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> gInterrupted{false};

void onSignal(int) { gInterrupted = true; }

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    platform::setProcessName("refclient");
    std::vector<std::string> args(argv + 1, argv + argc);
    refclient::Config config;
    refclient::CommandLineResult parsed = refclient::parseCommandLine(args, config);
    if (parsed.help) {
        std::fputs(refclient::usageText(), stdout);
        return 0;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "refclient: %s\nsee 'refclient --help'\n", parsed.error.c_str());
        return 2;
    }
    refclient::Client client(std::move(config));
    std::string error;
    if (!client.start(&error)) return 2;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A signal ends the run normally, so the final picture is written.
    while (!client.waitFor([](const refclient::Snapshot& s) { return s.exitCode.has_value(); },
                           platform::seconds(0.2))) {
        if (gInterrupted) client.stop();
    }
    return client.waitForExit();
}
