// Cuts of the kinds of movie people record and trim: HDR phone clips, files with several
// tracks, interlaced broadcasts, NTSC rates, sound that outlasts its picture.
#include "model/MovieCheck.h"
#include "support/TestMovies.h"
#include "writer/ClipWriter.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

void save(const std::string& source, const std::string& destination, double start, double end) {
    ClipWriter::write(source, destination, start, end, 4'000'000, 160'000,
                      std::make_shared<StopFlag>(), {});
}

// ffmpeg's interlace detector over every frame: how many read as woven fields.
int wovenFrames(const std::string& path) {
    const std::string log =
        capture("(ffmpeg -nostdin -hide_banner -i '" + path + "' -vf idet -an -f null - 2>&1)");
    std::smatch m;
    const std::regex line(
        "Multi frame detection: TFF: *([0-9]+) BFF: *([0-9]+) Progressive: *([0-9]+)");
    if (!std::regex_search(log, m, line) ||
        std::stoi(m[1]) + std::stoi(m[2]) + std::stoi(m[3]) == 0)
        return -1; // no frame read is no evidence
    return std::stoi(m[1]) + std::stoi(m[2]);
}

// The times, from the container's start, of the pictures that are bright at (x, y).
std::vector<double> brightPictureTimes(const std::string& path, int x, int y) {
    std::istringstream lines(
        capture("ffprobe -v error -f lavfi -i \"movie='" + path +
                "',crop=2:2:" + std::to_string(x) + ":" + std::to_string(y) +
                ",signalstats\" -show_entries frame=pts_time:frame_tags=lavfi.signalstats.YAVG "
                "-of csv=p=0"));
    const double origin = probeNumber(path, "format", "start_time");
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);) {
        const auto comma = line.find(',');
        if (comma != std::string::npos && std::atof(line.c_str() + comma + 1) > 128)
            times.push_back(std::atof(line.c_str()) - origin);
    }
    return times;
}

} // namespace

TEST(RealWorldMovies, HdrClipsAreToneMappedToSdr) {
    // SMPTE bars mastered into BT.2020 HLG and PQ, as a phone records them, saved and held
    // against the float chain's look worked out on this machine for the same picture.
    const std::string folder = freshFolder("hdr");
    for (const char* transfer : {"arib-std-b67", "smpte2084"}) {
        SCOPED_TRACE(transfer);
        const std::string hdr = hdrBarsMovie(transfer);
        const std::string out = folder + "/" + transfer + ".mp4";
        ASSERT_NO_THROW(save(hdr, out, 0.2, 0.8));
        EXPECT_EQ(probe(out, "v:0", "color_transfer"), "bt709");
        EXPECT_EQ(probe(out, "v:0", "color_primaries"), "bt709");
        EXPECT_EQ(probe(out, "v:0", "color_space"), "bt709");
        const std::string reference =
            toneMappedReference(hdr, 0.2, "", folder + "/" + transfer + "-reference.mkv");
        // The seven bars of the top row, from grey to blue: the saturated ones keep their
        // dark channels as dark as the chain keeps them.
        for (int bar = 0; bar < 7; ++bar) {
            const int x = 1280 * (2 * bar + 1) / 14, y = 200;
            const Rgb want = exactPixelAt(reference, 0, x, y), got = exactPixelAt(out, 0, x, y);
            EXPECT_TRUE(matchesToneMapped(got, want))
                << "bar " << bar << " is (" << got.r << "," << got.g << "," << got.b
                << "), the float chain's (" << want.r << "," << want.g << "," << want.b << ")";
        }
    }
}

TEST(RealWorldMovies, TheCutTakesTheTracksAPlayerTakes) {
    const std::string folder = freshFolder("tracks");
    // A cover picture stored as the first picture track, flagged default as muxers do.
    const std::string cover = folder + "/cover.png";
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i color=c=red:s=600x600 -frames:v 1 '" +
                  cover + "'"),
              0);
    const std::string coverFirst = makeMovie(
        "cover-first.mkv",
        "-i '" + cover +
            "' -f lavfi -i testsrc2=size=320x240:rate=30:duration=4 -f lavfi -i "
            "sine=duration=4 -map 0:v -map 1:v -map 2:a -c:v:0 png -c:v:1 libx264 -c:a aac");
    // A silent commentary first; the default-flagged track has the sound.
    const std::string silentFirst = makeMovie(
        "silent-first.mp4",
        "-f lavfi -i testsrc2=size=320x240:rate=30:duration=4 -f lavfi -i "
        "anullsrc=r=48000:cl=mono:d=4 -f lavfi -i sine=frequency=440:duration=4 -map 0:v -map 1:a "
        "-map 2:a -c:v libx264 -c:a aac -disposition:a:0 0 -disposition:a:1 default");

    const MovieCheck coverCheck = checkMovie(coverFirst);
    EXPECT_FALSE(coverCheck.refusal);
    EXPECT_EQ(coverCheck.pictureTrack, 2);
    EXPECT_EQ(coverCheck.soundTrack, 1);
    const MovieCheck silentCheck = checkMovie(silentFirst);
    EXPECT_EQ(silentCheck.pictureTrack, 1);
    EXPECT_EQ(silentCheck.soundTrack, 2);

    const std::string coverOut = folder + "/cover-cut.mp4";
    ASSERT_NO_THROW(save(coverFirst, coverOut, 1, 2));
    EXPECT_EQ(probe(coverOut, "v:0", "width"), "320");
    // Pictures at 0.023 s past each 1/30 s from the container's start: the cut runs from
    // the one at 1.023 s to the picture boundary at 1.990 s, nearest the out mark.
    EXPECT_EQ(countFrames(coverOut), 29);

    // Sound with a cover as its only picture track: the cover stays on screen throughout.
    const std::string stillOnly =
        makeMovie("still-only.mkv",
                  "-i '" + cover + "' -f lavfi -i sine=duration=5 -map 0 -map 1 -c:v png -c:a aac");
    const std::string stillOut = folder + "/still-cut.mp4";
    ASSERT_NO_THROW(save(stillOnly, stillOut, 1, 3));
    EXPECT_EQ(probe(stillOut, "v:0", "width"), "600");
    EXPECT_NEAR(probeNumber(stillOut, "v:0", "duration"), 2, 0.05);
    EXPECT_NEAR(probeNumber(stillOut, "a:0", "duration"), 2, 0.05);

    const std::string silentOut = folder + "/silent-cut.mp4";
    ASSERT_NO_THROW(save(silentFirst, silentOut, 1, 2));
    EXPECT_NEAR(firstLoudSound(silentOut), 0, 0.05) << "the tone, not the silence";
}

TEST(RealWorldMovies, InterlacedSourcesComeOutProgressive) {
    // 1080i MPEG-2 in a transport stream, with motion across every field.
    const std::string source = makeMovie(
        "interlaced.ts", "-f lavfi -i \"testsrc=size=1920x1080:rate=60000/1001:duration=2,"
                         "scroll=horizontal=0.004\" -vf tinterlace=interleave_top,fieldorder=tff "
                         "-c:v mpeg2video -flags +ilme+ildct -top 1 -b:v 15M");
    ASSERT_GT(wovenFrames(source), 0) << "the source is interlaced";
    const std::string out = freshFolder("interlaced") + "/cut.mp4";
    ASSERT_NO_THROW(save(source, out, 0.5, 1.5));
    EXPECT_EQ(probe(out, "v:0", "field_order"), "progressive");
    EXPECT_EQ(wovenFrames(out), 0);
    EXPECT_EQ(probe(out, "v:0", "r_frame_rate"), "30000/1001");
    EXPECT_EQ(countFrames(out), 30) << "one picture per source frame";
}

TEST(RealWorldMovies, NtscRatesKeepEveryFrameOnce) {
    // 40 s at 29.97, frame n showing luma 16 + 6·(n mod 32): a 1/600 s grid shows one of
    // them twice after about 33 s.
    const std::string source =
        makeMovie("ntsc-numbered.mp4",
                  "-f lavfi -i \"color=c=gray:s=64x48:r=30000/1001:d=40,format=yuv420p,"
                  "geq=lum='16+6*mod(N\\,32)':cb=128:cr=128\" -c:v libx264 -crf 1 -g 60");
    const std::string out = freshFolder("ntsc") + "/cut.mp4";
    ASSERT_NO_THROW(save(source, out, 0, 40));
    EXPECT_EQ(probe(out, "v:0", "r_frame_rate"), "30000/1001");
    const std::vector<int> luma = frameLuma(out, 32, 24);
    ASSERT_EQ(luma.size(), 1199u);
    for (std::size_t i = 1; i < luma.size(); ++i) {
        const int step = ((luma[i] - luma[i - 1]) % 192 + 192) % 192;
        ASSERT_NEAR(step, 6, 2) << "frame " << i << " is not the one after frame " << i - 1;
    }
}

TEST(RealWorldMovies, SoundOutlastingThePictureIsKept) {
    // 5 s of picture, 10 s of sound with a beep at 7 s.
    const std::string source = makeMovie(
        "long-sound.mp4", "-f lavfi -i testsrc2=size=320x240:rate=30:duration=5 -f lavfi -i "
                          "\"aevalsrc='if(between(t,7,7.2),0.8*sin(2*PI*880*t),0)':s=48000:d=10\" "
                          "-c:v libx264 -c:a aac");
    const struct { double start, end, length, beep; } cases[] = {{3, 8, 5, 4}, {6, 9, 3, 1}};
    const std::string folder = freshFolder("long-sound");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        const std::string out =
            folder + "/cut" + std::to_string(static_cast<int>(c.start)) + ".mp4";
        ASSERT_NO_THROW(save(source, out, c.start, c.end));
        EXPECT_NEAR(probeNumber(out, "v:0", "duration"), c.length, 0.04);
        EXPECT_NEAR(probeNumber(out, "a:0", "duration"), c.length, 0.05);
        EXPECT_NEAR(firstLoudSound(out), c.beep, 0.01);
    }
}

TEST(RealWorldMovies, PictureAndSoundShareTheFirstPicturesTime) {
    // In a transport stream the sound starts with the AAC encoder's 1024 samples of lead,
    // so the picture starts 21 ms after it. One white frame (45) and a beep at its time.
    const std::string source = makeMovie(
        "flash-beep.ts", "-f lavfi -i \"color=c=black:s=160x120:r=30:d=3,format=yuv420p,"
                         "geq=lum='if(eq(N\\,45)\\,235\\,16)':cb=128:cr=128\" -f lavfi -i "
                         "\"aevalsrc='if(between(t,1.5,1.6),0.8*sin(2*PI*880*t),0)':s=48000:d=3\" "
                         "-c:v libx264 -crf 5 -c:a aac");
    const std::string out = freshFolder("flash-beep") + "/cut.mp4";
    // The mark falls between two pictures: 1.0 s lies 21 ms before frame 30.
    ASSERT_NO_THROW(save(source, out, 1.0, 2.5));
    const std::vector<int> luma = frameLuma(out, 80, 60);
    const auto flash = std::find_if(luma.begin(), luma.end(), [](int y) { return y > 128; });
    ASSERT_NE(flash, luma.end());
    EXPECT_EQ(flash - luma.begin(), 15) << "the cut starts with frame 30";
    const double flashTime = static_cast<double>(flash - luma.begin()) / 30;
    EXPECT_NEAR(firstLoudSound(out), flashTime, 0.002);
}

TEST(RealWorldMovies, SoundStaysWithThePictureAfterASeek) {
    // DVD-style: MPEG-2 720x480 at 29.97 fps, 32:27 pixels, top field first. A white picture
    // every 30 frames from frame 15, and a 20 ms click at each one's time.
    const std::string media =
        "-f lavfi -i \"color=c=black:s=720x480:r=30000/1001:d=4,format=yuv420p,"
        "geq=lum='if(eq(mod(N\\,30)\\,15)\\,235\\,16)':cb=128:cr=128\" "
        "-f lavfi -i \"aevalsrc='0.8*sin(2*PI*1000*t)*gte(t\\,0.5005)*"
        "lt(mod(t-0.5005\\,1.001)\\,0.02)':s=48000:d=4\" "
        "-c:v mpeg2video -b:v 6M -flags +ilme+ildct -top 1 -vf setsar=32/27 -g 15 -ac 2 "
        "-ar 48000 ";
    const struct {
        const char* name;
        const char* args;
    } sources[] = {
        // In a program stream a sound frame spans two packets, so after a seek the first
        // packet read can be the tail of one.
        {"dvd-ac3.vob", "-c:a ac3 -f dvd"},
        {"dvd-mp2.vob", "-c:a mp2 -b:a 192k -f dvd"},
        {"dvd-ac3.ts", "-c:a ac3 -f mpegts"},
    };
    const double inMarks[] = {0, 0.3, 1, 1.7, 2.2};
    const std::string folder = freshFolder("seek-sync");
    for (const auto& source : sources) {
        SCOPED_TRACE(source.name);
        const std::string path = makeMovie(source.name, media + source.args);
        const std::vector<double> flashes = brightPictureTimes(path, 360, 240);
        ASSERT_EQ(flashes.size(), 4u);
        // The source itself is in step (its sound starts a few ms before its picture).
        const double soundStart =
            probeNumber(path, "a:0", "start_time") - probeNumber(path, "format", "start_time");
        ASSERT_NEAR(soundStart + firstLoudSound(path), flashes[0], 0.002);
        for (double in : inMarks) {
            SCOPED_TRACE("from " + std::to_string(in));
            const std::string out = folder + "/" + source.name + "-" + std::to_string(in) + ".mp4";
            ASSERT_NO_THROW(save(path, out, in, in + 1.4));
            const std::vector<double> shown = brightPictureTimes(out, 426, 240);
            ASSERT_FALSE(shown.empty()) << "a white picture is in the cut";
            EXPECT_NEAR(firstLoudSound(out), shown[0], 0.002) << "its click with it";
        }
    }
}
