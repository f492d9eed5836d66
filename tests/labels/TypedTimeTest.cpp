#include "labels/TypedTime.h"

#include <gtest/gtest.h>

#include <string>

using namespace trimwell;

TEST(TypedTime, ReadsSecondsAndClockTimes) {
    const struct {
        const char* text;
        double seconds;
    } cases[] = {
        {"4", 4},        {"4.5", 4.5},       {"0:04.5", 4.5}, {"1:02:03.25", 3723.25},
        {"0:06.2", 6.2}, {"  12.5\t", 12.5}, {"0", 0},        {".5", 0.5},
        {"75:00", 4500}, {"1:00:00", 3600},  {"0:4.5", 4.5},  {"59:59.999", 3599.999},
        {"000:07", 7},
    };
    for (const auto& c : cases) {
        const TypedTime t = readTime(c.text);
        ASSERT_TRUE(t.seconds.has_value()) << c.text << ": " << t.refusal;
        EXPECT_DOUBLE_EQ(*t.seconds, c.seconds) << c.text;
        EXPECT_TRUE(t.refusal.empty()) << c.text;
    }
}

TEST(TypedTime, RefusesAnythingElseWithASentence) {
    const char* cases[] = {
        "",
        "   ",
        "abc",
        "-4",
        "+4",
        "4s",
        "1e3",
        "0x10",
        "nan",
        "inf",
        "4,5",
        "4.5.6",
        ":30",
        "1:",
        "1::2",
        "1:2:3:4",
        "1.5:30",
        "1:60",
        "0:75",
        "1:60:00",
        "1:00:60",
        "4 5",
        "1: 30",
        ".",
        "1:-5",
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
        "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999",
    };
    for (const char* text : cases) {
        const TypedTime t = readTime(text);
        EXPECT_FALSE(t.seconds.has_value()) << '"' << text << '"';
        // A plain sentence: a capital first, a full stop last.
        ASSERT_FALSE(t.refusal.empty()) << '"' << text << '"';
        EXPECT_TRUE(t.refusal.front() >= 'A' && t.refusal.front() <= 'Z') << t.refusal;
        EXPECT_EQ(t.refusal.back(), '.') << t.refusal;
    }
}
