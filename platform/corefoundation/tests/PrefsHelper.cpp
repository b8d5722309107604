// A second process for the preferences tests.
//   write <domain> <prefix> <count>   sets <prefix>0 .. <prefix><count-1> to their index
//   set <domain> <key> <integer>      sets one key
#include "platform/corefoundation/CFPreferences.h"

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        int count = std::atoi(argv[4]);
        for (int i = 0; i < count; ++i)
            cf::CFPreferencesSetAppValue(std::string(argv[3]) + std::to_string(i), cf::Value(i), argv[2]);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "set") == 0) {
        cf::CFPreferencesSetAppValue(argv[3], cf::Value(std::atoll(argv[4])), argv[2]);
        return 0;
    }
    return 2;
}
