// tolvimoc: the framework stand-in as a command; see host/commands.h.
#include <csignal>
#include <iostream>
#include "host/commands.h"

int main(int argc, char** argv) {
    // A reader that goes away early (tolvimoc demo | head -1) must not end the run before
    // it has stopped the unit and removed its temporary root: the writes fail instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return host::RunTolvimoc(arguments, MOC_ADAPTER_LIBRARY, std::cout, std::cerr);
}
