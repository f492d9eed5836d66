#include "CutCommand.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    // Past a file size limit a write should fail (and the save clean up), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return trimwell::runCutCommand(args, std::cout, std::cerr);
}
