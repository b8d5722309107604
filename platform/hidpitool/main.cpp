#include "platform/hidpitool/HiDPITool.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    return hidpitool::run(std::vector<std::string>(argv, argv + argc));
}
