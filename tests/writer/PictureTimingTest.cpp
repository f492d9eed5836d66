// Cuts of movies whose pictures are not on a perfect grid, as devices write them: phones
// whose picture times wander, screen recorders that write a picture only when the screen
// changes, recordings joined with a step a fraction of a frame off, and browser recordings
// written as a stream with no length in their header.
#include "platform/media/Asset.h"
#include "support/TestMovies.h"
#include "writer/ClipWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// Frame n shows luma 16 + 6·(n mod 32), so each picture can be told from its neighbours.
std::string numbered(const char* size, const char* rate, double seconds) {
    return std::string("-f lavfi -i \"color=c=gray:s=") + size + ":r=" + rate +
           ":d=" + std::to_string(seconds) +
           ",format=yuv420p,geq=lum='16+6*mod(N\\,32)':cb=128:cr=128\" ";
}

// Pictures at times of our own choosing (pts in seconds as an expression of N), kept to the
// 1/90000 s in an MP4 as phones and screen recorders write them.
std::string retimed(const std::string& seconds) {
    return "-vf \"settb=1/90000,setpts='(" + seconds +
           ")/TB'\" -fps_mode passthrough -enc_time_base 1:90000 -video_track_timescale 90000 ";
}

// A beep of 0.1 s at the given second, on a 48 kHz sound track.
std::string beepAt(double seconds, double length) {
    std::ostringstream s;
    s << "-f lavfi -i \"aevalsrc='if(between(t," << seconds << "," << seconds + 0.1
      << "),0.8*sin(2*PI*880*t),0)':s=48000:d=" << length << "\" ";
    return s.str();
}

// The picture times of a movie's first picture track, in order, from its container's start.
std::vector<double> pictureTimes(const std::string& path) {
    std::istringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries "
                                     "packet=pts_time -of csv=p=0 '" +
                                     path + "'"));
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "N/A")
            times.push_back(std::atof(line.c_str()));
    std::sort(times.begin(), times.end());
    const double origin = probeNumber(path, "format", "start_time");
    for (double& t : times)
        t -= origin;
    return times;
}

// Where a cut of a movie with these picture times ends: on the picture start nearest the out
// mark when one lies within half a picture of it, else at the mark.
double endOfCut(const std::vector<double>& times, double end, double frame) {
    double best = end, distance = frame / 2;
    for (double t : times)
        if (std::fabs(t - end) <= distance) {
            best = t;
            distance = std::fabs(t - end);
        }
    return best;
}

// The source pictures a cut from start to end shows: the first at or after the in mark, up to
// the boundary the cut ends on.
std::vector<double> picturesOfCut(const std::vector<double>& times, double start, double end,
                                  double frame) {
    const double until = endOfCut(times, end, frame);
    std::vector<double> shown;
    for (double t : times)
        if (t >= start - 0.001 && t < until - 0.001)
            shown.push_back(t);
    return shown;
}

// A movie's picture times as ticks of its first picture track's clock, in order.
struct PictureTicks {
    std::vector<std::int64_t> pts;
    std::int64_t perSecond{0};
};
PictureTicks pictureTicks(const std::string& path) {
    PictureTicks t;
    const std::string base = probe(path, "v:0", "time_base");
    EXPECT_EQ(base.rfind("1/", 0), 0u) << base;
    t.perSecond = std::atoll(base.c_str() + 2);
    std::istringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries "
                                     "packet=pts -of csv=p=0 '" +
                                     path + "'"));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "N/A")
            t.pts.push_back(std::atoll(line.c_str()));
    std::sort(t.pts.begin(), t.pts.end());
    return t;
}

// Every picture's luma at the centre, each decoded picture once (none repeated to fill a
// steady rate, as a conversion to raw video would).
std::vector<int> everyPictureLuma(const std::string& path) {
    const std::string out =
        capture("ffmpeg -nostdin -v error -i '" + path +
                "' -fps_mode passthrough -vf 'crop=2:2:80:60,format=yuv420p' -f rawvideo -");
    std::vector<int> luma;
    for (std::size_t i = 0; i + 5 < out.size(); i += 6) // 4 luma bytes and 2 chroma per frame
        luma.push_back(static_cast<unsigned char>(out[i]));
    return luma;
}

// Whether each decoded picture of a cut of a numbered movie is the one after the one before.
void expectEachPictureOnceInOrder(const std::string& out, std::size_t count) {
    const std::vector<int> luma = everyPictureLuma(out);
    ASSERT_EQ(luma.size(), count) << "pictures in the cut";
    for (std::size_t i = 1; i < luma.size(); ++i) {
        const int step = ((luma[i] - luma[i - 1]) % 192 + 192) % 192;
        ASSERT_NEAR(step, 6, 2) << "picture " << i << " is not the one after picture " << i - 1;
    }
}

void save(const std::string& source, const std::string& destination, double start, double end,
          std::function<void(double)> progress = {}) {
    ClipWriter::write(source, destination, start, end, 2'000'000, 160'000,
                      std::make_shared<StopFlag>(), std::move(progress));
}

} // namespace

TEST(PictureTiming, EveryPictureOnceAtItsOwnTime) {
    const struct {
        const char* name;
        std::string args;
        double start, end;
        double beep;  // seconds in the source; 0: no sound
        double frame; // the source's steady picture duration
    } cases[] = {
        // A phone's 30 fps whose picture times wander by up to 4 ms, with a beep at 5 s.
        {"wandering.mp4",
         numbered("160x120", "30", 10) + beepAt(5, 10) + retimed("N/30+0.004*sin(N*1.7)") +
             "-c:v libx264 -crf 1 -g 48 -bf 3 -c:a aac",
         2, 8, 5, 1.0 / 30},
        // A screen recording: pictures up to 1.97 s, then nothing until 6 s.
        {"screen.mp4",
         numbered("160x120", "30", 4) + retimed("if(lt(N,60),N/30,6+(N-60)/30)") +
             "-c:v libx264 -crf 1",
         1, 7, 0, 1.0 / 30},
        // Two 25 fps recordings joined with a 30 ms step instead of 40 ms.
        {"joined.mp4",
         numbered("160x120", "25", 4) + retimed("if(lt(N,50),N/25,N/25-0.01)") +
             "-c:v libx264 -crf 1",
         1, 3, 0, 1.0 / 25},
    };
    const std::string dir = freshFolder("picture-timing");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args);
        const std::string out = dir + "/" + c.name;
        ASSERT_NO_THROW(save(source, out, c.start, c.end));

        // The source pictures between the marks, the first at or after the in mark.
        const std::vector<double> sourceTimes = pictureTimes(source);
        const std::vector<double> shown = picturesOfCut(sourceTimes, c.start, c.end, c.frame);
        ASSERT_FALSE(shown.empty());
        expectEachPictureOnceInOrder(out, shown.size());

        // Each at its own time from the cut's first picture, as its 1/90000 s clock says.
        const std::vector<double> times = pictureTimes(out);
        ASSERT_EQ(times.size(), shown.size());
        for (std::size_t i = 0; i < times.size(); ++i)
            ASSERT_NEAR(times[i], shown[i] - shown[0], 0.0001) << "picture " << i;
        // The last picture lasts until the boundary the cut ends on.
        EXPECT_NEAR(probeNumber(out, "v:0", "duration"),
                    endOfCut(sourceTimes, c.end, c.frame) - shown[0], 0.0001);
        if (c.beep > 0) {
            EXPECT_NEAR(firstLoudSound(out), c.beep - shown[0], 0.002) << "sound in step";
        }
    }
}

TEST(PictureTiming, ProgressRunsOnWhileAPictureStaysOnScreen) {
    // A slide shown for 8 s in a 10 s recording with sound: the work is the sound's.
    const std::string source = makeMovie(
        "slides.mp4", numbered("160x120", "30", 2) + beepAt(9, 10) +
                          retimed("if(lt(N,30),N/30,9+(N-30)/30)") + "-c:v libx264 -c:a aac");
    const std::string out = freshFolder("slides") + "/cut.mp4";
    std::mutex lock;
    std::vector<double> reports;
    ASSERT_NO_THROW(save(source, out, 0, 10, [&](double f) {
        std::lock_guard guard(lock);
        reports.push_back(f);
    }));
    ASSERT_GE(reports.size(), 20u);
    EXPECT_EQ(reports.back(), 1);
    // Each side reports from its own thread, so two reports a step apart may arrive in
    // either order; none goes further back than that, and none leaps ahead.
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i], reports[i - 1] - 0.021) << "report " << i;
        EXPECT_LE(reports[i] - reports[i - 1], 0.1) << "report " << i;
    }
    EXPECT_EQ(countFrames(out), 60);
    EXPECT_NEAR(firstLoudSound(out), 9, 0.002);
}

TEST(PictureTiming, StreamedRecordingsOpenWithTheirLengthAndCutAnywhere) {
    // WebM as a browser's recorder writes it: to a stream, so no length and no index.
    const std::string source = makeMovie(
        "streamed.webm", numbered("160x120", "30", 20) + "-f lavfi -t 20 -i sine=f=440:r=48000 " +
                             "-c:v libvpx -deadline realtime -b:v 1M -c:a libopus -f webm pipe:1 | "
                             "sh -c 'cat > \"$0\"'");
    ASSERT_EQ(probe(source, "format", "duration"), "N/A") << "the header states no length";
    Asset asset(source);
    EXPECT_NEAR(asset.loadDuration().seconds(), 20, 0.05);
    const std::vector<Track> pictures = asset.loadTracks(MediaType::video);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NEAR(pictures[0].timeRange.end().seconds(), 20, 0.05);

    const std::string out = freshFolder("streamed") + "/cut.mp4";
    ASSERT_NO_THROW(save(source, out, 15, 18.5));
    std::size_t expected = 0;
    for (double t : pictureTimes(source))
        expected += t >= 15 - 0.001 && t < 18.5 - 0.001;
    expectEachPictureOnceInOrder(out, expected);
    EXPECT_NEAR(probeNumber(out, "v:0", "duration"), 3.5, 0.04);
    EXPECT_NEAR(probeNumber(out, "a:0", "duration"), 3.5, 0.04);
}

// A cut of a steady-rate movie ends on the source picture boundary nearest the out mark, so
// every picture, the last included, lasts one frame and the file reads as the source's rate.
TEST(PictureTiming, ASteadyRateCutEndsOnThePictureBoundaryNearestTheOutMark) {
    const std::string at25 = makeMovie(
        "steady-25.mp4", numbered("160x120", "25", 12) + "-f lavfi -i sine=r=48000:d=12 " +
                             "-c:v libx264 -preset ultrafast -c:a aac");
    const std::string at2997 = makeMovie(
        "steady-2997.mp4", numbered("160x120", "30000/1001", 40) +
                               "-f lavfi -i sine=r=48000:d=40 -c:v libx264 -preset ultrafast "
                               "-c:a aac");
    // Pictures start every 1/25 s, or every 1001/30000 s from 0; a 29.97 cut from 2 s starts
    // with picture 60 (2.002 s).
    const struct {
        const char* name;
        const std::string& source;
        double start, end;
        const char* rate;
        double frame;
        int pictures; // from the in mark's picture to the boundary nearest the out mark
    } cases[] = {
        {"25 fps, 0.8 ms after picture 150", at25, 2, 6.0008, "25/1", 0.04, 100},
        {"25 fps, 0.8 ms before picture 150", at25, 2, 5.9992, "25/1", 0.04, 100},
        {"25 fps, 11.7 ms after picture 150", at25, 2, 3607.0 / 600, "25/1", 0.04, 100},
        {"25 fps, 10 ms before picture 150", at25, 2, 5.99, "25/1", 0.04, 100},
        {"25 fps, 15 ms before picture 151", at25, 2, 6.025, "25/1", 0.04, 101},
        {"29.97 fps, 2 to 37 s: 3.7 ms before picture 1109", at2997, 2, 37, "30000/1001",
         1001.0 / 30000, 1049},
        {"29.97 fps, 10 ms before picture 300", at2997, 2, 10, "30000/1001", 1001.0 / 30000, 240},
        {"29.97 fps, 6.6 ms after picture 301", at2997, 2, 10.05, "30000/1001", 1001.0 / 30000,
         241},
    };
    const std::string dir = freshFolder("steady-rate");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/cut" + std::to_string(n++) + ".mp4";
        ASSERT_NO_THROW(save(c.source, out, c.start, c.end));
        EXPECT_EQ(probe(out, "v:0", "avg_frame_rate"), c.rate);
        const PictureTicks t = pictureTicks(out);
        ASSERT_EQ(static_cast<int>(t.pts.size()), c.pictures);
        const std::int64_t frameTicks = std::llround(c.frame * t.perSecond);
        for (std::size_t i = 1; i < t.pts.size(); ++i)
            ASSERT_EQ(t.pts[i] - t.pts[i - 1], frameTicks) << "picture " << i;
        // The last picture lasts as long as the others, and the picture track as long as its
        // pictures.
        const std::int64_t length = std::llround(probeNumber(out, "v:0", "duration_ts"));
        EXPECT_EQ(length - (t.pts.back() - t.pts.front()), frameTicks) << "the last picture";
        EXPECT_EQ(length, c.pictures * frameTicks);
        EXPECT_NEAR(probeNumber(out, "a:0", "duration"), probeNumber(out, "v:0", "duration"),
                    c.frame)
            << "the sound ends with the picture";
    }
}

// With no picture boundary near the out mark, the cut ends at the mark: the last picture stays
// on screen until then, and the sound goes on with it.
TEST(PictureTiming, ACutWithNoPictureBoundaryNearTheOutMarkEndsAtTheMark) {
    const struct {
        const char* name;
        std::string args;
        double start, end;
    } cases[] = {
        // A screen recording: pictures up to 1.97 s, then nothing until 6 s.
        {"screen-pause.mp4",
         numbered("160x120", "30", 4) + "-f lavfi -i sine=r=48000:d=8 " +
             retimed("if(lt(N,60),N/30,6+(N-60)/30)") + "-c:v libx264 -c:a aac",
         1, 5.01},
        // One picture over five seconds of sound.
        {"still-over-sound.mp4",
         "-f lavfi -i color=c=red:s=160x120:r=25:d=0.04 -f lavfi -i sine=r=48000:d=5 "
         "-c:v libx264 -c:a aac",
         1, 3.5},
    };
    const std::string dir = freshFolder("no-boundary");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args);
        const std::string out = dir + "/" + c.name;
        ASSERT_NO_THROW(save(source, out, c.start, c.end));
        EXPECT_NEAR(probeNumber(out, "v:0", "duration"), c.end - c.start, 0.0001);
        EXPECT_NEAR(probeNumber(out, "a:0", "duration"), c.end - c.start, 0.03);
    }
}

// A picture is put on its stream's steady grid only as far as the source's own clock rounds:
// a steady rate on a coarse clock comes out exact, and a phone's jittered times are kept.
TEST(PictureTiming, PicturesMoveNoFurtherThanTheSourceClockRounds) {
    const struct {
        const char* name;
        std::string args;
        // How far a picture may lie from its own time relative to the first: the two
        // roundings of a coarse clock, one tick in all.
        double within;
        const char* steadyRate; // null: the source's rate is not steady
    } cases[] = {
        // An Android-style clip: 30 fps on a 1/90000 clock, each time off by up to 1.5 ms.
        {"phone-jitter.mp4",
         numbered("160x120", "30", 6) + "-f lavfi -i sine=r=48000:d=6 " +
             retimed("N/30+0.0015*sin(N*1.7)") + "-c:v libx264 -c:a aac",
         0.0001, nullptr},
        // 29.97 fps on a millisecond clock, rounded by up to half a millisecond.
        {"steady-ms.webm",
         numbered("160x120", "30000/1001", 6) + "-c:v libvpx -deadline realtime -b:v 1M",
         0.001 + 1e-6, "30000/1001"},
        // 29.97 fps on a 1/600 s clock, rounded by up to 0.83 ms.
        {"steady-600.mp4",
         numbered("160x120", "30000/1001", 6) + "-c:v libx264 -video_track_timescale 600",
         1.0 / 600 + 1e-6, "30000/1001"},
    };
    const std::string dir = freshFolder("own-clock");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args);
        const std::string out = dir + "/" + std::string(c.name) + ".mp4";
        ASSERT_NO_THROW(save(source, out, 1.5, 4.5));
        const std::vector<double> shown = picturesOfCut(pictureTimes(source), 1.5, 4.5, 1.0 / 30);
        const std::vector<double> times = pictureTimes(out);
        ASSERT_EQ(times.size(), shown.size());
        for (std::size_t i = 0; i < times.size(); ++i)
            ASSERT_NEAR(times[i], shown[i] - shown[0], c.within) << "picture " << i;
        if (c.steadyRate) {
            EXPECT_EQ(probe(out, "v:0", "avg_frame_rate"), c.steadyRate);
            const PictureTicks t = pictureTicks(out);
            for (std::size_t i = 1; i < t.pts.size(); ++i)
                ASSERT_EQ(t.pts[i] - t.pts[i - 1], t.pts[1] - t.pts[0]) << "picture " << i;
        }
    }
}

namespace {

struct DecodedPicture {
    double time; // from the container's start
    int luma;
};

// A movie's pictures as a decoder gives them out, in showing order: each one's time as the
// decoder reckons it (a program stream or an AVI does not give every packet its showing
// time) and its luma where everyPictureLuma looks.
std::vector<DecodedPicture> decodedPictures(const std::string& path) {
    std::istringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries "
                                     "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                     path + "'"));
    const double origin = probeNumber(path, "format", "start_time");
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            times.push_back(std::atof(line.c_str()) - origin);
    const std::vector<int> luma = everyPictureLuma(path);
    EXPECT_EQ(times.size(), luma.size()) << "one time for each decoded picture";
    std::vector<DecodedPicture> pictures;
    for (std::size_t i = 0; i < std::min(times.size(), luma.size()); ++i)
        pictures.push_back({times[i], luma[i]});
    return pictures;
}

} // namespace

// Movies whose packets do not all say when their picture is shown: a cut starts with the
// picture shown at or after the in mark, as the preview shows it there, holds every picture
// from it to the boundary nearest the out mark, and its sound starts with that picture.
TEST(PictureTiming, ACutOfPicturesWithoutShowingTimesStartsAtTheInMarksPicture) {
    // Frame n is lit 16 + 6·(n mod 32) in its top left corner and black elsewhere: small
    // pictures, several in one program stream packet, so only the first says its time.
    // A 20 ms click every half second from 0.25 s.
    const std::string clicks = "-f lavfi -i \"aevalsrc='0.8*sin(2*PI*1000*t)*gte(t\\,0.25)*"
                               "lt(mod(t-0.25\\,0.5)\\,0.02)':s=48000:d=4\" ";
    const std::string corner =
        "-f lavfi -i \"color=c=black:s=720x480:r=30000/1001:d=4,format=yuv420p,"
        "geq=lum='if(lt(X\\,W/4)*lt(Y\\,H/4)\\,16+6*mod(N\\,32)\\,16)':cb=128:cr=128\" " +
        clicks;
    const struct {
        const char* name;
        std::string args;
    } sources[] = {
        // DVD-style: MPEG-2 at 29.97 fps, 32:27 pixels, top field first, AC-3.
        {"untimed-dvd.vob", corner + "-c:v mpeg2video -b:v 6M -flags +ilme+ildct -top 1 "
                                     "-vf setsar=32/27 -g 15 -c:a ac3 -ac 2 -ar 48000 -f dvd"},
        // The same with B-frames, as DVDs are mastered.
        {"untimed-dvd-bframes.vob", corner + "-c:v mpeg2video -b:v 6M -g 15 -bf 2 "
                                             "-vf setsar=32/27 -c:a ac3 -ac 2 -ar 48000 -f vob"},
        // MPEG-4 Part 2 with B-frames in an AVI, which keeps decoding times alone.
        {"untimed-bframes.avi",
         numbered("320x240", "30000/1001", 4) + clicks + "-c:v mpeg4 -bf 2 -q:v 3 -c:a pcm_s16le"},
    };
    const double frame = 1001.0 / 30000;
    const std::string dir = freshFolder("untimed-pictures");
    for (const auto& source : sources) {
        SCOPED_TRACE(source.name);
        const std::string path = makeMovie(source.name, source.args);
        ASSERT_NE(capture("ffprobe -v error -select_streams v:0 -show_entries packet=pts "
                          "-of csv=p=0 '" +
                          path + "' | grep -c N/A"),
                  "0\n")
            << "some packets carry no showing time";
        const std::vector<DecodedPicture> pictures = decodedPictures(path);
        std::vector<double> times;
        for (const DecodedPicture& p : pictures)
            times.push_back(p.time);
        // The first click's time on the source's timeline, as its sound is decoded.
        const double firstClick = probeNumber(path, "a:0", "start_time") -
                                  probeNumber(path, "format", "start_time") + firstLoudSound(path);
        // In marks 5 ms before a picture whose packet gave no showing time, the first one from
        // 0.3, 1.7 and 2.2 s, and 2.2 s itself.
        const std::vector<double> timed = pictureTimes(path);
        std::vector<double> inMarks{2.2};
        for (double from : {0.3, 1.7, 2.2}) {
            const auto untimed = std::find_if(times.begin(), times.end(), [&](double t) {
                return t >= from && std::none_of(timed.begin(), timed.end(), [t](double s) {
                           return std::fabs(s - t) < 0.0005;
                       });
            });
            ASSERT_NE(untimed, times.end());
            inMarks.push_back(*untimed - 0.005);
        }
        for (double in : inMarks) {
            SCOPED_TRACE("from " + std::to_string(in));
            const std::string out = dir + "/" + source.name + "-" + std::to_string(in) + ".mp4";
            ASSERT_NO_THROW(save(path, out, in, in + 1));
            const std::vector<double> shown = picturesOfCut(times, in, in + 1, frame);
            ASSERT_FALSE(shown.empty());
            const auto first = std::find(times.begin(), times.end(), shown[0]) - times.begin();
            const std::vector<int> luma = everyPictureLuma(out);
            ASSERT_EQ(luma.size(), shown.size()) << "pictures in the cut";
            for (std::size_t i = 0; i < luma.size(); ++i)
                ASSERT_NEAR(luma[i], pictures[first + i].luma, 2)
                    << "picture " << i << " is the source's at " << shown[i];
            // The first click heard in the cut, from its first picture: one whose end is
            // left in the cut sounds at once.
            double click = firstClick;
            while (click + 0.02 <= shown[0])
                click += 0.5;
            EXPECT_NEAR(firstLoudSound(out), std::max(0.0, click - shown[0]), 0.002)
                << "the sound starts with the first picture";
        }
    }
}
