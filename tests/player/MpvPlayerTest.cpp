#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"

#include "PlayerTesting.h"
#include "support/TestMovies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

constexpr double kFrame = 1.0 / kCodedRate;

std::string silentMovie() {
    return makeMovie("player-silent.mp4",
                     "-f lavfi -i testsrc2=size=160x120:rate=30:duration=3 -c:v libx264 "
                     "-pix_fmt yuv420p");
}

std::string toneMovie() {
    return makeMovie("player-tone.mp4",
                     "-f lavfi -i testsrc2=size=160x120:rate=30:duration=3 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 "
                     "-c:v libx264 -pix_fmt yuv420p -c:a aac -shortest");
}

// MPEG-2 in a program stream: a container start time well above zero, picture starting a
// little after the sound, and a demuxer that seeks coarsely.
std::string programStreamMovie() {
    return makeMovie("player-program.mpg",
                     "-f lavfi -i testsrc2=size=160x120:rate=30:duration=3 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 "
                     "-c:v mpeg2video -g 15 -c:a mp2 -shortest");
}

bool loaded(const MpvPlayer& player) {
    return std::isfinite(player.currentTime()) && std::isfinite(player.duration());
}

// A player with its view, as the window holds them, showing the coded movie paused at 0.
struct Shown {
    MpvPlayer player;
    PlayerView view;

    explicit Shown(const std::string& path = codedFramesMovie(), int width = 160,
                   int height = 120) {
        view.resize(width, height);
        view.show();
        view.setPlayer(&player);
        player.replaceCurrentItem(path);
    }
    int shownFrame() const { return frameIndexAtCentre(view.picture()); }
    // Seeks and waits until both the picture and the time are those of frame.
    bool seekShows(double seconds, int frame) {
        player.seekExactly(seconds);
        return waitUntil([&] {
            return shownFrame() == frame && std::abs(player.currentTime() - frame * kFrame) < 0.002;
        });
    }
};

} // namespace

TEST(MpvPlayer, StartsEmpty) {
    MpvPlayer player;
    EXPECT_FALSE(player.hasItem());
    EXPECT_TRUE(std::isnan(player.currentTime()));
    EXPECT_TRUE(std::isnan(player.duration()));
    EXPECT_EQ(player.rate(), 0);
    EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::paused);
}

TEST(MpvPlayer, LoadsMoviesPausedOnTheAssetTimeline) {
    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        {"mp4", codedFramesMovie()},
        {"program stream", programStreamMovie()},
        {"with sound", toneMovie()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Zero is the container's start; the picture may begin after it.
        const double firstFrame =
            probeNumber(c.path, "v:0", "start_time") - probeNumber(c.path, "format", "start_time");
        MpvPlayer player;
        player.replaceCurrentItem(c.path);
        EXPECT_TRUE(player.hasItem());
        ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
        EXPECT_NEAR(player.currentTime(), firstFrame, 0.002);
        EXPECT_NEAR(player.duration(), probeNumber(c.path, "format", "duration"), 0.05);
        EXPECT_EQ(player.rate(), 0);
        EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::paused);
    }
}

TEST(MpvPlayer, ExactSeekShowsTheFirstFrameAtOrAfterTheTime) {
    Shown shown;
    ASSERT_TRUE(waitUntil([&] { return shown.shownFrame() == 0; }));
    struct Case {
        double seconds;
        int frame;
    };
    const Case cases[] = {
        {1.0, 30},  // on a frame, a key frame
        {1.01, 31}, // between two frames: the later one
        {2.5, 75},  // past a key frame, behind B-frames
        {0.49, 15}, // backwards
        {0.0, 0},   // the very first frame
        {1.95, 59}, // just before a key frame
        {5.0, 89},  // past the end: the last frame
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_TRUE(shown.seekShows(c.seconds, c.frame))
            << "shows frame " << shown.shownFrame() << " at " << shown.player.currentTime();
    }
    EXPECT_EQ(shown.player.timeControlStatus(), TimeControlStatus::paused);
}

TEST(MpvPlayer, ExactSeekOnAProgramStreamLandsOnTheFrameNotTheKeyFrame) {
    const std::string path = programStreamMovie();
    const double firstFrame =
        probeNumber(path, "v:0", "start_time") - probeNumber(path, "format", "start_time");
    MpvPlayer player;
    player.replaceCurrentItem(path);
    ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
    for (double seconds : {2.0, 1.3, 0.52}) {
        SCOPED_TRACE(seconds);
        const double expected = firstFrame + std::ceil((seconds - firstFrame) * 30 - 1e-6) / 30;
        player.seekExactly(seconds);
        EXPECT_TRUE(waitUntil([&] { return std::abs(player.currentTime() - expected) < 0.002; }))
            << "at " << player.currentTime() << ", wanted " << expected;
    }
}

TEST(MpvPlayer, SeekAskedBeforeTheMovieLoadsLandsOnceItHas) {
    MpvPlayer player;
    PlayerView view;
    view.resize(160, 120);
    view.setPlayer(&player);
    player.replaceCurrentItem(codedFramesMovie());
    player.seekExactly(1.01);
    // Until it lands the player reports where it was asked to go.
    EXPECT_DOUBLE_EQ(player.currentTime(), 1.01);
    EXPECT_TRUE(waitUntil([&] {
        return frameIndexAtCentre(view.picture()) == 31 &&
               std::abs(player.currentTime() - 31 * kFrame) < 0.002;
    }));
}

TEST(MpvPlayer, BoundaryObserverPausesPlaybackWithinOneFrame) {
    Shown shown;
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(shown.seekShows(0.5, 15));
    int fired = 0;
    player.addBoundaryTimeObserver(1.0, [&] {
        ++fired;
        player.pause();
    });
    player.play();
    EXPECT_EQ(player.rate(), 1);
    ASSERT_TRUE(waitUntil([&] { return fired > 0; }));
    spin(0.3);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(player.rate(), 0);
    EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::paused);
    const double stopped = player.currentTime();
    EXPECT_NEAR(stopped, 1.0, kFrame + 0.001);
    // The picture is the frame of the time reported.
    EXPECT_EQ(shown.shownFrame(), static_cast<int>(std::lround(stopped * kCodedRate)));
}

TEST(MpvPlayer, BoundariesFireOnPlaybackOnlyAndAtTheEnd) {
    Shown shown;
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(shown.seekShows(1.0, 30));
    std::vector<std::string> fired;
    player.addBoundaryTimeObserver(2.0, [&] { fired.push_back("skipped"); });
    const ObserverToken removed =
        player.addBoundaryTimeObserver(2.7, [&] { fired.push_back("removed"); });
    // The movie's length is past its last frame's time; playing into the end passes it.
    player.addBoundaryTimeObserver(3.0, [&] { fired.push_back("end"); });
    player.removeTimeObserver(removed);

    ASSERT_TRUE(shown.seekShows(2.5, 75)); // jumps over 2.0
    player.play();
    ASSERT_TRUE(waitUntil([&] { return !fired.empty(); }));
    spin(0.3);
    EXPECT_EQ(fired, std::vector<std::string>{"end"});
    // At the end the player stops by itself, on the last frame.
    EXPECT_EQ(player.rate(), 0);
    EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::paused);
    EXPECT_EQ(shown.shownFrame(), kCodedFrames - 1);

    // Playing the same stretch again fires again.
    ASSERT_TRUE(shown.seekShows(2.5, 75));
    player.play();
    EXPECT_TRUE(waitUntil([&] { return fired.size() == 2; }));
    EXPECT_EQ(fired.back(), "end");
}

TEST(MpvPlayer, PeriodicObserverTicksWhilePlayingUntilRemoved) {
    Shown shown;
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
    std::vector<double> ticks;
    const ObserverToken token =
        player.addPeriodicTimeObserver(0.05, [&](double t) { ticks.push_back(t); });
    int selfRemoving = 0;
    ObserverToken once{};
    once = player.addPeriodicTimeObserver(0.05, [&](double) {
        ++selfRemoving;
        player.removeTimeObserver(once);
    });
    player.play();
    spin(0.8);
    player.pause();
    // Twenty a second, with room for a busy machine.
    EXPECT_GE(ticks.size(), 8u);
    EXPECT_LE(ticks.size(), 20u);
    EXPECT_TRUE(std::is_sorted(ticks.begin(), ticks.end()));
    ASSERT_FALSE(ticks.empty());
    EXPECT_GT(ticks.back() - ticks.front(), 0.3);
    EXPECT_EQ(selfRemoving, 1);

    player.removeTimeObserver(token);
    const std::size_t before = ticks.size();
    spin(0.3);
    EXPECT_EQ(ticks.size(), before);
}

TEST(MpvPlayer, PlaysWithOrWithoutASoundTrackAndWithoutASoundDevice) {
    for (const std::string& path : {silentMovie(), toneMovie()}) {
        SCOPED_TRACE(path);
        MpvPlayer player;
        player.replaceCurrentItem(path);
        ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
        player.play();
        // No view is attached: the player takes its frames itself.
        ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.2; }));
        EXPECT_EQ(player.timeControlStatus(), TimeControlStatus::playing);
        EXPECT_EQ(player.rate(), 1);
        const double from = player.currentTime();
        spin(1.0);
        EXPECT_NEAR(player.currentTime() - from, 1.0, 0.35);
    }
}

TEST(MpvPlayer, ReplacingTheItemWithNoneLeavesNoItem) {
    Shown shown;
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(shown.seekShows(1.0, 30));
    int ticks = 0;
    player.addPeriodicTimeObserver(0.05, [&](double) { ++ticks; });

    player.replaceCurrentItem(std::nullopt);
    EXPECT_FALSE(player.hasItem());
    EXPECT_TRUE(std::isnan(player.currentTime()));
    EXPECT_TRUE(waitUntil([&] { return shown.view.picture().pixelColor(80, 60) == Qt::black; }));
    player.seekExactly(2.0);
    EXPECT_TRUE(std::isnan(player.currentTime()));
    ticks = 0;
    spin(0.3);
    EXPECT_EQ(ticks, 0);

    // The player takes a movie again afterwards.
    player.replaceCurrentItem(codedFramesMovie());
    EXPECT_TRUE(shown.seekShows(2.0, 60));
}

TEST(MpvPlayer, FilesItCannotReadLeaveItUsable) {
    const std::string folder = freshFolder("player-unreadable");
    const std::string noise = folder + "/noise.mp4";
    {
        std::ofstream out(noise, std::ios::binary);
        std::mt19937 random(7);
        for (int i = 0; i < 200000; ++i)
            out.put(static_cast<char>(random()));
    }
    Shown shown(noise);
    MpvPlayer& player = shown.player;
    for (const std::string& path : {noise, folder + "/missing.mp4", folder}) {
        SCOPED_TRACE(path);
        player.replaceCurrentItem(path);
        player.seekExactly(1.0);
        player.play();
        spin(0.5);
        EXPECT_TRUE(player.hasItem());
        EXPECT_TRUE(std::isnan(player.currentTime()));
        EXPECT_TRUE(std::isnan(player.duration()));
        EXPECT_NE(player.timeControlStatus(), TimeControlStatus::playing);
        EXPECT_EQ(shown.view.picture().pixelColor(80, 60), Qt::black);
    }
    player.pause();
    player.replaceCurrentItem(codedFramesMovie());
    EXPECT_TRUE(shown.seekShows(1.01, 31));
}

TEST(MpvPlayer, AStreamedRecordingHasItsLengthAndSeeksToItsEnd) {
    // WebM as a browser records it: its header states no length.
    const std::string path = codedFramesStreamedWebm();
    const std::vector<double> times = pictureTimes(path);
    ASSERT_EQ(times.size(), 90u);
    Shown shown(path);
    MpvPlayer& player = shown.player;
    ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
    EXPECT_NEAR(player.duration(), times.back() + kFrame, 0.01);
    for (double seconds : {2.5, 1.01, 2.9}) {
        SCOPED_TRACE(seconds);
        const int frame = static_cast<int>(
            std::lower_bound(times.begin(), times.end(), seconds - 0.001) - times.begin());
        player.seekExactly(seconds);
        // The sound's codec delay starts the file a few milliseconds before its first
        // picture; the player's time counts them as the movie's timeline does.
        EXPECT_TRUE(waitUntil([&] {
            return shown.shownFrame() == frame &&
                   std::abs(player.currentTime() - times[frame]) < 0.001;
        })) << "shows frame "
            << shown.shownFrame() << " at " << player.currentTime();
    }
    // Playing into the end crosses a boundary after the first second.
    bool crossed = false;
    const auto token = player.addBoundaryTimeObserver(2.5, [&] { crossed = true; });
    player.seekExactly(2.0);
    player.play();
    EXPECT_TRUE(waitUntil([&] { return crossed; }));
    player.removeTimeObserver(token);
}

TEST(MpvPlayer, FrameStepsLandOnTheNextAndPreviousPictureInEveryContainer) {
    for (const CodedContainer& c : codedFramesInEveryContainer()) {
        SCOPED_TRACE(c.kind);
        const std::vector<double> times = c.untimed ? aviShownTimes(c.path) : pictureTimes(c.path);
        ASSERT_EQ(times.size(), c.pictures);
        Shown shown(c.path);
        MpvPlayer& player = shown.player;
        const auto shows = [&](int frame) {
            return waitUntil([&] {
                return shown.shownFrame() == frame &&
                       std::abs(player.currentTime() - times[frame]) < 0.001;
            });
        };
        ASSERT_TRUE(shows(0)) << "shows " << shown.shownFrame() << " at " << player.currentTime();
        // A step is the model's: the picture time next to the one shown, then a seek to it.
        const auto step = [&](int by, int frame) {
            const double to = player.pictureTimeFrom(player.currentTime(), by);
            EXPECT_NEAR(to, times[frame], 0.001) << "to " << frame;
            player.seekExactly(to);
            return shows(frame);
        };
        const auto failed = [&](int frame) {
            return ::testing::Message() << "to " << frame << ": shows " << shown.shownFrame()
                                        << " at " << player.currentTime();
        };
        for (int i = 1; i <= 12; ++i)
            ASSERT_TRUE(step(1, i)) << failed(i);
        for (int i = 11; i >= 0; --i)
            ASSERT_TRUE(step(-1, i)) << failed(i);
        // Across the key frame at 1 s, both ways.
        player.seekExactly(times[25]);
        ASSERT_TRUE(shows(25)) << failed(25);
        for (int i = 26; i <= 35; ++i)
            ASSERT_TRUE(step(1, i)) << failed(i);
        for (int i = 34; i >= 25; --i)
            ASSERT_TRUE(step(-1, i)) << failed(i);
        // The start of the timeline, where the window's Home key goes, is the first picture.
        player.seekExactly(0);
        EXPECT_TRUE(shows(0)) << failed(0);
    }
}

TEST(MpvPlayer, PlaysThePictureTrackTheMoviesCheckChose) {
    // A cover stored as the first picture track (red, flagged default as muxers do), the
    // movie (blue) second.
    const std::string folder = freshFolder("player-tracks");
    const std::string cover = folder + "/cover.png";
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i color=c=red:s=160x120 -frames:v 1 '" +
                  cover + "'"),
              0);
    const std::string path = makeMovie(
        "player-cover-first.mkv", "-i '" + cover +
                                      "' -f lavfi -i color=c=blue:s=160x120:rate=30:duration=3 "
                                      "-map 0:v -map 1:v -c:v:0 png -c:v:1 libx264");
    Shown shown(path);
    MpvPlayer& player = shown.player;
    const PlayerView& view = shown.view;
    ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
    player.selectTracks(2, 0);
    player.seekExactly(1.0);
    EXPECT_TRUE(waitUntil([&] {
        const QColor c = view.picture().pixelColor(80, 60);
        return c.blue() > 200 && c.red() < 50;
    })) << "shows "
        << view.picture().pixelColor(80, 60).name().toStdString();
}

TEST(MpvPlayer, ShowsHdrPicturesAsASaveRendersThem) {
    // Left to itself the software output clips every bright bar to white. Shown at its own
    // size, each bar is held against the float chain's look worked out on this machine.
    const std::string hdr = hdrBarsMovie("arib-std-b67", "640x360");
    const std::string reference =
        toneMappedReference(hdr, 0.5, "", freshFolder("player-hdr") + "/reference.mkv");
    std::vector<Rgb> want;
    for (int bar = 0; bar < 7; ++bar)
        want.push_back(exactPixelAt(reference, 0, 640 * (2 * bar + 1) / 14, 100));
    Shown shown(hdr, 640, 360);
    MpvPlayer& player = shown.player;
    const PlayerView& view = shown.view;
    ASSERT_TRUE(waitUntil([&] { return loaded(player); }));
    player.seekExactly(0.5);
    std::string shownBars;
    auto barsLookRight = [&] {
        const QImage image = view.picture();
        if (image.width() != 640)
            return false;
        bool right = true;
        shownBars.clear();
        for (int bar = 0; bar < 7; ++bar) {
            const QColor c = image.pixelColor(640 * (2 * bar + 1) / 14, 100);
            right = matchesToneMapped({c.red(), c.green(), c.blue()}, want[bar]) && right;
            shownBars += " (" + std::to_string(c.red()) + "," + std::to_string(c.green()) + "," +
                         std::to_string(c.blue()) + ") for (" + std::to_string(want[bar].r) + "," +
                         std::to_string(want[bar].g) + "," + std::to_string(want[bar].b) + ")";
        }
        return right;
    };
    EXPECT_TRUE(waitUntil(barsLookRight)) << "shows" << shownBars;
}

TEST(MpvPlayer, AnHdrPictureIsAsSharpAfterTheViewGrows) {
    // HDR pictures are tone-mapped at the size shown; once the view has grown, the picture
    // must be made again at the new size, not the small one enlarged.
    Shown shown(hdrBarsMovie("arib-std-b67", "640x360"), 160, 90);
    ASSERT_TRUE(waitUntil([&] { return loaded(shown.player); }));
    shown.player.seekExactly(0.5);
    // Pixels of the row across the edge between the grey bar and the yellow one that are
    // neither: one or two where the edge is drawn at full size, more where it was enlarged.
    // A grey clipped to white is no tone-mapped picture at all.
    auto edgeWidth = [&](int width) {
        const QImage image = shown.view.picture();
        if (image.width() != width || image.pixelColor(width / 14, image.height() / 4).red() > 215)
            return width;
        int between = 0;
        const int edge = width / 7;
        for (int x = edge - width / 16; x < edge + width / 16; ++x) {
            const int blue = image.pixelColor(x, image.height() / 4).blue();
            between += blue > 40 && blue < 150;
        }
        return between;
    };
    ASSERT_TRUE(waitUntil([&] { return edgeWidth(160) <= 2; }));
    shown.view.resize(640, 360);
    EXPECT_TRUE(waitUntil([&] { return edgeWidth(640) <= 2; })) << edgeWidth(640);
}

TEST(MpvPlayer, PortraitMoviesAreShownUprightAndSharp) {
    // A phone's portrait movie is stored across with a quarter turn in its header. libmpv's
    // software output cannot turn pictures and used to abort the program on such a movie.
    // An HDR one is made at the view's size turned the same way, not shrunk to the view's
    // width across and then enlarged to fill it upright.
    const std::string sdr =
        makeMovie("bars-sdr-640x360.mp4", "-f lavfi -i smptebars=size=640x360:rate=30:duration=1 "
                                          "-c:v libx264 -pix_fmt yuv420p");
    const std::string hlg = hdrBarsMovie("arib-std-b67", "640x360");
    for (const std::string& across : {sdr, hlg}) {
        SCOPED_TRACE(across);
        const std::string portrait =
            makeMovie(std::filesystem::path(across).stem().string() + "-portrait.mp4",
                      "-i '" + across + "' -c copy -metadata:s:v:0 rotate=90");
        Shown shown(portrait, 360, 640);
        ASSERT_TRUE(waitUntil([&] { return loaded(shown.player); }));
        shown.player.seekExactly(0.5);
        // Turned as the save and the ffmpeg program turn it (the header says a quarter
        // anticlockwise), the bars lie one above the other on the left, blue at the top and
        // grey at the bottom.
        auto upright = [&] {
            const QImage image = shown.view.picture();
            if (image.width() != 360 || image.height() != 640)
                return false;
            const QColor top = image.pixelColor(60, 30);
            const QColor bottom = image.pixelColor(60, 610);
            return top.red() < 40 && top.green() < 40 && top.blue() > 150 && bottom.red() > 150 &&
                   bottom.green() > 150 && bottom.blue() > 150;
        };
        // Down the column through the bars, pixels whose blue is neither a bar's nor black's
        // are those an edge was blurred into: 14 over the six edges at full size, 23 when the
        // HDR picture was made across and enlarged.
        auto blurred = [&] {
            const QImage image = shown.view.picture();
            int between = 0;
            for (int y = 0; y < image.height(); ++y) {
                const int blue = image.pixelColor(60, y).blue();
                between += blue > 40 && blue < 150;
            }
            return between;
        };
        EXPECT_TRUE(waitUntil([&] { return upright() && blurred() <= 18; }))
            << "upright " << upright() << ", blurred " << blurred();
    }
}
