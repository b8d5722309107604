// Wakelist: run once by the installation's postinstall.
#include "installtool/Wakelist.h"

#include "platform/ipc/StandInMac.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (auto status = ipc::refuseOutsideStandInMac(
            "Wakelist", "platformctl install Tessel.pkg runs it as the package's postinstall", std::cerr))
        return *status;
    return installtool::wakelistMain(argc, argv, installtool::systemCollaborators());
}
