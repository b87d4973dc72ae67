// corvaxctl: the user-mode client of the Corvax driver.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "tools/corvaxctl/corvaxctl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    corvaxctl::Environment environment;
#ifdef _WIN32
    environment.terminal = _isatty(2) != 0;
#else
    environment.terminal = isatty(STDERR_FILENO) != 0;
#endif
    return corvaxctl::Run(args, std::cin, std::cout, std::cerr, environment);
}
