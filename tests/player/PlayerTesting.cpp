#include "PlayerTesting.h"

#include "support/TestMovies.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>

namespace trimwell::testing {

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_{1};
    char name_[16] = "trimwell-tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr int kLevels = 5;
constexpr int kStep = 50;
constexpr int kBase = 25;
// Encoding to YUV and back moves a channel by a few units; a blend of two frames moves it
// by about half a step.
constexpr int kTolerance = 12;

} // namespace

bool waitUntil(const std::function<bool()>& done, double seconds) {
    return QTest::qWaitFor(done, static_cast<int>(seconds * 1000));
}

void spin(double seconds) {
    QTest::qWait(static_cast<int>(seconds * 1000));
}

namespace {
std::string codedFrames(const std::string& name, const std::string& more,
                        const std::string& rate = "30",
                        const std::string& codec = "-c:v libx264 -pix_fmt yuv420p -g 30 -bf 2") {
    // Inside the double quotes the shell leaves the filter's escaped commas alone.
    const std::string level = std::to_string(kBase) + "+" + std::to_string(kStep) + "*mod(";
    return makeMovie(name, "-f lavfi -i \"color=black:size=160x120:rate=" + rate +
                               ":duration=3,format=gbrp,geq="
                               "r='" +
                               level + "N\\,5)':g='" + level + "floor(N/5)\\,5)':b='" + level +
                               "floor(N/25)\\,5)'\" " + more + codec);
}
} // namespace

std::string codedFramesMovie() {
    return codedFrames("coded-frames.mp4", "");
}

std::string codedFramesTransportStream() {
    return codedFrames("coded-frames.ts",
                       "-f lavfi -i sine=sample_rate=48000:duration=3 -c:a aac ");
}

std::string codedFramesNtscTransportStream() {
    return codedFrames("coded-frames-2997.ts",
                       "-f lavfi -i sine=sample_rate=48000:duration=3 -c:a aac ", "30000/1001");
}

std::string codedFramesStreamedWebm() {
    return codedFrames(
        "coded-frames-streamed.webm", "-f lavfi -i sine=sample_rate=48000:duration=3 -c:a libopus ",
        "30", "-c:v libvpx -deadline realtime -b:v 2M -g 30 -f webm pipe:1 | sh -c 'cat > \"$0\"'");
}

std::string codedFramesWith(const std::string& fileName, const std::string& codecs) {
    return codedFrames(fileName, "-f lavfi -i sine=sample_rate=48000:duration=3 ", "30", codecs);
}

std::string codedFramesScreenRecording() {
    // Twenty frames a thirtieth apart, then nothing until 3 s, as screen recorders write.
    return codedFrames("coded-frames-screen.mp4",
                       "-vf \"settb=1/90000,setpts='if(lt(N,20),N/30,3+(N-20)/30)/TB'\" "
                       "-fps_mode passthrough -enc_time_base 1:90000 -video_track_timescale "
                       "90000 ");
}

std::string codedFramesVariableRate() {
    // Ten frames a thirtieth apart, then a twentieth, then a sixtieth: kept as timed.
    return codedFrames("coded-frames-vfr.mp4",
                       "-vf \"settb=1/600,setpts='if(lt(N,10),N/30,if(lt(N,25),10/30+(N-10)/20,"
                       "10/30+15/20+(N-25)/60))/TB'\" -fps_mode passthrough "
                       "-enc_time_base 1/600 -video_track_timescale 600 ");
}

namespace {
// The coded pictures' colour in a square at the centre of a still grey picture, as Xvid
// writes AVI with B-frames packed two to a packet and an empty packet after (a picture that
// changes whole would make every one a key frame). The ffmpeg program's Xvid encoder leaves
// the file's first two picture times and one in the middle empty, and loses two pictures of
// the last second.
std::string packedXvidAvi() {
    const std::string box = "if(lt(abs(X-80)\\,16)*lt(abs(Y-60)\\,16)\\,25+50*mod(";
    return makeMovie("steps-packed.avi",
                     "-f lavfi -i \"color=black:size=160x120:rate=30:duration=3,format=gbrp,geq="
                     "r='" +
                         box + "N\\,5)\\,128)':g='" + box + "floor(N/5)\\,5)\\,128)':b='" + box +
                         "floor(N/25)\\,5)\\,128)'\" "
                         "-f lavfi -i sine=sample_rate=48000:duration=3 -c:v libxvid "
                         "-pix_fmt yuv420p -q:v 2 -g 30 -bf 2 -vtag XVID -c:a libmp3lame");
}
} // namespace

std::vector<CodedContainer> codedFramesInEveryContainer() {
    const std::string vp9 =
        "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 1M -g 30 -c:a libopus ";
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p -g 30 -bf 2 -c:a aac ";
    // Each as its makers write it, with sound: browsers' WebM indexed and as a stream (its
    // Opus sound starts the file early), screen recorders' Matroska (B-frames start its
    // picture late), cameras' MP4, MOV, transport streams and AVI, Xvid's with B-frames
    // one to a packet and packed. In AVI with B-frames a third of the packets carry no
    // presentation time.
    return {
        {"WebM", codedFramesWith("steps.webm", vp9)},
        {"WebM as a stream",
         codedFramesWith("steps-streamed.webm", vp9 + "-f webm pipe:1 | sh -c 'cat > \"$0\"'")},
        {"Matroska", codedFramesWith("steps.mkv", h264)},
        {"MP4", codedFramesWith("steps.mp4", h264)},
        {"MOV", codedFramesWith("steps.mov", h264)},
        {"transport stream", codedFramesTransportStream()},
        {"AVI, MPEG-4",
         codedFramesWith("steps-mpeg4.avi", "-c:v mpeg4 -q:v 2 -g 30 -c:a libmp3lame ")},
        {"AVI, MJPEG",
         codedFramesWith("steps-mjpeg.avi", "-c:v mjpeg -q:v 2 -pix_fmt yuvj420p -c:a pcm_s16le ")},
        {"AVI, MPEG-4 with B-frames",
         codedFramesWith("steps-xvid.avi",
                         "-c:v mpeg4 -q:v 2 -g 30 -bf 2 -vtag XVID -c:a libmp3lame "),
         true},
        {"AVI, MPEG-4 with packed B-frames", packedXvidAvi(), true, 88},
    };
}

std::string codedFramesAtRate(const std::string& fileName, const std::string& rate,
                              const std::string& codecs) {
    return codedFrames(fileName, "-f lavfi -i sine=sample_rate=48000:duration=3 ", rate, codecs);
}

std::string codedFramesDvd() {
    // The code in a square at the centre of a still grey picture, as in packedXvidAvi: a DVD
    // multiplex times a packet only where a pack's data starts, so only pictures small enough
    // to share a pack come untimed. B-frames as DVDs are mastered; interlaced, top field
    // first, 32:27 pixels.
    const std::string box = "if(lt(abs(X-360)\\,16)*lt(abs(Y-240)\\,16)\\,25+50*mod(";
    return makeMovie("coded-frames-dvd.vob",
                     "-f lavfi -i \"color=black:size=720x480:rate=30000/1001:duration=3,"
                     "format=gbrp,geq=r='" +
                         box + "N\\,5)\\,128)':g='" + box + "floor(N/5)\\,5)\\,128)':b='" + box +
                         "floor(N/25)\\,5)\\,128)'\" "
                         "-f lavfi -i sine=sample_rate=48000:duration=3 -c:v mpeg2video -b:v 6M "
                         "-flags +ilme+ildct -top 1 -vf setsar=32/27 -g 15 -bf 2 -c:a ac3 -ac 2 "
                         "-ar 48000 -f dvd");
}

// A decoder gives each picture the decode time of the packet that brings it out, which in
// AVI (one time a packet, counted in pictures) lies as many pictures late as the decoder
// holds back; the player shows them on those times, as the writer cuts by them. The pictures
// it still holds at the end, untimed, follow a picture apart.
std::vector<double> aviShownTimes(const std::string& path) {
    const double frame = 1.0 / kCodedRate;
    std::vector<double> times;
    std::istringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries "
                                     "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                     path + "'"));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            times.push_back(line != "N/A"   ? std::stod(line)
                            : times.empty() ? 0
                                            : times.back() + frame);
    return times;
}

std::vector<double> decodedPictureTimes(const std::string& path) {
    const double origin = probeNumber(path, "format", "start_time");
    std::vector<double> times;
    std::istringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries "
                                     "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                     path + "'"));
    // A picture's side data adds empty fields after its time.
    for (std::string line; std::getline(lines, line);)
        if (const std::string time = line.substr(0, line.find(',')); !time.empty() && time != "N/A")
            times.push_back(std::stod(time) - origin);
    return times;
}

std::vector<double> pictureTimes(const std::string& path) {
    const double origin = probeNumber(path, "format", "start_time");
    std::vector<double> times;
    std::istringstream lines(
        capture("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of "
                "csv=p=0 '" +
                path + "'"));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "N/A")
            times.push_back(std::stod(line) - origin);
    std::sort(times.begin(), times.end());
    return times;
}

int frameIndexOf(QColor colour) {
    int index = 0;
    int scale = 1;
    for (int channel : {colour.red(), colour.green(), colour.blue()}) {
        const int level = static_cast<int>(std::lround((channel - kBase) / double(kStep)));
        if (level < 0 || level >= kLevels ||
            std::abs(channel - (kBase + kStep * level)) > kTolerance)
            return -1;
        index += level * scale;
        scale *= kLevels;
    }
    return index;
}

int frameIndexAtCentre(const QImage& image) {
    if (image.isNull())
        return -1;
    return frameIndexOf(image.pixelColor(image.width() / 2, image.height() / 2));
}

std::vector<int> decodedFrameIndices(const std::string& path) {
    // A 2 x 2 crop: 4:2:0 pictures cannot be cut to one pixel.
    const int x = static_cast<int>(probeNumber(path, "v:0", "width")) / 2 & ~1;
    const int y = static_cast<int>(probeNumber(path, "v:0", "height")) / 2 & ~1;
    const std::string out =
        capture("ffmpeg -nostdin -v error -i '" + path +
                "' -map 0:v:0 -fps_mode passthrough -vf 'crop=2:2:" + std::to_string(x) + ":" +
                std::to_string(y) + ",format=rgb24' -f rawvideo -pix_fmt rgb24 -");
    std::vector<int> indices;
    for (std::size_t i = 0; i + 11 < out.size(); i += 12)
        indices.push_back(frameIndexOf(QColor(static_cast<unsigned char>(out[i]),
                                              static_cast<unsigned char>(out[i + 1]),
                                              static_cast<unsigned char>(out[i + 2]))));
    return indices;
}

QRect litBounds(const QImage& image) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::max({c.red(), c.green(), c.blue()}) > 24)
                bounds |= QRect(x, y, 1, 1);
        }
    return bounds;
}

} // namespace trimwell::testing
