#include "platform/media/Asset.h"
#include "platform/media/PlatformError.h"
#include "support/TestMovies.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

const std::string kPicture = "-f lavfi -i testsrc2=size=320x240:rate=30:duration=2 ";
const std::string kTone = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 ";

struct Expect {
    const char* name;
    std::string args;
    int videoTracks;
    int audioTracks;
    double duration;
    Size natural;
    float frameRate;
    double sampleRate;
    std::uint32_t channels;
};

} // namespace

TEST(Asset, InspectsMoviesOfManyKinds) {
    const Expect cases[] = {
        {"h264.mp4",
         kPicture + kTone + "-c:v libx264 -pix_fmt yuv420p -c:a aac -shortest",
         1,
         1,
         2.0,
         {320, 240},
         30,
         48000,
         1},
        {"mpeg2.mpg",
         kPicture + kTone + "-c:v mpeg2video -c:a mp2 -shortest",
         1,
         1,
         2.0,
         {320, 240},
         30,
         48000,
         1},
        {"mjpeg.avi", kPicture + "-c:v mjpeg", 1, 0, 2.0, {320, 240}, 30, 0, 0},
        {"prores.mov", kPicture + "-c:v prores_ks", 1, 0, 2.0, {320, 240}, 30, 0, 0},
        {"soundonly.m4a", kTone + "-c:a aac", 0, 1, 2.0, {}, 0, 48000, 1},
        {"mono441.mp4",
         kPicture + "-f lavfi -i sine=sample_rate=44100:duration=2 -c:v libx264 -c:a aac -shortest",
         1,
         1,
         2.0,
         {320, 240},
         30,
         44100,
         1},
        {"surround.mp4",
         kPicture + "-f lavfi -i sine=sample_rate=48000:duration=2 -c:v libx264 -c:a aac "
                    "-af aformat=channel_layouts=5.1 -shortest",
         1,
         1,
         2.0,
         {320, 240},
         30,
         48000,
         6},
        // MXF stores the coded height (192, whole macroblocks); only a decoded picture says
        // 180, and the header's 16:9 over 320x192 would read as non-square pixels.
        {"dnxhr.mxf",
         "-f lavfi -i testsrc2=size=320x180:rate=25:duration=2 " + kTone +
             "-c:v dnxhd -profile:v dnxhr_lb -pix_fmt yuv422p -c:a pcm_s16le",
         1,
         1,
         2.0,
         {320, 180},
         25,
         48000,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Asset asset(makeMovie(c.name, c.args));
        EXPECT_NEAR(asset.loadDuration().seconds(), c.duration, 0.07);
        const auto video = asset.loadTracks(MediaType::video);
        const auto audio = asset.loadTracks(MediaType::audio);
        ASSERT_EQ(static_cast<int>(video.size()), c.videoTracks);
        ASSERT_EQ(static_cast<int>(audio.size()), c.audioTracks);
        if (!video.empty()) {
            EXPECT_EQ(video[0].naturalSize, c.natural);
            EXPECT_NEAR(video[0].nominalFrameRate, c.frameRate, 0.01);
            EXPECT_EQ(video[0].preferredTransform, AffineTransform::identity());
            // Every kind starts near zero on the presentation timeline, MPEG program streams
            // too (where the picture may start a frame's fraction after the sound).
            EXPECT_NEAR(video[0].timeRange.start.seconds(), 0, 0.02);
            EXPECT_NEAR(video[0].timeRange.duration.seconds(), c.duration, 0.07);
        }
        if (!audio.empty()) {
            ASSERT_FALSE(audio[0].formatDescriptions.empty());
            const auto& basic = audio[0].formatDescriptions[0].audio;
            ASSERT_TRUE(basic.has_value());
            EXPECT_EQ(basic->sampleRate, c.sampleRate);
            EXPECT_EQ(basic->channelsPerFrame, c.channels);
        }
    }
}

TEST(Asset, PortraitPhoneMovieReadsAsAQuarterTurn) {
    const struct {
        const char* name;
        int rotate;
        AffineTransform expected;
    } cases[] = {
        // The metadata angle is counterclockwise: 270 is the phone's quarter turn.
        {"quarter.mp4", 270, {0, 1, -1, 0, 0, 0}},
        {"half.mp4", 180, {-1, 0, 0, -1, 0, 0}},
        {"threequarter.mp4", 90, {0, -1, 1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = makeMovie(c.name, kPicture + "-c:v libx264",
                                           "-metadata:s:v:0 rotate=" + std::to_string(c.rotate));
        Asset asset(path);
        const auto video = asset.loadTracks(MediaType::video);
        ASSERT_EQ(video.size(), 1u);
        const AffineTransform t = video[0].preferredTransform;
        EXPECT_NEAR(t.a, c.expected.a, 1e-6);
        EXPECT_NEAR(t.b, c.expected.b, 1e-6);
        EXPECT_NEAR(t.c, c.expected.c, 1e-6);
        EXPECT_NEAR(t.d, c.expected.d, 1e-6);
    }
}

TEST(Asset, SoundStartingLateKeepsItsOffset) {
    const std::string path =
        makeMovie("latesound2.mp4", kPicture + "-itsoffset 1 " + kTone + "-c:v libx264 -c:a aac");
    Asset asset(path);
    const auto audio = asset.loadTracks(MediaType::audio);
    const auto video = asset.loadTracks(MediaType::video);
    ASSERT_EQ(audio.size(), 1u);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_NEAR(audio[0].timeRange.start.seconds(), 1.0, 0.05);
    EXPECT_NEAR(video[0].timeRange.start.seconds(), 0.0, 0.001);
}

TEST(Asset, ProgramStreamWithLateStartStartsAtZero) {
    const std::string path =
        makeMovie("late.mpg", kPicture + "-c:v mpeg2video -output_ts_offset 10");
    Asset asset(path);
    const auto video = asset.loadTracks(MediaType::video);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_NEAR(video[0].timeRange.start.seconds(), 0, 0.001);
    EXPECT_NEAR(asset.loadDuration().seconds(), 2.0, 0.07);
}

TEST(Asset, UnreadableFilesGivePlatformErrors) {
    const std::string dir = freshFolder("asset-bad");
    std::mt19937 rng(7);
    {
        std::ofstream out(dir + "/random.mp4", std::ios::binary);
        for (int i = 0; i < 100000; ++i)
            out.put(static_cast<char>(rng()));
    }
    { std::ofstream(dir + "/empty.mp4"); }
    { std::ofstream(dir + "/text.mp4") << "this is not a movie\n"; }
    std::filesystem::create_directory(dir + "/folder.mp4");
    std::filesystem::create_symlink(dir + "/nowhere.mp4", dir + "/broken.mp4");

    for (const char* name :
         {"random.mp4", "empty.mp4", "text.mp4", "folder.mp4", "broken.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        Asset asset(dir + "/" + name);
        try {
            asset.loadDuration();
            ADD_FAILURE() << "no error";
        } catch (const PlatformError& e) {
            EXPECT_FALSE(e.description().empty());
            EXPECT_TRUE(e.domain() == "FFmpeg" || e.domain() == "POSIX");
        }
        // The failure is remembered: a second load fails the same way without rereading.
        EXPECT_THROW(asset.loadTracks(MediaType::video), PlatformError);
    }
}
