// tolvimoc: the framework stand-in as a command; see host/commands.h.
#include <iostream>
#include "host/commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return host::RunTolvimoc(arguments, MOC_ADAPTER_LIBRARY, std::cout, std::cerr);
}
