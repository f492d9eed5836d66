#pragma once
// The rules a save follows whoever asks for it, the window or the command-line cutter: what
// is refused before anything is written, the rates the export is given, and the words each
// way a save can end is told in.
#include <cstdint>
#include <exception>
#include <string>

namespace trimwell {

// The shortest cut, and the shortest movie, that can be saved, in seconds.
inline constexpr double kShortestCut = 0.1;
// The sound's AAC rate, whatever the picture's.
inline constexpr std::int64_t kSoundBitsPerSecond = 160'000;

// megabits × 1,000,000, truncated toward zero; a value outside any integer is kept in range
// instead of being undefined behaviour.
std::int64_t pictureBitsPerSecond(double megabits);

// Whether the marks are far enough apart to be saved.
bool isLongEnough(double start, double end);

// Whether the two paths name the same file: symbolic links resolved on both sides, or (when
// both exist) the same file reached by another name, such as a hard link.
bool isSameFile(const std::string& a, const std::string& b);

// How a save ended. refused: the cut was not started, for a reason of the movie's or the
// marks' own (no picture, no length), and nothing was written. notWritten: the destination's
// folder takes no file, so nothing was written there either.
enum class SaveOutcome { saved, cancelled, sameFile, refused, notWritten, failed };

struct SaveEnd {
    SaveOutcome outcome{SaveOutcome::saved};
    // The refusal's own sentence, or what failed, for the line that says why.
    std::string reason;
};

// What the export's exception (null when it returned) means for the user.
SaveEnd saveEndOf(std::exception_ptr error);

// The status sentence for an outcome other than refused, whose reason is its sentence.
const char* outcomeText(SaveOutcome outcome);

inline constexpr const char* kTooShortText = "The cut is too short.";
// While a save puts its finished file in place, when it can no longer be stopped.
inline constexpr const char* kFinishingText = "Finishing the file.";

} // namespace trimwell
