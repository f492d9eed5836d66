// Cuts of movies whose pictures are not on a perfect grid, as devices write them: phones
// whose picture times wander, screen recorders that write a picture only when the screen
// changes, recordings joined with a step a fraction of a frame off, and browser recordings
// written as a stream with no length in their header.
#include "platform/media/Asset.h"
#include "support/TestMovies.h"
#include "writer/ClipWriter.h"

#include <algorithm>
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
        double beep; // seconds in the source; 0: no sound
    } cases[] = {
        // A phone's 30 fps whose picture times wander by up to 4 ms, with a beep at 5 s.
        {"wandering.mp4",
         numbered("160x120", "30", 10) + beepAt(5, 10) + retimed("N/30+0.004*sin(N*1.7)") +
             "-c:v libx264 -crf 1 -g 48 -bf 3 -c:a aac",
         2, 8, 5},
        // A screen recording: pictures up to 1.97 s, then nothing until 6 s.
        {"screen.mp4",
         numbered("160x120", "30", 4) + retimed("if(lt(N,60),N/30,6+(N-60)/30)") +
             "-c:v libx264 -crf 1",
         1, 7, 0},
        // Two 25 fps recordings joined with a 30 ms step instead of 40 ms.
        {"joined.mp4",
         numbered("160x120", "25", 4) + retimed("if(lt(N,50),N/25,N/25-0.01)") +
             "-c:v libx264 -crf 1",
         1, 3, 0},
    };
    const std::string dir = freshFolder("picture-timing");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args);
        const std::string out = dir + "/" + c.name;
        ASSERT_NO_THROW(save(source, out, c.start, c.end));

        // The source pictures between the marks, the first at or after the in mark.
        std::vector<double> shown;
        for (double t : pictureTimes(source))
            if (t >= c.start - 0.001 && t < c.end - 0.001)
                shown.push_back(t);
        ASSERT_FALSE(shown.empty());
        expectEachPictureOnceInOrder(out, shown.size());

        // Each at its own time from the cut's first picture: a container rounds to its
        // clock, and a picture within a millisecond of the steady grid is put on it.
        const std::vector<double> times = pictureTimes(out);
        ASSERT_EQ(times.size(), shown.size());
        for (std::size_t i = 0; i < times.size(); ++i)
            ASSERT_NEAR(times[i], shown[i] - shown[0], 0.0011) << "picture " << i;
        // The last picture stays on screen until the out mark.
        EXPECT_NEAR(probeNumber(out, "v:0", "duration"), c.end - shown[0], 0.002);
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
