#include "SelfTest.h"

#include "SampleMovie.h"
#include "labels/Labels.h"
#include "platform/media/Asset.h"
#include "writer/ClipWriter.h"
#include "writer/PictureFit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace trimwell::SelfTest {

namespace {

void checkFit(Size natural, AffineTransform preferred, Size expected, const char* which) {
    const PictureFit fit = uprightEven(natural, preferred);
    if (!(fit.size == expected))
        throw ClipError::failed(std::string("The ") + which + " size was " +
                                formatNumber(fit.size.width) + " by " +
                                formatNumber(fit.size.height) + ".");
}

// The user's temporary folder, as TMPDIR names it, even when it does not exist: the
// failure then comes from writing there, in the writer's own words.
fs::path temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp)
        return tmp;
    std::error_code ec;
    fs::path p = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : p;
}

} // namespace

void go() {
    checkFit({1919, 1080}, AffineTransform::identity(), {1918, 1080}, "even");
    checkFit({1920, 1080}, AffineTransform{0, 1, -1, 0, 0, 0}, {1080, 1920}, "upright");

    const fs::path folder = temporaryFolder();
    const std::string sample = (folder / "trimwell-selftest-source.mp4").string();
    const std::string cut = (folder / "trimwell-selftest-out.mp4").string();
    std::error_code ignored;
    fs::remove(sample, ignored);
    fs::remove(cut, ignored);

    makeSample(sample);

    try {
        ClipWriter::write(sample, cut, 0.5, 1.5, 2'000'000, 160'000, std::make_shared<StopFlag>(),
                          [](double) {});
        Asset asset(cut);
        const double seconds = asset.loadDuration().seconds();
        if (!(seconds > 0.7 && seconds < 1.4))
            throw ClipError::failed("The cut was " + formatNumber(seconds) + " seconds. " + cut);
        if (asset.loadTracks(MediaType::video).empty())
            throw ClipError::failed("The cut had no picture. " + cut);
        if (asset.loadTracks(MediaType::audio).empty())
            throw ClipError::failed("The cut had no sound. " + cut);
        std::error_code ec;
        const auto size = fs::file_size(cut, ec);
        const std::uintmax_t bytes = ec ? 0 : size;
        if (!(bytes > 10000))
            throw ClipError::failed("The cut was " + std::to_string(bytes) + " bytes. " + cut);
    } catch (...) {
        throw ClipError::failed(describe(std::current_exception()) + " source " + sample);
    }

    fs::remove(sample, ignored);
    fs::remove(cut, ignored);
}

int runVerdict() {
    std::exception_ptr failure;
    std::thread task([&] {
        try {
            go();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    task.join();
    if (!failure) {
        std::fputs("Trimwell self-test ok\n", stdout);
        std::fflush(stdout);
        return 0;
    }
    const std::string line = "Trimwell self-test failed: " + describe(failure) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return 1;
}

} // namespace trimwell::SelfTest
