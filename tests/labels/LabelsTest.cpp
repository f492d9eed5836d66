#include "labels/Labels.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace trimwell;

TEST(CutClock, RoundsOnceOnTenthsAndCarries) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0:00.0"},      {-0.0, "0:00.0"},  {-1, "0:00.0"},       {NAN, "0:00.0"},
        {inf, "0:00.0"},    {0.04, "0:00.0"},  {0.05, "0:00.1"},     {59.94, "0:59.9"},
        {59.95, "1:00.0"},  {61.25, "1:01.3"}, {3599.99, "60:00.0"}, {3725, "62:05.0"},
        {7200, "120:00.0"}, {65, "1:05.0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cutClock(c.seconds), c.text) << c.seconds;
}

TEST(CutClock, HugeInputsDoNotFail) {
    EXPECT_FALSE(cutClock(1e300).empty());
    EXPECT_FALSE(aboutLabel(1e300).empty());
}

TEST(AboutLabel, SwitchesUnitsOnTheUnroundedCount) {
    const struct {
        double bytes;
        const char* text;
    } cases[] = {
        {0, "About 0 MB"},         {-5, "About 0 MB"},        {NAN, "About 0 MB"},
        {INFINITY, "About 0 MB"},  {1, "About 1 KB"},         {499, "About 1 KB"},
        {1500, "About 2 KB"},      {999499, "About 999 KB"},  {999999, "About 1000 KB"},
        {1000000, "About 1.0 MB"}, {9940000, "About 9.9 MB"}, {9999999, "About 10.0 MB"},
        {10000000, "About 10 MB"}, {12500000, "About 13 MB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(aboutLabel(c.bytes), c.text) << c.bytes;
}

TEST(AboutText, EstimatesPictureAndFixedSound) {
    EXPECT_EQ(aboutText(0, 0, 0, 4, false), "Open a movie to see the size.");
    EXPECT_EQ(aboutText(20, 5, 15, 4, true), "About 5.2 MB");
    EXPECT_EQ(aboutText(20, 5, 15, 4, false), "About 5.0 MB");
    EXPECT_EQ(aboutText(20, 8, 6, 4, true), "About 0 MB");
}

TEST(BitRateText, OneDecimal) {
    EXPECT_EQ(bitRateText(4.0), "4.0 Mb/s");
    EXPECT_EQ(bitRateText(0.5), "0.5 Mb/s");
    EXPECT_EQ(bitRateText(20), "20.0 Mb/s");
    EXPECT_EQ(bitRateText(12.34), "12.3 Mb/s");
}

TEST(FormatNumber, ShortestRoundTripWithWholeNumbersKeepingOneDecimal) {
    EXPECT_EQ(formatNumber(1918), "1918.0");
    EXPECT_EQ(formatNumber(1), "1.0");
    EXPECT_EQ(formatNumber(0.1), "0.1");
    EXPECT_EQ(formatNumber(1.0 / 3), "0.3333333333333333");
    EXPECT_EQ(formatNumber(1.02), "1.02");
}
