#include "platform/ctl/Platformctl.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    ctl::Platformctl ctl(std::cout, std::cerr);
    return ctl.run(std::vector<std::string>(argv + 1, argv + argc));
}
