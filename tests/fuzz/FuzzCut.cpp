// libFuzzer target: any bytes, inspected and cut as a movie. A crash, a hang (-timeout), a
// leak or a broken promise of the clip writer stops the run with the input that caused it.
#include "CutAnything.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// One folder for the whole run, removed when the run ends.
struct WorkFolder {
    std::string path;
    WorkFolder() {
        path = (std::filesystem::temp_directory_path() / "trimwell-fuzz-XXXXXX").string();
        if (!::mkdtemp(path.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
    }
    ~WorkFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const WorkFolder folder;
    const trimwell::testing::CutReport report = trimwell::testing::inspectAndCut(
        std::string(reinterpret_cast<const char*>(data), size), folder.path);
    if (!report.problems.empty()) {
        for (const std::string& problem : report.problems)
            std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
