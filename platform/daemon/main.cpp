#include "platform/daemon/Platformd.h"

int main(int argc, char** argv) {
    return platformd::platformdMain(std::vector<std::string>(argv + 1, argv + argc));
}
