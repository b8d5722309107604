// A screen-server stand-in for the integration tests, run as a process of its own:
//   iokit_test_helper <command-fifo> <framebuffer-index> <mode-id>...
// It opens the framebuffer's user client through the I/O Kit facade, paces and enables the
// display with the modes, then follows the commands read from the fifo ("disable", "exit";
// its end exits too). Each step is recorded in platformd's event log as "iokit-helper".
#include "platform/iokit/IOKitLib.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace iokit;

namespace {

void record(const std::string& step, IOReturn status) {
    auto c = ipc::Connection::shared();
    if (!c) std::exit(5);
    c->request(
        ipc::op::recordEvent,
        cf::Dictionary{{"kind", "iokit-helper"},
                       {"fields", cf::Dictionary{{"step", step}, {"status", static_cast<int64_t>(status)}}}});
}

IOReturn call(io_connect_t c, uint32_t selector, std::vector<uint64_t> inputs) {
    return IOConnectCallScalarMethod(c, selector, inputs.data(), static_cast<uint32_t>(inputs.size()),
                                     nullptr, nullptr);
}

// Commands, one per line; nothing at the fifo's end.
std::string nextCommand(int fd) {
    std::string line;
    char ch;
    while (::read(fd, &ch, 1) == 1) {
        if (ch == '\n') return line;
        line.push_back(ch);
    }
    return line.empty() ? "exit" : line;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: iokit_test_helper <fifo> <index> <mode>...\n");
        return 2;
    }
    std::string path = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::string(argv[2]) +
                       "/QNExFramebuffer@" + argv[2];
    io_service_t service = IORegistryEntryFromPath(kIOMasterPortDefault, path.c_str());
    io_connect_t connection = 0;
    IOReturn opened = IOServiceOpen(service, mach_task_self(), 0x1000, &connection);
    IOObjectRelease(service);
    record("opened", opened);
    if (opened != kIOReturnSuccess) return 1;

    std::vector<uint64_t> modes;
    for (int i = 3; i < argc; ++i)
        modes.push_back(std::strtoull(argv[i], nullptr, 10));
    IOReturn paced = call(connection, 10, {16666});
    if (paced == kIOReturnSuccess) paced = call(connection, 11, {250000});
    record("enabled", paced == kIOReturnSuccess ? call(connection, 8, modes) : paced);

    int fifo = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fifo < 0) return 3;
    for (;;) {
        std::string command = nextCommand(fifo);
        if (command == "disable") {
            record("disabled", call(connection, 3, {}));
        } else {
            record("closed", IOServiceClose(connection));
            return 0;
        }
    }
}
