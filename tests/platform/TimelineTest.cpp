#include "platform/media/Timeline.h"
#include "platform/media/PlatformError.h"
#include "support/TestMovies.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

const std::atomic<bool> kGo{false};

// The movies of pictures whose grey says which second they belong to: luma 30 + 20 per
// second (modulo 10), key frames only where forced.
constexpr double kKeys[] = {0, 2.5, 4, 7, 11.2, 15};
constexpr double kLength = 18;

std::string keysArg() {
    std::string keys;
    for (double k : kKeys)
        keys += (keys.empty() ? "" : ",") + std::to_string(k);
    return keys;
}

std::string greySeconds() {
    return "-f lavfi -i color=c=black:s=320x240:r=30:d=" + std::to_string(kLength) +
           " -vf \"geq=lum='30+20*mod(floor(T),10)':cb=128:cr=128\" -force_key_frames " +
           keysArg() + " ";
}

// The second (modulo 10) whose grey a picture shows, read at its middle.
int secondShown(const TimelinePicture& p) {
    const std::size_t at = (static_cast<std::size_t>(p.height / 2) * p.width + p.width / 2) * 4;
    const int green = p.bgra[at + 1];
    int best = -1;
    double nearest = 1e9;
    for (int s = 0; s < 10; ++s) {
        const double expected = (30 + 20 * s - 16) * 255.0 / 219.0;
        if (std::fabs(green - expected) < nearest) {
            nearest = std::fabs(green - expected);
            best = s;
        }
    }
    return nearest < 8 ? best : -1;
}

double keyAtOrBefore(double t) {
    double key = kKeys[0];
    for (double k : kKeys)
        if (k <= t + 1e-6)
            key = k;
    return key;
}

} // namespace

// Each picture is the key frame shown at its time (the last at or before it), whatever
// the container, and says that key frame's own time.
TEST(TimelinePictures, EachPictureIsTheKeyFrameAtOrBeforeItsTime) {
    const std::string grey = greySeconds();
    // A program stream leaves out the time of some key frames, and after a seek guesses
    // when they are decoded: their times are known to two pictures.
    const struct {
        const char* name;
        std::string args;
        double tolerance;
    } kinds[] = {
        {"keys-h264.mp4", grey + "-c:v libx264 -g 1000 -sc_threshold 0 -bf 3", 0.002},
        {"keys-h264.mkv", grey + "-c:v libx264 -g 1000 -sc_threshold 0 -bf 3", 0.002},
        {"keys-h264.ts", grey + "-c:v libx264 -g 1000 -sc_threshold 0 -bf 3", 0.002},
        {"keys-mpeg2.mpg", grey + "-c:v mpeg2video -g 1000 -sc_threshold 1000000000 -b:v 1M -f vob",
         0.07},
        {"keys-mpeg4.avi", grey + "-c:v mpeg4 -g 1000 -sc_threshold 1000000000 -bf 0 -q:v 3",
         0.002},
    };
    const double times[] = {0, 1, 2.49, 2.5, 3.9, 6, 7.1, 11, 11.3, 14.99, 16, 17.9, 30};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        TimelinePictures pictures(makeMovie(kind.name, kind.args), 90);
        for (double t : times) {
            SCOPED_TRACE(t);
            const auto p = pictures.pictureAt(t, kGo);
            ASSERT_TRUE(p.has_value());
            const double key = keyAtOrBefore(t);
            EXPECT_NEAR(p->seconds, key, kind.tolerance);
            EXPECT_EQ(secondShown(*p), static_cast<int>(std::floor(key)) % 10);
            EXPECT_EQ(p->height, 90);
            EXPECT_EQ(p->width, 120);
            EXPECT_EQ(p->bgra.size(), static_cast<std::size_t>(p->width * p->height * 4));
        }
    }
}

TEST(TimelinePictures, AFileWithoutMovingPicturesIsRefused) {
    const std::string sound = makeMovie("timeline-sound-only.m4a", "-f lavfi -i sine=d=2 -c:a aac");
    EXPECT_THROW(TimelinePictures(sound, 90), PlatformError);
}

namespace {

// Sound loud (a tone at 0.8) in [2, 4) and [7, 8) of ten seconds, silent elsewhere.
constexpr double kLoud[][2] = {{2, 4}, {7, 8}};
const std::string kLoudAndSilent = "aevalsrc='if(between(t\\,2\\,3.9999)+between(t\\,7\\,7.9999)\\,"
                                   "0.8*sin(2*PI*440*t)\\,0)':s=48000:d=10";

struct Collected {
    std::vector<TimelinePeaks> chunks;
    std::vector<float> all() const {
        std::vector<float> out;
        for (const auto& c : chunks)
            out.insert(out.end(), c.peaks.begin(), c.peaks.end());
        return out;
    }
};

} // namespace

// Loud stretches come out loud where they are, silence silent, in any sample format.
TEST(TimelinePeaks, LoudStretchesAreWhereTheyAre) {
    const std::string sound = "-f lavfi -i \"" + kLoudAndSilent + "\" ";
    const std::string picture = "-f lavfi -i testsrc2=s=160x120:r=30:d=10 ";
    const struct {
        const char* name;
        std::string args;
    } kinds[] = {
        {"peaks-aac.mp4", picture + sound + "-c:v libx264 -c:a aac -b:a 128k"},
        {"peaks-s16.wav", sound + "-c:a pcm_s16le"},
        {"peaks-flac-s32.mkv", sound + "-c:a flac -sample_fmt s32"},
        {"peaks-f32.mov", picture + sound + "-c:v libx264 -c:a pcm_f32le -ac 2"},
        {"peaks-u8.wav", sound + "-c:a pcm_u8"},
    };
    const double perPeak = 0.1;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        Collected got;
        ASSERT_TRUE(readTimelinePeaks(
            makeMovie(kind.name, kind.args), perPeak,
            [&](TimelinePeaks c) { got.chunks.push_back(std::move(c)); }, kGo));
        const std::vector<float> peaks = got.all();
        ASSERT_NEAR(peaks.size(), 100u, 1u);
        for (std::size_t i = 0; i < peaks.size(); ++i) {
            const double from = i * perPeak, to = from + perPeak;
            bool loud = false, edge = false;
            for (const auto& l : kLoud) {
                loud = loud || (from >= l[0] && to <= l[1]);
                edge = edge || std::fabs(from - l[0]) < 1.01 * perPeak ||
                       std::fabs(to - l[1]) < 1.01 * perPeak;
            }
            if (edge)
                continue; // within one peak of a change
            if (loud)
                EXPECT_GT(peaks[i], 0.4) << "at " << from;
            else
                EXPECT_LT(peaks[i], 0.05) << "at " << from;
        }
    }
}

TEST(TimelinePeaks, AMovieWithoutSoundHasNone) {
    const std::string silent =
        makeMovie("timeline-no-sound.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=2 -c:v libx264");
    bool called = false;
    EXPECT_FALSE(readTimelinePeaks(
        silent, 0.01, [&](TimelinePeaks) { called = true; }, kGo));
    EXPECT_FALSE(called);
}
