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
