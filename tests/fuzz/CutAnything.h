#pragma once
// Whatever bytes a file holds: inspect it as a movie and cut its first 0.2 s, as opening and
// saving it would. Shared by the fuzzer and the test that replays what the fuzzer found.
#include <string>
#include <vector>

namespace trimwell::testing {

struct CutReport {
    enum class Outcome { unreadable, refused, failed, saved };
    Outcome outcome{Outcome::unreadable};
    // Broken promises: a partial file left behind, a save reported without its file, an
    // error of a kind the writer never throws. Empty when all held.
    std::vector<std::string> problems;
};

// Writes bytes to a file in folder (an existing, otherwise empty folder), inspects and cuts
// it there, and leaves the folder empty again. Never throws.
CutReport inspectAndCut(const std::string& bytes, const std::string& folder);

} // namespace trimwell::testing
