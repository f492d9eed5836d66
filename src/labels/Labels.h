#pragma once
// Number-to-text rules for the window and the self-test's messages. Pure functions.
#include <string>

namespace trimwell {

// "m:ss.t" with tenths; minutes grow past 59; negative and non-finite times read "0:00.0".
std::string cutClock(double seconds);

// A byte estimate in words: "About 0 MB", "About 12 KB", "About 5.2 MB", "About 13 MB".
std::string aboutLabel(double bytes);

// The size estimate of a cut from the model's fields.
std::string aboutText(double duration, double inPoint, double outPoint, double megabits,
                      bool hasAudio);

// The picture bit-rate text, "4.0 Mb/s".
std::string bitRateText(double megabits);

// The shortest decimal that reads back as the same double; whole numbers keep ".0".
std::string formatNumber(double value);

} // namespace trimwell
