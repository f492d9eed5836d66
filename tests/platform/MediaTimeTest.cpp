#include "platform/media/MediaTime.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace trimwell;

TEST(MediaTime, SecondsRoundToTheNearestTick) {
    EXPECT_EQ(MediaTime::fromSeconds(1.5, 600).value, 900);
    EXPECT_EQ(MediaTime::fromSeconds(1.0 / 1200, 600).value, 1);  // half a tick rounds up
    EXPECT_EQ(MediaTime::fromSeconds(-0.5 / 600, 600).value, -1); // and away from zero
    EXPECT_EQ(MediaTime::fromSeconds(1.0 / 29.97, 600).value, 20);
    EXPECT_FALSE(MediaTime::fromSeconds(NAN, 600).isValid());
    EXPECT_FALSE(MediaTime::fromSeconds(INFINITY, 600).isValid());
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
}

TEST(MediaTime, ComparesAndAddsAcrossTimescales) {
    EXPECT_EQ(MediaTime::make(1, 30), MediaTime::make(20, 600));
    EXPECT_LT(MediaTime::make(1001, 30000), MediaTime::make(1, 29));
    EXPECT_EQ((MediaTime::make(1, 30) + MediaTime::make(1, 48000)).seconds(),
              1.0 / 30 + 1.0 / 48000);
    EXPECT_EQ((MediaTime::make(3, 2) - MediaTime::make(600, 600)).seconds(), 0.5);
    EXPECT_FALSE(MediaTime::make(1, 30) == MediaTime::invalid());
}

TEST(TimeRange, IntersectionValidityAndEmptiness) {
    const auto s = [](double v) { return MediaTime::fromSeconds(v, 600); };
    const TimeRange track{s(0), s(10)};
    const TimeRange inside = TimeRange::fromStartToEnd(s(2), s(5)).intersection(track);
    EXPECT_EQ(inside.start.seconds(), 2);
    EXPECT_EQ(inside.duration.seconds(), 3);

    const TimeRange pastEnd = TimeRange::fromStartToEnd(s(8), s(12)).intersection(track);
    EXPECT_EQ(pastEnd.duration.seconds(), 2);

    const TimeRange after = TimeRange::fromStartToEnd(s(11), s(12)).intersection(track);
    EXPECT_TRUE(after.isEmpty());

    const TimeRange backwards = TimeRange::fromStartToEnd(s(5), s(4));
    EXPECT_FALSE(backwards.isValid());
    EXPECT_FALSE(backwards.intersection(track).isValid());
    EXPECT_TRUE(TimeRange::fromStartToEnd(s(4), s(4)).intersection(track).isEmpty());
}
