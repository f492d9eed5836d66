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

std::string greySeconds(const std::string& moreFilters = "") {
    return "-f lavfi -i color=c=black:s=320x240:r=30:d=" + std::to_string(kLength) +
           " -vf \"geq=lum='30+20*mod(floor(T),10)':cb=128:cr=128" + moreFilters +
           "\" -force_key_frames " + keysArg() + " ";
}

// The second (modulo 10) whose grey a picture shows, read over a block at its middle.
int secondShown(const TimelinePicture& p) {
    double sum = 0;
    int count = 0;
    for (int y = p.height / 2 - 4; y <= p.height / 2 + 4; ++y)
        for (int x = p.width / 2 - 4; x <= p.width / 2 + 4; ++x, ++count)
            sum += p.bgra[(static_cast<std::size_t>(y) * p.width + x) * 4 + 1];
    const double green = sum / count;
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
        {"keys-vp8-streamed.webm", "", 0.002},
    };
    const double times[] = {0, 1, 2.49, 2.5, 3.9, 6, 7.1, 11, 11.3, 14.99, 16, 17.9, 30};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        // A browser's or a live recorder's WebM: no cues to seek by and no length.
        const std::string path =
            kind.args.empty()
                ? streamedWebm(kind.name, grey + "-c:v libvpx -g 1000 -auto-alt-ref 0 "
                                                 "-deadline realtime -cpu-used 8 -b:v 1M")
                : makeMovie(kind.name, kind.args);
        TimelinePictures pictures(path, 90);
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

namespace {

// The colour at (x, y) of a picture, as red, green and blue.
Rgb colourAt(const TimelinePicture& p, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * p.width + x) * 4;
    return {p.bgra[at + 2], p.bgra[at + 1], p.bgra[at]};
}

bool near(Rgb a, Rgb b, int within) {
    return std::abs(a.r - b.r) <= within && std::abs(a.g - b.g) <= within &&
           std::abs(a.b - b.b) <= within;
}

std::string describe(Rgb c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

// The middle of each of the seven bars of SMPTE bars, as the ffmpeg program shows the
// movie's first picture through filters (decoded and, for a turned movie, turned upright by
// ffmpeg itself), scaled to width x height: along a row at side of the height, or down a
// column at side of the width when the bars run down.
std::vector<Rgb> barsAsShown(const std::string& path, const std::string& filters, int width,
                             int height, bool down, double side) {
    const std::string raw = capture(
        "ffmpeg -nostdin -v error -i '" + path + "' -frames:v 1 -vf '" + filters +
        (filters.empty() ? "" : ",") + "scale=" + std::to_string(width) + ":" +
        std::to_string(height) + ":flags=bicubic,format=rgb24' -f rawvideo -pix_fmt rgb24 -");
    std::vector<Rgb> bars;
    if (raw.size() != static_cast<std::size_t>(width) * height * 3)
        return bars;
    for (int bar = 0; bar < 7; ++bar) {
        const int along = (2 * bar + 1) * (down ? height : width) / 14;
        const int x = down ? static_cast<int>(side * width) : along;
        const int y = down ? along : static_cast<int>(side * height);
        const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        bars.push_back({static_cast<unsigned char>(raw[at]),
                        static_cast<unsigned char>(raw[at + 1]),
                        static_cast<unsigned char>(raw[at + 2])});
    }
    return bars;
}

std::vector<Rgb> barsOf(const TimelinePicture& p, bool down, double side) {
    std::vector<Rgb> bars;
    for (int bar = 0; bar < 7; ++bar) {
        const int along = (2 * bar + 1) * (down ? p.height : p.width) / 14;
        bars.push_back(down ? colourAt(p, static_cast<int>(side * p.width), along)
                            : colourAt(p, along, static_cast<int>(side * p.height)));
    }
    return bars;
}

} // namespace

// Pictures are shown as the movie is meant to be seen: turned upright, at the display
// shape of non-square pixels, and HDR in the look the preview and the save give it.
TEST(TimelinePictures, PicturesAreUprightAtTheirShapeAndInTheSavesLook) {
    const std::string across = makeMovie(
        "timeline-bars.mp4",
        "-f lavfi -i smptebars=size=640x360:rate=30:duration=1 -c:v libx264 -pix_fmt yuv420p");
    const std::string hlg = hdrBarsMovie("arib-std-b67", "640x360");
    const std::string pq = hdrBarsMovie("smpte2084", "640x360");
    // The float chain the look table is made from, as the ffmpeg program runs it.
    const std::string look = "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap="
                             "tonemap=mobius:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p";
    const struct {
        std::string name;
        std::string path;
        std::string reference; // the filters that show it right
        int width;
        bool down;   // bars run down the picture
        double side; // where across them the seven bars are, away from the strips below
        int within;
    } cases[] = {
        {"across", across, "", 160, false, 0.3, 12},
        {"a quarter turn",
         makeMovie("timeline-bars-90.mp4", "-i '" + across + "' -c copy",
                   "-metadata:s:v:0 rotate=90"),
         "", 51, true, 0.3, 12},
        {"a quarter turn back",
         makeMovie("timeline-bars-270.mp4", "-i '" + across + "' -c copy",
                   "-metadata:s:v:0 rotate=270"),
         "", 51, true, 0.7, 12},
        {"upside down",
         makeMovie("timeline-bars-180.mp4", "-i '" + across + "' -c copy",
                   "-metadata:s:v:0 rotate=180"),
         "", 160, false, 0.7, 12},
        // 720x480 pixels of 32:27 are shown 853 wide.
        {"anamorphic",
         makeMovie("timeline-bars-anamorphic.mp4",
                   "-f lavfi -i smptebars=size=720x480:rate=30:duration=1 -vf setsar=32/27 "
                   "-c:v libx264 -pix_fmt yuv420p"),
         "", 160, false, 0.3, 12},
        {"HLG", hlg, look, 160, false, 0.3, 20},
        {"PQ", pq, look, 160, false, 0.3, 20},
        {"HLG turned",
         makeMovie("timeline-hlg-90.mp4", "-i '" + hlg + "' -c copy", "-metadata:s:v:0 rotate=90"),
         look, 51, true, 0.3, 20},
    };
    const std::atomic<bool> go{false};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TimelinePictures pictures(c.path, 90);
        const auto p = pictures.pictureAt(0.5, go);
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->height, 90);
        EXPECT_EQ(p->width, c.width);
        const auto want = barsAsShown(c.path, c.reference, p->width, p->height, c.down, c.side);
        const auto got = barsOf(*p, c.down, c.side);
        ASSERT_EQ(want.size(), 7u);
        for (int bar = 0; bar < 7; ++bar)
            EXPECT_TRUE(near(got[bar], want[bar], c.within))
                << "bar " << bar << ": " << describe(got[bar]) << " against "
                << describe(want[bar]);
    }
    // Untouched, HLG's grey bar is far darker than the look's: the look is really applied.
    const auto plain = barsAsShown(hlg, "", 160, 90, false, 0.3);
    const auto mapped = barsAsShown(hlg, look, 160, 90, false, 0.3);
    ASSERT_FALSE(plain.empty() || mapped.empty());
    EXPECT_GT(mapped[0].g - plain[0].g, 40);
}

// A screen recording holds one picture through a long pause: every time in the pause
// shows it, and the first picture after the pause follows.
TEST(TimelinePictures, ALongPauseShowsItsOnePicture) {
    for (const std::string name : {"pause.mp4", "pause.mkv"}) {
        SCOPED_TRACE(name);
        const std::string path = makeMovie(
            name, "-f lavfi -i testsrc2=s=320x240:r=30:d=34 -vf \"select='lt(t,2)+gte(t,30)'\" "
                  "-fps_mode vfr -force_key_frames 0,30 -c:v libx264 -g 1000 -sc_threshold 0");
        TimelinePictures pictures(path, 90);
        const auto before = pictures.pictureAt(1.9, kGo);
        ASSERT_TRUE(before.has_value());
        EXPECT_NEAR(before->seconds, 0, 0.002);
        for (double t : {2.5, 10.0, 20.0, 29.9}) {
            SCOPED_TRACE(t);
            const auto p = pictures.pictureAt(t, kGo);
            ASSERT_TRUE(p.has_value());
            EXPECT_EQ(p->seconds, before->seconds);
            EXPECT_EQ(p->bgra, before->bgra);
        }
        const auto after = pictures.pictureAt(31, kGo);
        ASSERT_TRUE(after.has_value());
        EXPECT_NEAR(after->seconds, 30, 0.002);
        EXPECT_NE(after->bgra, before->bgra);
    }
}

// A movie cut short, or with garbage in its middle, gives the pictures that can be read
// and nothing (never an exception or a hang) where none can. Past where a cut-off file's
// data ends, within the length it states, nothing is shown: not its last picture held as
// if the movie paused there.
TEST(TimelinePictures, ADamagedMovieGivesWhatCanBeRead) {
    // Noise gives every picture its share of the file's bytes.
    const std::string grey = greySeconds(",noise=alls=12:allf=t");
    const struct {
        const char* name;
        std::string source;
        bool truncate; // otherwise the middle is overwritten
        // The header states the whole length (a transport stream's length is estimated from
        // what is left of it, so nothing lies past its data).
        bool statesWholeLength;
    } cases[] = {
        {"cut.mp4",
         makeMovie("damage-source.mp4",
                   grey + "-c:v libx264 -g 1000 -sc_threshold 0 -movflags +faststart"),
         true, true},
        {"cut.ts", makeMovie("damage-source.ts", grey + "-c:v libx264 -g 1000 -sc_threshold 0"),
         true, false},
        {"cut.mkv", makeMovie("damage-source.mkv", grey + "-c:v libx264 -g 1000 -sc_threshold 0"),
         true, true},
        {"garbled.ts", makeMovie("damage-source.ts", grey + "-c:v libx264 -g 1000 -sc_threshold 0"),
         false, false},
    };
    const std::string folder = freshFolder("timeline-damaged");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = readFile(c.source);
        ASSERT_GT(bytes.size(), 10000u);
        // The key frames at 0, 2.5 and 4 s lie in the first half of the bytes: the movie's
        // pictures are of a similar size throughout.
        const std::size_t half = bytes.size() / 2;
        if (c.truncate) {
            bytes.resize(half);
        } else {
            for (std::size_t i = half; i < half + bytes.size() / 8; ++i)
                bytes[i] = static_cast<char>((i * 7919) >> 3);
        }
        const std::string path = folder + "/" + c.name;
        writeFile(path, bytes);
        TimelinePictures pictures(path, 90);
        for (double t : {0.0, 3.0, 4.5}) {
            SCOPED_TRACE(t);
            std::optional<TimelinePicture> p;
            ASSERT_NO_THROW(p = pictures.pictureAt(t, kGo));
            ASSERT_TRUE(p.has_value());
            EXPECT_NEAR(p->seconds, keyAtOrBefore(t), 0.002);
            EXPECT_EQ(secondShown(*p), static_cast<int>(std::floor(keyAtOrBefore(t))) % 10);
        }
        for (double t : {8.0, 12.0, 16.0, 40.0}) {
            SCOPED_TRACE(t);
            std::optional<TimelinePicture> p;
            ASSERT_NO_THROW(p = pictures.pictureAt(t, kGo));
            // The data of a file cut in half ends before 10 s.
            if (c.truncate && c.statesWholeLength && t > 10) {
                EXPECT_FALSE(p.has_value()) << "the picture of " << p->seconds;
            } else if (p) {
                // Past the damage, any picture shown is one that comes before the time.
                EXPECT_LE(p->seconds, t);
            }
        }
    }
}

// A raised stop returns at once with nothing, and a reader stopped once still reads.
TEST(TimelinePictures, AStoppedReaderGivesNothingAndReadsAgain) {
    TimelinePictures pictures(
        makeMovie("keys-h264.mp4", greySeconds() + "-c:v libx264 -g 1000 -sc_threshold 0 -bf 3"),
        90);
    const std::atomic<bool> stop{true};
    EXPECT_FALSE(pictures.pictureAt(7.5, stop).has_value());
    const auto p = pictures.pictureAt(7.5, kGo);
    ASSERT_TRUE(p.has_value());
    EXPECT_NEAR(p->seconds, 7, 0.002);
}

// Sound is placed by its own times: a recording whose sound stops and starts again keeps
// the silence between, however few samples come before the loud part.
TEST(TimelinePeaks, SoundIsPlacedByItsTimes) {
    const std::string path =
        makeMovie("peaks-gap.mkv", "-f lavfi -i \"aevalsrc='0.8*sin(2*PI*440*t)':s=48000:d=10\" "
                                   "-af \"aselect='lt(t\\,2)+gte(t\\,6)'\" -c:a flac");
    Collected got;
    ASSERT_TRUE(readTimelinePeaks(
        path, 0.5, [&](TimelinePeaks c) { got.chunks.push_back(std::move(c)); }, kGo));
    const std::vector<float> peaks = got.all();
    ASSERT_GE(peaks.size(), 19u);
    // The sound's frames end a few milliseconds into the peak at 2 s: within one peak.
    for (int i = 0; i < 19; ++i) {
        SCOPED_TRACE(i * 0.5);
        if (i == 4)
            continue;
        if (i < 4 || i >= 12)
            EXPECT_GT(peaks[i], 0.6);
        else
            EXPECT_EQ(peaks[i], 0.0f);
    }
}

// The peaks of a long movie come in several runs, each starting where the last ended, and
// a raised stop ends the reading with no run after it.
TEST(TimelinePeaks, PeaksComeInRunsAndStopEndsThem) {
    const std::string path =
        makeMovie("peaks-long.m4a", "-f lavfi -i \"aevalsrc='0.5*sin(2*PI*440*t)':s=48000:d=150\" "
                                    "-c:a aac -b:a 64k");
    Collected got;
    ASSERT_TRUE(readTimelinePeaks(
        path, 0.01, [&](TimelinePeaks c) { got.chunks.push_back(std::move(c)); }, kGo));
    ASSERT_GE(got.chunks.size(), 3u);
    double next = 0;
    for (const auto& c : got.chunks) {
        EXPECT_NEAR(c.firstSeconds, next, 1e-6);
        EXPECT_EQ(c.secondsPerPeak, 0.01);
        EXPECT_FALSE(c.peaks.empty());
        next = c.firstSeconds + c.peaks.size() * c.secondsPerPeak;
    }
    EXPECT_NEAR(next, 150, 0.05);

    std::atomic<bool> stop{false};
    int runs = 0;
    EXPECT_TRUE(readTimelinePeaks(
        path, 0.01,
        [&](TimelinePeaks) {
            ++runs;
            stop = true;
        },
        stop));
    EXPECT_EQ(runs, 1);
}
