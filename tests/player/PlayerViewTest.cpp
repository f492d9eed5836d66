#include "platform/player/PlayerView.h"
#include "platform/player/MpvPlayer.h"

#include "PlayerTesting.h"

#include <gtest/gtest.h>

#include <memory>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

bool showsFrame(const PlayerView& view, int frame) {
    return frameIndexAtCentre(view.picture()) == frame;
}

bool isBlack(const PlayerView& view) {
    const QImage picture = view.picture();
    return !picture.isNull() && litBounds(picture).isNull();
}

} // namespace

TEST(PlayerView, FollowsItsSizeAndShowsBlackWithoutAPlayer) {
    PlayerView view;
    view.resize(200, 100);
    view.show();
    view.setPlayer(nullptr);
    EXPECT_TRUE(waitUntil([&] { return view.picture().size() == QSize(200, 100); }));
    EXPECT_TRUE(isBlack(view));

    MpvPlayer player;
    view.setPlayer(&player);
    player.replaceCurrentItem(codedFramesMovie());
    player.seekExactly(2.0);
    ASSERT_TRUE(waitUntil([&] { return showsFrame(view, 60); }));
    view.resize(321, 179);
    EXPECT_TRUE(waitUntil([&] { return view.picture().size() == QSize(321, 179); }));
    EXPECT_TRUE(showsFrame(view, 60));
    // What is painted on screen is the picture.
    EXPECT_EQ(frameIndexAtCentre(view.grab().toImage()), 60);
}

TEST(PlayerView, ANewViewTakesThePictureAndTheOldOneTurnsBlack) {
    MpvPlayer player;
    PlayerView first;
    PlayerView second;
    for (PlayerView* view : {&first, &second})
        view->resize(160, 120);
    first.setPlayer(&player);
    player.replaceCurrentItem(codedFramesMovie());
    player.seekExactly(1.0);
    ASSERT_TRUE(waitUntil([&] { return showsFrame(first, 30); }));

    second.setPlayer(&player);
    EXPECT_EQ(first.player(), nullptr);
    EXPECT_TRUE(isBlack(first));
    EXPECT_TRUE(waitUntil([&] { return showsFrame(second, 30); }));
    player.seekExactly(2.0);
    EXPECT_TRUE(waitUntil([&] { return showsFrame(second, 60); }));
    EXPECT_TRUE(isBlack(first));
}

TEST(PlayerView, OutlivesItsPlayerAndItsPlayerOutlivesIt) {
    PlayerView view;
    view.resize(160, 120);
    view.show();
    {
        MpvPlayer player;
        view.setPlayer(&player);
        player.replaceCurrentItem(codedFramesMovie());
        ASSERT_TRUE(waitUntil([&] { return showsFrame(view, 0); }));
    }
    EXPECT_EQ(view.player(), nullptr);
    EXPECT_TRUE(isBlack(view));
    view.repaint();
    EXPECT_TRUE(isBlack(view));

    MpvPlayer player;
    {
        PlayerView brief;
        brief.resize(160, 120);
        brief.setPlayer(&player);
        player.replaceCurrentItem(codedFramesMovie());
        ASSERT_TRUE(waitUntil([&] { return showsFrame(brief, 0); }));
    }
    // With its view gone the player still plays: frames are taken without a painter.
    player.play();
    EXPECT_TRUE(waitUntil([&] { return player.currentTime() > 0.5; }));
}
