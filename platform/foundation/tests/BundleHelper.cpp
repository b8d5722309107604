// Prints what the main bundle is, so a test can start a copy of this program from inside an
// application folder.
#include "platform/foundation/NSBundle.h"

#include <cstdio>

int main() {
    auto bundle = ns::NSBundle::mainBundle();
    std::printf("%s\n%s\n", bundle->bundlePath().c_str(),
                bundle->bundleIdentifier().value_or("(none)").c_str());
    return 0;
}
