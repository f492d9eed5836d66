#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"

#include "PlayerTesting.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// The coded movie shown as the window shows it, paused at its start.
struct Shown {
    MpvPlayer player;
    PlayerView view;

    Shown() {
        view.resize(160, 120);
        view.show();
        view.setPlayer(&player);
        player.replaceCurrentItem(codedFramesMovie());
    }
    int shownFrame() const { return frameIndexAtCentre(view.picture()); }
    bool shows(int frame) {
        return waitUntil(
            [&] {
                return shownFrame() == frame &&
                       std::abs(player.currentTime() - frame / kCodedRate) < 0.002;
            },
            10);
    }
};

} // namespace

TEST(MpvPlayerPace, PlaysBackwardFromTheMiddleAndFromTheEndThenStepsForwardAgain) {
    struct Case {
        const char* name;
        double from;
        int frame;
    };
    // Past the end an exact seek shows the last picture with libmpv at its end.
    const Case cases[] = {{"the middle", 2.0, 60}, {"the end", 5.0, 89}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shown shown;
        MpvPlayer& player = shown.player;
        ASSERT_TRUE(shown.shows(0));
        player.seekExactly(c.from);
        ASSERT_TRUE(shown.shows(c.frame));

        player.setPlaybackSpeed(-1);
        player.play();
        EXPECT_EQ(player.rate(), -1);
        // Back by more than a key frame's stretch, shown on the way.
        ASSERT_TRUE(waitUntil(
            [&] {
                const int f = shown.shownFrame();
                return f >= 0 && f < c.frame - 35 && player.currentTime() < c.from - 1.1;
            },
            20))
            << "shows " << shown.shownFrame() << " at " << player.currentTime();

        player.pause();
        EXPECT_EQ(player.rate(), 0);
        // libmpv seeks where it stands as it turns forward; then picture and time agree.
        int at = -1;
        ASSERT_TRUE(waitUntil(
            [&] {
                at = shown.shownFrame();
                return at >= 0 && std::abs(player.currentTime() - at / kCodedRate) < 0.002;
            },
            10))
            << "shows " << shown.shownFrame() << " at " << player.currentTime();
        const double next = player.pictureTimeFrom(player.currentTime(), 1);
        ASSERT_NEAR(next, (at + 1) / kCodedRate, 0.001);
        player.seekExactly(next);
        EXPECT_TRUE(shown.shows(at + 1)) << "shows " << shown.shownFrame();
    }
}

TEST(MpvPlayerPace, PlaysForwardFasterAndThePaceHoldsOnlyWhilePlaying) {
    Shown shown;
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(shown.shows(0));
    player.setPlaybackSpeed(4);
    EXPECT_EQ(player.rate(), 0); // paused: the pace waits for play
    player.play();
    EXPECT_EQ(player.rate(), 4);
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 1.0; }, 10));
    player.pause();
    EXPECT_EQ(player.rate(), 0);
    // The pace asked for stays until another is: playing again goes at it.
    player.play();
    EXPECT_EQ(player.rate(), 4);
    player.setPlaybackSpeed(1);
    EXPECT_EQ(player.rate(), 1);
    player.pause();
}
