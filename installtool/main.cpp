// Wakelist: run once by the installation's postinstall.
#include "installtool/Wakelist.h"

#include <csignal>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    return installtool::wakelistMain(argc, argv, installtool::systemCollaborators());
}
