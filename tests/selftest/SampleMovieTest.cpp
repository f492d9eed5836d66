#include "selftest/SampleMovie.h"
#include "platform/media/PlatformError.h"
#include "support/TestMovies.h"
#include "writer/SaveControls.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <unistd.h>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

std::string sampleMovie() {
    static std::string path = [] {
        // One folder per test process: CTest runs these cases side by side.
        const std::string p = freshFolder("sample-" + std::to_string(::getpid())) + "/sample.mp4";
        SelfTest::makeSample(p);
        return p;
    }();
    return path;
}

void expectColour(Rgb got, Rgb want) {
    EXPECT_NEAR(got.r, want.r, 6);
    EXPECT_NEAR(got.g, want.g, 6);
    EXPECT_NEAR(got.b, want.b, 6);
}

} // namespace

TEST(SampleMovie, IsTwoSecondsOfPictureAndToneAsDescribed) {
    const std::string path = sampleMovie();
    EXPECT_EQ(probe(path, "v:0", "codec_name"), "h264");
    EXPECT_EQ(probe(path, "v:0", "profile"), "High");
    EXPECT_EQ(probe(path, "v:0", "width"), "320");
    EXPECT_EQ(probe(path, "v:0", "height"), "240");
    EXPECT_EQ(probe(path, "v:0", "r_frame_rate"), "30/1");
    EXPECT_EQ(countFrames(path), 60);
    EXPECT_EQ(probe(path, "a:0", "codec_name"), "aac");
    EXPECT_EQ(probe(path, "a:0", "profile"), "LC");
    EXPECT_EQ(probe(path, "a:0", "sample_rate"), "48000");
    EXPECT_EQ(probe(path, "a:0", "channels"), "1");
    EXPECT_NEAR(probeNumber(path, "format", "duration"), 2.0, 1.0 / 30);
    // No network optimisation for the sample: its index follows the data.
    const std::string order = capture("python3 -c \"d=open('" + path +
                                      "','rb').read(); print(d.find(b'moov') > d.find(b'mdat'))\"");
    EXPECT_EQ(order, "True\n");
}

TEST(SampleMovie, FramesDecodeToTheirColoursAndTheSoundToA440HzTone) {
    const std::string path = sampleMovie();
    const auto pixels = framePixels(path, 160, 120);
    ASSERT_EQ(pixels.size(), 60u);
    expectColour(pixels[0], {255, 48, 0});
    expectColour(pixels[30], {165, 48, 120});
    expectColour(pixels[59], {78, 48, 236});

    const std::string raw =
        capture("ffmpeg -nostdin -v error -i '" + path + "' -f s16le -ac 1 -ar 48000 -");
    ASSERT_GT(raw.size(), 48000u * 2);
    // Count rising zero crossings over the middle second.
    int crossings = 0;
    const auto* s = reinterpret_cast<const std::int16_t*>(raw.data());
    for (std::size_t i = 24000; i < 72000; ++i)
        if (s[i - 1] < 0 && s[i] >= 0)
            ++crossings;
    EXPECT_NEAR(crossings, 440, 2);
}

TEST(SampleMovie, PacketsInterleave) {
    const std::string path = sampleMovie();
    std::istringstream packets(
        capture("ffprobe -v error -show_entries packet=stream_index,pts_time "
                "-of csv=p=0 '" +
                path + "'"));
    std::string line;
    int lastStream = -1;
    double runStart = 0, longestRun = 0;
    while (std::getline(packets, line)) {
        const int stream = std::atoi(line.c_str());
        const double t = std::atof(line.substr(line.find(',') + 1).c_str());
        if (stream != lastStream) {
            lastStream = stream;
            runStart = t;
        }
        longestRun = std::max(longestRun, t - runStart);
    }
    EXPECT_LT(longestRun, 1.0);
}

TEST(MakeTone, SamplesAreTheTruncatedSine) {
    const SampleBuffer first = SelfTest::makeTone(0, 3);
    ASSERT_EQ(first.frameCount, 3);
    const auto* s = reinterpret_cast<const std::int16_t*>(first.block->bytes.data());
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], 460);
    EXPECT_EQ(s[2], 919);
    const SampleBuffer later = SelfTest::makeTone(55, 1);
    EXPECT_EQ(reinterpret_cast<const std::int16_t*>(later.block->bytes.data())[0], -209);
    EXPECT_EQ(later.presentationTime.seconds(), 55.0 / 48000);
    try {
        SelfTest::makeTone(0, 0);
        ADD_FAILURE() << "an empty tone buffer cannot be filled";
    } catch (const ClipError& e) {
        EXPECT_EQ(e.description(), "The tone buffer could not be filled (-12710).");
    }
}

TEST(MakePixel, PaintsTheFrameColourAndFallsBackWithoutAPool) {
    const struct {
        int frame;
        int blue, red;
    } cases[] = {{0, 0, 255}, {59, 236, 78}, {64, 255, 63}, {85, 255, 0}, {200, 255, 0}};
    for (const auto& c : cases) {
        auto buffer = SelfTest::makePixel(c.frame, nullptr);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->width(), 320);
        EXPECT_EQ(buffer->height(), 240);
        ASSERT_TRUE(buffer->lockBaseAddress());
        const std::uint8_t* last = buffer->baseAddress() + 239 * buffer->bytesPerRow() + 319 * 4;
        EXPECT_EQ(last[0], c.blue) << c.frame;
        EXPECT_EQ(last[1], 48);
        EXPECT_EQ(last[2], c.red) << c.frame;
        EXPECT_EQ(last[3], 255);
        buffer->unlockBaseAddress();
    }
    const PixelBufferPool broken(PixelBufferAttributes{kPixelFormat32BGRA, 0, 0});
    auto fallback = SelfTest::makePixel(1, &broken);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->width(), 320);
}

TEST(MakeSample, EachFailureIsReportedInItsOwnWords) {
    const std::string dir = freshFolder("sample-failures");
    EXPECT_THROW(SelfTest::makeSample(dir + "/missing/sample.mp4"), PlatformError);

    SelfTest::SampleRecipe odd;
    odd.width = 321;
    try {
        SelfTest::makeSample(dir + "/odd.mp4", odd);
        ADD_FAILURE() << "no error";
    } catch (const ClipError& e) {
        EXPECT_EQ(e.description(), "The sample movie settings were refused.");
    }

    // The picture side fails at frame 10; the sound side still writes all its samples,
    // and only then is the writing cancelled and the first failure reported.
    SelfTest::SampleRecipe failing;
    std::mutex lock;
    std::int64_t toneFrames = 0;
    int toneBuffers = 0;
    failing.pixel = [](std::int64_t frame, const PixelBufferPool* pool) {
        return frame == 10 ? nullptr : SelfTest::makePixel(frame, pool);
    };
    failing.tone = [&](std::int64_t start, std::int64_t frames) {
        std::lock_guard guard(lock);
        toneFrames += frames;
        ++toneBuffers;
        return SelfTest::makeTone(start, frames);
    };
    try {
        SelfTest::makeSample(dir + "/failing.mp4", failing);
        ADD_FAILURE() << "no error";
    } catch (const ClipError& e) {
        EXPECT_EQ(e.description(), "A sample frame could not be made.");
    }
    EXPECT_EQ(toneFrames, 96000);
    EXPECT_EQ(toneBuffers, 47);

    SelfTest::SampleRecipe noTone;
    noTone.tone = [](std::int64_t, std::int64_t) -> SampleBuffer {
        throw ClipError::failed("The tone samples were refused (-12710).");
    };
    try {
        SelfTest::makeSample(dir + "/notone.mp4", noTone);
        ADD_FAILURE() << "no error";
    } catch (const ClipError& e) {
        EXPECT_EQ(e.description(), "The tone samples were refused (-12710).");
    }
}
