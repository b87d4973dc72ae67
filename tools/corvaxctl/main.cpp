// corvaxctl: the user-mode client of the Corvax driver.
#include <iostream>
#include <string>
#include <vector>

#include "tools/corvaxctl/corvaxctl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return corvaxctl::Run(args, std::cin, std::cout, std::cerr);
}
