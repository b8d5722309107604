#include "tools/modelarchive/ModelArchive.h"

#include <iostream>

int main(int argc, char** argv) {
    return modelarchive::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
