// What is thrown inside a save fails the save, never the process: an address-space limit makes
// real allocations and threads fail anywhere in a save, and a stage that throws through the
// writer's own interfaces reaches what a limit cannot aim at.
#include "Reliability.h"
#include "platform/media/Writer.h"
#include "support/TestMovies.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <new>

using namespace trimwell;
using namespace trimwell::testing;
using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct Outcome {
    int status{-1}; // the shell's $?: above 128 when a signal ended the program
    std::string out;
};

std::string q(const std::string& path) {
    return "'" + path + "'";
}

// One save by trimwell-cut with at most megabytes of address space.
Outcome cutWithin(int megabytes, const std::string& source, const std::string& destination) {
    const std::string out = capture("ulimit -c 0; ulimit -v " + std::to_string(megabytes * 1024) +
                                    "; " + q(TRIMWELL_CUT) + " " + q(source) + " " +
                                    q(destination) + " 0 2 2>/dev/null; echo \"exit=$?\"");
    const auto at = out.rfind("exit=");
    return {std::atoi(out.c_str() + at + 5), out.substr(0, at)};
}

} // namespace

TEST(Throws, EverySaveUnderAnAddressSpaceLimitEndsSavedOrFailedWithNothingLeft) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
    const std::string source = smallMovie(false);
    const std::string dir = freshFolder("rel-limit");
    const std::string destination = dir + "/cut.mp4";
    const Deadline deadline("the address-space sweep", std::chrono::seconds(280));

    // The smallest limit that still saves, to a megabyte: below it something fails.
    int fails = 64, saves = 4096;
    ASSERT_EQ(cutWithin(saves, source, destination).status, 0);
    while (saves - fails > 1) {
        const int mid = (fails + saves) / 2;
        const Outcome r = cutWithin(mid, source, destination);
        (r.status == 0 ? saves : fails) = mid;
    }
    int saved = 0, failed = 0;
    for (int megabytes = saves - 40; megabytes <= saves + 8; ++megabytes) {
        SCOPED_TRACE(::testing::Message() << megabytes << " MB; saves from " << saves << " MB");
        writeFile(destination, kOldFile);
        const Outcome r = cutWithin(megabytes, source, destination);
        ASSERT_TRUE(r.status == 0 || r.status == 1) << "exit " << r.status << ": " << r.out;
        EXPECT_EQ(listFolder(dir), std::vector<std::string>{"cut.mp4"}) << r.out;
        if (r.status == 0) {
            ++saved;
            EXPECT_EQ(r.out, "Saved.\n");
            EXPECT_EQ(probe(destination, "v:0", "codec_name"), "h264");
        } else {
            ++failed;
            EXPECT_EQ(r.out.rfind("The save stopped. The partial file was removed.\n", 0), 0u)
                << r.out;
            EXPECT_GT(r.out.size(),
                      std::string("The save stopped. The partial file was removed.\n").size() + 1)
                << "a reason follows";
            EXPECT_EQ(readFile(destination), kOldFile);
        }
    }
    EXPECT_GT(saved, 0);
    EXPECT_GT(failed, 0);
}

namespace {

std::shared_ptr<WriterInput> pictureInput() {
    VideoSettings s;
    s.width = 64;
    s.height = 48;
    s.averageBitRate = 500'000;
    s.profileLevel = ProfileLevel::h264HighAutoLevel;
    return WriterInput::makeVideo(s);
}

std::shared_ptr<WriterInput> soundInput() {
    AudioSettings s;
    s.formatID = kAudioFormatMPEG4AAC;
    s.sampleRate = 48000;
    s.channels = 1;
    s.encoderBitRate = 64000;
    return WriterInput::makeAudio(s);
}

SampleBuffer silence(std::int64_t start, std::int64_t frames) {
    AudioStreamDescription d{48000,
                             kAudioFormatLinearPCM,
                             kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                             2,
                             1,
                             2,
                             1,
                             16};
    return sampleBufferCreateForAudio(blockBufferCreate(static_cast<std::size_t>(frames) * 2),
                                      audioFormatDescriptionCreate(d), frames,
                                      MediaTime::make(1, 48000), MediaTime::make(start, 48000), 2);
}

} // namespace

// The pumps reach the writer only through its inputs' ready-blocks, appends and its finish
// handler; each of those throwing ends the writing as a failure that names the step.
TEST(Throws, AStageThatThrowsFailsTheWritingAndEveryoneStillEnds) {
    const struct {
        const char* name;
        bool pictureThrows; // the picture's ready-block throws after a few pictures
        bool handlerThrows; // the finish handler throws after it has reported
        Writer::Status end;
        const char* reason; // how the writer's error begins; empty: no error
    } cases[] = {
        {"a ready-block throws", true, false, Writer::Status::failed, "Saving the picture: "},
        {"the finish handler throws", false, true, Writer::Status::completed, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Deadline deadline(c.name, std::chrono::seconds(60));
        const std::string dir = freshFolder("rel-throwing-stage");
        Writer writer(dir + "/out.mp4", FileType::mpeg4);
        auto picture = pictureInput();
        auto sound = soundInput();
        writer.addInput(picture);
        writer.addInput(sound);
        ASSERT_TRUE(writer.startWriting());
        writer.startSessionAtSourceTime(MediaTime::zero());

        auto adaptor = std::make_shared<PixelBufferAdaptor>(picture, PixelBufferAttributes{});
        std::promise<void> pictureDone, soundDone;
        std::atomic<bool> refused{false};
        std::int64_t pictures = 0, samples = 0; // each touched on its own queue only
        // Declared last, so they are joined before what their blocks use goes away.
        auto pq = SerialQueue::make("throws.video");
        auto aq = SerialQueue::make("throws.audio");
        picture->requestMediaDataWhenReady(pq, [&] {
            while (picture->isReadyForMoreMediaData()) {
                if (c.pictureThrows && pictures == 10)
                    throw std::bad_alloc();
                auto buffer = adaptor->pixelBufferPool()
                                  ? adaptor->pixelBufferPool()->createPixelBuffer()
                                  : nullptr;
                if (pictures == 60 || !buffer ||
                    !adaptor->appendPixelBuffer(buffer, MediaTime::make(pictures, 30))) {
                    picture->markAsFinished();
                    pictureDone.set_value();
                    return;
                }
                ++pictures;
            }
        });
        sound->requestMediaDataWhenReady(aq, [&] {
            while (sound->isReadyForMoreMediaData()) {
                if (samples >= 48000 * 2 || !sound->appendSampleBuffer(silence(samples, 1000))) {
                    refused = samples < 48000 * 2;
                    sound->markAsFinished();
                    soundDone.set_value();
                    return;
                }
                samples += 1000;
            }
        });
        if (c.pictureThrows) {
            // The thrower never ends its input; the writer's failure ends the other one.
            ASSERT_EQ(soundDone.get_future().wait_for(30s), std::future_status::ready);
            EXPECT_TRUE(refused) << "an append after the failure returns false";
            picture->markAsFinished();
        } else {
            ASSERT_EQ(pictureDone.get_future().wait_for(30s), std::future_status::ready);
            ASSERT_EQ(soundDone.get_future().wait_for(30s), std::future_status::ready);
        }
        std::promise<Writer::Status> finished;
        writer.finishWriting([&] {
            finished.set_value(writer.status());
            if (c.handlerThrows)
                throw std::runtime_error("the handler's own fault");
        });
        auto f = finished.get_future();
        ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
        EXPECT_EQ(f.get(), c.end);
        const std::optional<PlatformError> error = writer.error();
        if (*c.reason) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->description().rfind(c.reason, 0), 0u) << error->description();
            EXPECT_NE(error->description().find("memory"), std::string::npos)
                << error->description();
        } else {
            EXPECT_FALSE(error);
        }
        // The pool's worker survived the handler: later work still runs.
        std::promise<void> after;
        globalQueue().async([&] { after.set_value(); });
        EXPECT_EQ(after.get_future().wait_for(10s), std::future_status::ready);
    }
}
