#pragma once
// Reading a time the user typed: in the window's "Go to time" box and as trimwell-cut's START
// and END. Pure functions.
#include <optional>
#include <string>
#include <string_view>

namespace trimwell {

// Either the seconds a text stands for or a plain sentence saying why it is no time.
struct TypedTime {
    std::optional<double> seconds;
    std::string refusal; // empty when seconds holds a value
};

// Accepts seconds ("4", "4.5") and clock times with minutes ("0:04.5") or hours as well
// ("1:02:03.25"), with spaces around them. Hours and the first number of a clock time are
// whole; minutes and seconds after a colon stay below 60. Everything else, negative times
// and exponents included, is refused.
TypedTime readTime(std::string_view text);

} // namespace trimwell
