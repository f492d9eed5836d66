// The timeline's visible stretch and the pictures it wants, with no window and no reading.
#include "model/TimelineView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

using namespace trimwell;

namespace {

struct Strip {
    double duration;
    double width;
    double pictureWidth;
    double zoom;   // applied around the middle of the movie
    double scroll; // then the view's start moves by this part of its span
};

TimelineView viewOf(const Strip& s) {
    TimelineView view;
    view.setDuration(s.duration);
    view.setStrip(s.width, s.pictureWidth);
    view.zoomAround(s.duration / 2, s.zoom, 0.5);
    view.scrollTo(view.start() + s.scroll * view.span());
    return view;
}

bool onGrid(double t, double step) {
    const double n = t / step;
    return std::abs(n - std::round(n)) < 1e-9;
}

} // namespace

TEST(TimelineView, WantsAboutOnePicturePerPictureWidthOnAGridCoveringTheView) {
    const Strip strips[] = {
        {10, 800, 71, 1, 0},      {3600, 800, 71, 1, 0},     {3600, 1600, 85, 1, 0},
        {3600, 800, 71, 16, 0.3}, {3600, 800, 71, 1e6, 0.1}, {7201.3, 1200, 54, 3, -0.2},
        {0.5, 800, 71, 1, 0},     {59.97, 640, 27, 2, 0.5},  {3600, 800, 71, 40, 10},
    };
    for (const Strip& s : strips) {
        SCOPED_TRACE(::testing::Message() << s.duration << " s, " << s.width << " px, zoom "
                                          << s.zoom << ", scroll " << s.scroll);
        const TimelineView view = viewOf(s);
        const std::vector<double> times = view.wantedTimes();
        const double step = view.step();
        ASSERT_FALSE(times.empty());
        // A power of two of seconds, never finer than an eighth.
        EXPECT_DOUBLE_EQ(std::exp2(std::round(std::log2(step))), step);
        EXPECT_GE(step, 0.125);
        // The first picture covers the left edge; the rest lie inside the view and the movie.
        EXPECT_LE(times.front(), view.start());
        EXPECT_GT(times.front() + step, view.start());
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
        for (double t : times) {
            EXPECT_TRUE(onGrid(t, step)) << t;
            EXPECT_GE(t, 0);
            EXPECT_LT(t, view.duration());
            EXPECT_LT(t, view.end());
        }
        for (std::size_t i = 1; i < times.size(); ++i)
            EXPECT_NEAR(times[i] - times[i - 1], step, 1e-9);
        // As many as fit, within the grid's rounding (a factor of the square root of two),
        // unless the movie is too short to need more.
        const double fit = view.pictureCount();
        EXPECT_LE(static_cast<double>(times.size()), fit * std::sqrt(2.0) + 2);
        if (view.span() / step > fit) {
            EXPECT_GE(static_cast<double>(times.size()), fit / std::sqrt(2.0) - 1);
        }
        // The view stays inside the movie.
        EXPECT_GE(view.start(), 0);
        EXPECT_LE(view.end(), view.duration() + 1e-9);
    }
}

TEST(TimelineView, ZoomKeepsThePointUnderThePointerAndStopsAtAboutOnePicturePerSecond) {
    struct Case {
        double seconds;
        double fraction;
        double factor;
    };
    const Case cases[] = {{1800, 0.5, 2}, {1234.5, 0.1, 1.41}, {2000, 0.9, 4}, {900, 0.25, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.seconds << " at " << c.fraction);
        TimelineView view;
        view.setDuration(3600);
        view.setStrip(800, 71);
        ASSERT_TRUE(view.zoomAround(c.seconds, c.factor, c.fraction));
        EXPECT_NEAR(view.span(), 3600 / c.factor, 1e-9);
        EXPECT_NEAR(view.xAt(c.seconds), c.fraction * 800, 1e-6);
        EXPECT_NEAR(view.secondsAt(c.fraction * 800), c.seconds, 1e-6);
        // Zooming again around the same place keeps it there as well, down to the limit.
        for (int i = 0; i < 40; ++i)
            view.zoomAround(c.seconds, c.factor, c.fraction);
        EXPECT_NEAR(view.span(), view.shortestSpan(), 1e-9);
        EXPECT_NEAR(view.span(), 800.0 / 71, 1e-9); // one picture per second
        EXPECT_DOUBLE_EQ(view.step(), 1);
        EXPECT_NEAR(view.xAt(c.seconds), c.fraction * 800, 1e-6);
        EXPECT_FALSE(view.zoomAround(c.seconds, c.factor, c.fraction));
        // Back out to the whole movie, by zooming or at once.
        TimelineView out = view;
        for (int i = 0; i < 40; ++i)
            out.zoomAround(c.seconds, 1 / c.factor, c.fraction);
        EXPECT_TRUE(out.whole());
        EXPECT_EQ(out.start(), 0);
        EXPECT_TRUE(view.showWhole());
        EXPECT_TRUE(view.whole());
        EXPECT_EQ(view.start(), 0);
        EXPECT_EQ(view.end(), 3600);
    }
}

TEST(TimelineView, ZoomAndScrollNearTheEndsStayInsideTheMovie) {
    TimelineView view;
    view.setDuration(600);
    view.setStrip(800, 71);
    // Zooming around the very start keeps the start at the left edge.
    view.zoomAround(0, 10, 0.5);
    EXPECT_EQ(view.start(), 0);
    EXPECT_NEAR(view.span(), 60, 1e-9);
    view.scrollTo(10000);
    EXPECT_NEAR(view.end(), 600, 1e-9);
    view.scrollTo(-50);
    EXPECT_EQ(view.start(), 0);
    view.zoomAround(600, 2, 0.5);
    EXPECT_NEAR(view.end(), 600, 1e-9);
    // No movie: nothing wanted and nothing moves.
    TimelineView none;
    none.setStrip(800, 71);
    EXPECT_TRUE(none.wantedTimes().empty());
    EXPECT_FALSE(none.zoomAround(5, 2, 0.5));
    EXPECT_EQ(none.secondsAt(400), 0);
    // Bad numbers never move the view outside the movie.
    view.zoomAround(std::nan(""), 2, std::nan(""));
    view.scrollTo(std::nan(""));
    EXPECT_GE(view.start(), 0);
    EXPECT_LE(view.end(), 600 + 1e-9);
}

TEST(TimelineView, ZoomingAndScrollingAskAgainForTheSameTimes) {
    // The times still wanted after a zoom or a scroll are the very numbers asked for before,
    // so pictures already read are found again rather than read again.
    TimelineView view;
    view.setDuration(3600);
    view.setStrip(800, 71);
    view.zoomAround(1000, 8, 0.5);
    const std::vector<double> before = view.wantedTimes();
    const std::set<double> asked(before.begin(), before.end());

    TimelineView scrolled = view;
    scrolled.scrollTo(view.start() + view.span() / 3);
    int shared = 0;
    for (double t : scrolled.wantedTimes())
        if (t <= before.back())
            shared += asked.count(t) ? 1 : 0;
    EXPECT_GE(shared, static_cast<int>(before.size()) / 2);

    TimelineView closer = view;
    closer.zoomAround(1000, 2, 0.5);
    ASSERT_DOUBLE_EQ(closer.step(), view.step() / 2);
    for (double t : closer.wantedTimes()) {
        const double n = t / view.step();
        if (std::abs(n - std::round(n)) < 1e-12 && t >= before.front() && t <= before.back()) {
            EXPECT_EQ(asked.count(t), 1u) << t;
        }
    }
}
