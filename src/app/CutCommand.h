#pragma once
// trimwell-cut SOURCE DESTINATION START END [MEGABITS]: one save from the command line,
// with the window's rules for the bit rates and its words for every outcome.
#include <iosfwd>
#include <string>
#include <vector>

namespace trimwell {

// Returns the process exit status: 0 when the cut was saved, 1 otherwise.
// Installs a SIGINT/SIGTERM handler for the duration of the save that acts as Stop.
int runCutCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace trimwell
