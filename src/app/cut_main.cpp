#include "CutCommand.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return trimwell::runCutCommand(args, std::cout, std::cerr);
}
