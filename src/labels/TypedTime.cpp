#include "TypedTime.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace trimwell {

namespace {

constexpr const char* kNotATime = "Type a time as seconds (4.5) or as minutes and seconds "
                                  "(1:02.5), with hours before them if you need them.";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool allDigits(std::string_view part) {
    if (part.empty())
        return false;
    for (char c : part)
        if (!isDigit(c))
            return false;
    return true;
}

// Digits with at most one decimal point and at least one digit: "4", "4.5", ".5", "4.".
bool decimal(std::string_view part) {
    int digits = 0;
    int points = 0;
    for (char c : part) {
        if (isDigit(c))
            ++digits;
        else if (c == '.')
            ++points;
        else
            return false;
    }
    return digits > 0 && points <= 1;
}

// from_chars reads the same in every locale, where strtod follows the user's decimal comma.
std::optional<double> number(std::string_view part) {
    double value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (error != std::errc() || end != part.data() + part.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

TypedTime refused(std::string sentence) {
    return {std::nullopt, std::move(sentence)};
}

} // namespace

TypedTime readTime(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    if (text.empty())
        return refused("Type a time first, such as 4.5 or 1:02.5.");

    std::vector<std::string_view> parts;
    for (std::size_t from = 0;;) {
        const std::size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string_view::npos ? colon : colon - from));
        if (colon == std::string_view::npos)
            break;
        from = colon + 1;
    }
    if (parts.size() > 3)
        return refused(kNotATime);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i)
        if (!allDigits(parts[i]))
            return refused(kNotATime);
    if (!decimal(parts.back()))
        return refused(kNotATime);

    double total = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::optional<double> value = number(parts[i]);
        if (!value)
            return refused("That time is too long for any movie.");
        // The first number may run past 59 ("75:00"); those after a colon may not.
        if (i > 0 && *value >= 60)
            return refused("Minutes and seconds after a colon go up to 59.");
        total = total * 60 + *value;
    }
    if (!std::isfinite(total))
        return refused("That time is too long for any movie.");
    return {total, {}};
}

} // namespace trimwell
