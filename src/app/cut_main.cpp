#include "CutCommand.h"
#include "platform/dispatch/Heaps.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    trimwell::limitHeapsToCores();
    // Past a file size limit a write should fail (and the save clean up), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return trimwell::runCutCommand(args, std::cout, std::cerr);
}
