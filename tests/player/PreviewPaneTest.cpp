#include "window/PreviewPane.h"

#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"

#include "PlayerTesting.h"
#include "support/TestMovies.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace trimwell;
using namespace trimwell::testing;

TEST(PreviewPane, ShowsTheModelsPlayerOnBlackWithNoControls) {
    MpvPlayer player;
    PreviewPane pane(player);
    pane.resize(400, 300);
    pane.show();
    EXPECT_EQ(&pane.player(), &player);
    EXPECT_EQ(pane.view().player(), &player);
    EXPECT_EQ(pane.minimumHeight(), PreviewPane::kMinimumHeight);
    EXPECT_EQ(pane.minimumHeight(), 280);
    // The view is the pane's only child: no buttons or sliders over the picture.
    EXPECT_EQ(pane.findChildren<QWidget*>().size(), 1);
    EXPECT_TRUE(litBounds(pane.grab().toImage()).isNull());
}

TEST(PreviewPane, RedrawsNeverResetThePlayer) {
    MpvPlayer player;
    PreviewPane pane(player);
    pane.resize(320, 280);
    pane.show();
    player.replaceCurrentItem(codedFramesMovie());
    player.seekExactly(1.01);
    ASSERT_TRUE(waitUntil([&] {
        return frameIndexAtCentre(pane.view().picture()) == 31 &&
               std::abs(player.currentTime() - 31 / kCodedRate) < 0.002;
    }));
    for (int i = 0; i < 20; ++i) {
        pane.setPlayer(player);
        pane.repaint();
        spin(0.01);
    }
    EXPECT_EQ(pane.view().player(), &player);
    EXPECT_EQ(frameIndexAtCentre(pane.grab().toImage()), 31);
    EXPECT_NEAR(player.currentTime(), 31 / kCodedRate, 0.002);
    EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::paused);
    EXPECT_TRUE(player.hasItem());
}

TEST(PreviewPane, ShowsAPictureOfAnotherShapeWholeAndLetterBoxed) {
    struct Case {
        const char* name;
        QSize movie;
        QSize pane;
        QRect picture; // where the whole picture must land
    };
    const Case cases[] = {
        {"wide in a squarer pane", {320, 80}, {400, 300}, {0, 100, 400, 100}},
        {"tall in a wide pane", {80, 160}, {400, 300}, {125, 0, 150, 300}},
        {"same shape", {160, 120}, {400, 300}, {0, 0, 400, 300}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string size =
            std::to_string(c.movie.width()) + "x" + std::to_string(c.movie.height());
        const std::string path =
            makeMovie("pane-red-" + size + ".mp4", "-f lavfi -i color=c=red:size=" + size +
                                                       ":rate=30:duration=1 -c:v libx264 "
                                                       "-pix_fmt yuv420p");
        MpvPlayer player;
        PreviewPane pane(player);
        pane.resize(c.pane);
        pane.show();
        player.replaceCurrentItem(path);
        ASSERT_TRUE(waitUntil([&] { return !litBounds(pane.view().picture()).isNull(); }));
        const QImage shown = pane.grab().toImage();
        ASSERT_EQ(shown.size(), c.pane);
        // Nothing lit outside the picture's place (black bars), and the picture fills its
        // place exactly: neither cropped nor stretched. Scaling blurs an edge by a pixel.
        const QRect lit = litBounds(shown);
        EXPECT_LE(std::abs(lit.left() - c.picture.left()), 1) << lit.left();
        EXPECT_LE(std::abs(lit.top() - c.picture.top()), 1) << lit.top();
        EXPECT_LE(std::abs(lit.right() - c.picture.right()), 1) << lit.right();
        EXPECT_LE(std::abs(lit.bottom() - c.picture.bottom()), 1) << lit.bottom();
        const QColor centre = shown.pixelColor(shown.width() / 2, shown.height() / 2);
        EXPECT_GT(centre.red(), 200);
        EXPECT_LT(centre.green(), 40);
        EXPECT_LT(centre.blue(), 40);
    }
}
