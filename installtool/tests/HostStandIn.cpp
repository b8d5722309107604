// A stand-in for the host program in the test package: an application that finishes launching
// (so platformd marks it so) and runs until it is sent SIGTERM.
#include "platform/appkit/NSApplication.h"

int main(int argc, char** argv) {
    return appkit::NSApplicationMain(argc, argv,
                                     [] { return std::make_shared<appkit::NSApplicationDelegate>(); });
}
