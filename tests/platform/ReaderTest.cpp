#include "platform/media/Reader.h"
#include "support/TestMovies.h"

#include <gtest/gtest.h>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

struct Cut {
    std::shared_ptr<Composition> composition = std::make_shared<Composition>();
    std::shared_ptr<Reader> reader;
    std::shared_ptr<VideoCompositionOutput> pictures;
    std::shared_ptr<TrackOutput> sound;
};

Cut cutOf(const std::string& path, double from, double to, bool withSound) {
    Cut cut;
    Asset asset(path);
    const Track picture = asset.loadTracks(MediaType::video).at(0);
    const TimeRange range = TimeRange::fromStartToEnd(MediaTime::fromSeconds(from, 600),
                                                      MediaTime::fromSeconds(to, 600));
    CompositionTrack* track = cut.composition->addMutableTrack(MediaType::video);
    track->insertTimeRange(range, asset, picture, MediaTime::zero());
    auto vc = std::make_shared<VideoComposition>();
    vc->renderSize = picture.naturalSize;
    vc->frameDuration = MediaTime::make(20, 600);
    vc->instructions.push_back(
        {{MediaTime::zero(), range.duration}, {{track->trackID(), {}, MediaTime::zero()}}});
    cut.reader = std::make_shared<Reader>(cut.composition);
    cut.pictures = std::make_shared<VideoCompositionOutput>(std::vector<int>{track->trackID()},
                                                            PixelBufferAttributes{});
    cut.pictures->setVideoComposition(vc);
    EXPECT_TRUE(cut.reader->canAddOutput(cut.pictures));
    cut.reader->addOutput(cut.pictures);
    if (withSound) {
        const Track sound = asset.loadTracks(MediaType::audio).at(0);
        CompositionTrack* st = cut.composition->addMutableTrack(MediaType::audio);
        st->insertTimeRange(range, asset, sound, MediaTime::zero());
        AudioSettings pcm;
        pcm.formatID = kAudioFormatLinearPCM;
        pcm.sampleRate = 22050;
        pcm.channels = 2;
        cut.sound = std::make_shared<TrackOutput>(st->trackID(), pcm);
        EXPECT_TRUE(cut.reader->canAddOutput(cut.sound));
        cut.reader->addOutput(cut.sound);
    }
    return cut;
}

} // namespace

TEST(Reader, PicturesReadAsTheColoursAPlayerShows) {
    const std::string path = makeMovie(
        "reader-colour.mp4", "-f lavfi -i testsrc2=s=320x240:r=30:d=2 -c:v libx264 -crf 2");
    Cut cut = cutOf(path, 1.0, 1.5, false);
    ASSERT_TRUE(cut.reader->startReading());
    auto first = cut.pictures->copyNextSampleBuffer();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->presentationTime.seconds(), 0);
    ASSERT_TRUE(first->pixels->lockBaseAddress());
    const std::uint8_t* base = first->pixels->baseAddress();
    for (const auto& [x, y] : {std::pair{40, 60}, std::pair{200, 100}, std::pair{300, 220}}) {
        const Rgb want = pixelAt(path, 30, x, y);
        const std::uint8_t* bgra = base + y * first->pixels->bytesPerRow() + x * 4;
        EXPECT_NEAR(bgra[2], want.r, 6) << x << "," << y;
        EXPECT_NEAR(bgra[1], want.g, 6);
        EXPECT_NEAR(bgra[0], want.b, 6);
    }
    first->pixels->unlockBaseAddress();
    int count = 1;
    while (cut.pictures->copyNextSampleBuffer())
        ++count;
    EXPECT_EQ(count, 15);
    EXPECT_EQ(cut.reader->status(), Reader::Status::completed);
}

TEST(Reader, SoundIsResampledAndTrimmedToTheSample) {
    const std::string path =
        makeMovie("reader-sound.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=3 -f lavfi -i "
                                      "sine=sample_rate=44100:d=3 -c:v libx264 -c:a aac -shortest");
    Cut cut = cutOf(path, 1.0, 2.0, true);
    ASSERT_TRUE(cut.reader->startReading());
    std::int64_t frames = 0;
    MediaTime first = MediaTime::invalid();
    while (auto s = cut.sound->copyNextSampleBuffer()) {
        if (!first.isValid())
            first = s->presentationTime;
        EXPECT_EQ(s->format->description.channelsPerFrame, 2u);
        EXPECT_EQ(s->format->description.sampleRate, 22050);
        frames += s->frameCount;
    }
    EXPECT_EQ(first.seconds(), 0);
    EXPECT_EQ(frames, 22050);
}

TEST(Reader, CancellingEndsEveryOutput) {
    const std::string path =
        makeMovie("reader-sound.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=3 -f lavfi -i "
                                      "sine=sample_rate=44100:d=3 -c:v libx264 -c:a aac -shortest");
    Cut cut = cutOf(path, 0.0, 3.0, true);
    ASSERT_TRUE(cut.reader->startReading());
    ASSERT_TRUE(cut.pictures->copyNextSampleBuffer());
    cut.reader->cancelReading();
    EXPECT_EQ(cut.reader->status(), Reader::Status::cancelled);
    int more = 0;
    while (cut.pictures->copyNextSampleBuffer() && more < 100)
        ++more;
    EXPECT_LE(more, 4) << "at most what was already decoded ahead";
    EXPECT_FALSE(cut.sound->copyNextSampleBuffer());
}

TEST(Reader, AMissingSourceFailsToStart) {
    const std::string dir = freshFolder("reader-missing");
    const std::string path = dir + "/gone.mp4";
    run("cp '" +
        makeMovie("reader-colour.mp4",
                  "-f lavfi -i testsrc2=s=320x240:r=30:d=2 -c:v libx264 -crf 2") +
        "' '" + path + "'");
    Cut cut = cutOf(path, 0, 1, false);
    run("rm '" + path + "'");
    EXPECT_FALSE(cut.reader->startReading());
    EXPECT_EQ(cut.reader->status(), Reader::Status::failed);
    ASSERT_TRUE(cut.reader->error().has_value());
}

// What our own checks refuse names our domain; only a library's return value names FFmpeg's.
TEST(Reader, RefusalsOfOurOwnNameTrimwellNotTheLibrary) {
    const std::string path = makeMovie(
        "reader-colour.mp4", "-f lavfi -i testsrc2=s=320x240:r=30:d=2 -c:v libx264 -crf 2");
    Asset asset(path);
    const Track picture = asset.loadTracks(MediaType::video).at(0);
    Composition composition;
    CompositionTrack* sound = composition.addMutableTrack(MediaType::audio);
    CompositionTrack* video = composition.addMutableTrack(MediaType::video);
    const auto range = [](double from, double to) {
        return TimeRange::fromStartToEnd(MediaTime::fromSeconds(from, 600),
                                         MediaTime::fromSeconds(to, 600));
    };
    const struct {
        CompositionTrack* track;
        TimeRange range;
        const char* description;
    } cases[] = {{sound, range(0, 1), "The track is of another kind"},
                 {video, range(1, 1), "The time range is empty"},
                 {video, range(1, 5), "The time range lies outside the track"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        try {
            c.track->insertTimeRange(c.range, asset, picture, MediaTime::zero());
            ADD_FAILURE() << "no error";
        } catch (const PlatformError& e) {
            EXPECT_EQ(e.description(), c.description);
            EXPECT_EQ(e.domain(), "Trimwell");
        }
    }

    Reader idle(std::make_shared<Composition>());
    EXPECT_FALSE(idle.startReading());
    ASSERT_TRUE(idle.error().has_value());
    EXPECT_EQ(idle.error()->description(), "Nothing to read");
    EXPECT_EQ(idle.error()->domain(), "Trimwell");
}
