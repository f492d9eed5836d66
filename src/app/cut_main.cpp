#include "CutCommand.h"
#include "platform/dispatch/Heaps.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    trimwell::limitHeapsToCores();
    // Past a file size limit a write should fail (and the save clean up), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    // Out of memory or threads before the save could even start: a failure, never an abort.
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return trimwell::runCutCommand(args, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cout << "The save stopped. The partial file was removed.\n" << e.what() << std::endl;
        return 1;
    }
}
