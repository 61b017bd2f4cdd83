// The command line of `tolvimoc`, the framework stand-in for people:
//
//   tolvimoc [--root DIR] [--trace] COMMAND [OPTIONS]
//
// Each run loads the adapter library, brings up one unit on the simulated sensor (whose
// chip keeps its state in DIR/simulated-chip.state), runs the command and takes the unit
// down again. Exit status: 0 when the command's result is S_OK, 1 for a failure, 2 for a
// usage error.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace host {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The file under the root where the simulated chip keeps its state.
std::string ChipStatePath(const std::string& root);

// `arguments` without the program name; `library` is the adapter library's path.
int RunTolvimoc(const std::vector<std::string>& arguments, const std::string& library,
                std::ostream& out, std::ostream& err);

} // namespace host
