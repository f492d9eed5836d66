#include "SavePolicy.h"

#include "SaveControls.h"

#include <filesystem>
#include <limits>
#include <system_error>

namespace trimwell {

namespace fs = std::filesystem;

namespace {

fs::path resolved(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec)
        absolute = path;
    fs::path real = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : real;
}

} // namespace

std::int64_t pictureBitsPerSecond(double megabits) {
    const double bits = megabits * 1'000'000.0;
    if (!(bits > 0))
        return 0;
    if (bits >= 9.2e18)
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(bits);
}

bool isLongEnough(double start, double end) {
    return end - start >= kShortestCut;
}

bool isSameFile(const std::string& a, const std::string& b) {
    if (resolved(a) == resolved(b))
        return true;
    // Another name for the same file, such as a hard link or a differently cased name on a
    // case-folding disk: writing there would still replace the movie being cut.
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

SaveEnd saveEndOf(std::exception_ptr error) {
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const ClipError& e) {
        switch (e.kind()) {
        case ClipError::Kind::cancelled:
            return {SaveOutcome::cancelled, {}};
        case ClipError::Kind::sameFile:
            return {SaveOutcome::sameFile, {}};
        case ClipError::Kind::noLength:
        case ClipError::Kind::noPicture:
            return {SaveOutcome::refused, e.description()};
        case ClipError::Kind::folderRefused:
            return {SaveOutcome::notWritten, e.description()};
        case ClipError::Kind::failed:
            break;
        }
        return {SaveOutcome::failed, e.description()};
    } catch (...) {
        return {SaveOutcome::failed, describe(std::current_exception())};
    }
}

const char* outcomeText(SaveOutcome outcome) {
    switch (outcome) {
    case SaveOutcome::saved:
        return "Saved.";
    case SaveOutcome::cancelled:
        return "The save was cancelled. The partial file was removed.";
    case SaveOutcome::sameFile:
        return "Choose a different file than the one you opened.";
    case SaveOutcome::notWritten:
        return "Nothing was saved.";
    case SaveOutcome::refused:
    case SaveOutcome::failed:
        break;
    }
    return "The save stopped. The partial file was removed.";
}

} // namespace trimwell
