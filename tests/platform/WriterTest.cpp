#include "platform/media/Writer.h"
#include "support/TestMovies.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <set>

using namespace trimwell;
using namespace trimwell::testing;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<WriterInput> pictureInput(int w, int h, std::int64_t bits = 1'000'000) {
    VideoSettings s;
    s.width = w;
    s.height = h;
    s.averageBitRate = bits;
    s.profileLevel = ProfileLevel::h264HighAutoLevel;
    return WriterInput::makeVideo(s);
}

std::shared_ptr<WriterInput> soundInput(double rate, int channels) {
    AudioSettings s;
    s.formatID = kAudioFormatMPEG4AAC;
    s.sampleRate = rate;
    s.channels = channels;
    s.encoderBitRate = 128000;
    return WriterInput::makeAudio(s);
}

SampleBuffer silence(std::int64_t start, std::int64_t frames, int rate) {
    AudioStreamDescription d{static_cast<double>(rate),
                             kAudioFormatLinearPCM,
                             kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                             2,
                             1,
                             2,
                             1,
                             16};
    return sampleBufferCreateForAudio(blockBufferCreate(static_cast<std::size_t>(frames) * 2),
                                      audioFormatDescriptionCreate(d), frames,
                                      MediaTime::make(1, rate), MediaTime::make(start, rate), 2);
}

} // namespace

TEST(Writer, RefusesFoldersThatDoNotExistOrAreFiles) {
    const std::string dir = freshFolder("writer-folders");
    EXPECT_THROW(Writer(dir + "/missing/out.mp4", FileType::mpeg4), PlatformError);
    run("touch '" + dir + "/plain'");
    try {
        Writer(dir + "/plain/out.mp4", FileType::mpeg4);
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.domain(), "POSIX");
        EXPECT_EQ(e.code(), ENOTDIR);
    }
}

TEST(Writer, RefusesInputsItCannotEncode) {
    const std::string dir = freshFolder("writer-inputs");
    Writer writer(dir + "/out.mp4", FileType::mpeg4);
    EXPECT_FALSE(writer.canAddInput(pictureInput(321, 240))); // odd
    EXPECT_FALSE(writer.canAddInput(pictureInput(0, 240)));
    EXPECT_FALSE(writer.canAddInput(pictureInput(20000, 240))); // beyond H.264
    EXPECT_FALSE(writer.canAddInput(soundInput(1000, 1)));
    EXPECT_FALSE(writer.canAddInput(soundInput(48000, 0)));
    auto good = pictureInput(320, 240);
    EXPECT_TRUE(writer.canAddInput(good));
    writer.addInput(good);
    EXPECT_FALSE(writer.canAddInput(good)); // once only
    ASSERT_TRUE(writer.startWriting());
    EXPECT_FALSE(writer.canAddInput(soundInput(48000, 2))); // too late
    writer.cancelWriting();
    EXPECT_EQ(writer.status(), Writer::Status::cancelled);
    EXPECT_FALSE(fileExists(dir + "/out.mp4")) << "a cancelled file is removed";
}

// Sound that starts late and runs long, with pictures in small steps: whatever the
// streams do, neither input may run far ahead, and the handler is called exactly once.
TEST(Writer, KeepsTheStreamsInterleavedAndFinishesOnce) {
    const std::string dir = freshFolder("writer-interleave");
    const std::string path = dir + "/out.mp4";
    Writer writer(path, FileType::mpeg4);
    writer.setShouldOptimizeForNetworkUse(true);
    auto picture = pictureInput(64, 48);
    auto sound = soundInput(44100, 1);
    writer.addInput(picture);
    writer.addInput(sound);
    ASSERT_TRUE(writer.startWriting());
    writer.startSessionAtSourceTime(MediaTime::zero());

    std::atomic<double> maxLead{0};
    std::atomic<std::int64_t> pictureTicks{0}, soundTicks{0};
    auto leadCheck = [&] {
        const double lead = std::abs(pictureTicks / 30.0 - soundTicks / 44100.0);
        if (lead > maxLead)
            maxLead = lead;
    };
    auto done = std::make_shared<std::promise<void>>();
    std::atomic<int> left{2};
    auto adaptor = std::make_shared<PixelBufferAdaptor>(picture, PixelBufferAttributes{});
    auto pq = SerialQueue::make("w.video");
    auto aq = SerialQueue::make("w.audio");
    picture->requestMediaDataWhenReady(pq, [&, adaptor, done] {
        while (picture->isReadyForMoreMediaData()) {
            if (pictureTicks >= 150) { // 5 s
                picture->markAsFinished();
                if (--left == 0)
                    done->set_value();
                return;
            }
            auto pool = adaptor->pixelBufferPool();
            ASSERT_TRUE(pool);
            auto buffer = pool->createPixelBuffer();
            ASSERT_TRUE(buffer && buffer->lockBaseAddress());
            buffer->unlockBaseAddress();
            ASSERT_TRUE(adaptor->appendPixelBuffer(buffer, MediaTime::make(pictureTicks, 30)));
            pictureTicks++;
            leadCheck();
        }
    });
    sound->requestMediaDataWhenReady(aq, [&, done] {
        while (sound->isReadyForMoreMediaData()) {
            if (soundTicks >= 44100 * 8) { // 8 s, the last 3 alone
                sound->markAsFinished();
                if (--left == 0)
                    done->set_value();
                return;
            }
            const std::int64_t n = 3000; // not a multiple of the encoder's frame
            ASSERT_TRUE(sound->appendSampleBuffer(silence(soundTicks, n, 44100)));
            soundTicks += n;
            if (pictureTicks < 150)
                leadCheck();
        }
    });
    ASSERT_EQ(done->get_future().wait_for(60s), std::future_status::ready);
    EXPECT_LT(maxLead.load(), 0.7);

    std::promise<int> finished;
    std::atomic<int> calls{0};
    writer.finishWriting([&] {
        if (calls++ == 0)
            finished.set_value(static_cast<int>(writer.status()));
    });
    auto f = finished.get_future();
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(f.get(), static_cast<int>(Writer::Status::completed));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(probe(path, "v:0", "codec_name"), "h264");
    EXPECT_EQ(probe(path, "v:0", "profile"), "High");
    EXPECT_EQ(probe(path, "a:0", "sample_rate"), "44100");
    // Every sample, the partial last encoder frame included, is in the file.
    EXPECT_NEAR(probeNumber(path, "a:0", "duration"), 8.0, 0.03);
    EXPECT_EQ(countFrames(path), 150);
    // The index sits before the data.
    const std::string order = capture("python3 -c \"d=open('" + path +
                                      "','rb').read(); print(d.find(b'moov') < d.find(b'mdat'))\"");
    EXPECT_EQ(order, "True\n");
}

TEST(PixelBuffer, HoldsBgraBytesWithARowStride) {
    auto buffer = PixelBuffer::create(33, 7);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->baseAddress(), nullptr);
    ASSERT_TRUE(buffer->lockBaseAddress());
    EXPECT_NE(buffer->baseAddress(), nullptr);
    EXPECT_GE(buffer->bytesPerRow(), 33 * 4);
    buffer->unlockBaseAddress();
    EXPECT_EQ(buffer->baseAddress(), nullptr);
    EXPECT_FALSE(PixelBuffer::create(0, 10));
    EXPECT_FALSE(PixelBuffer::create(100000, 100000));
}

TEST(SampleBuffers, ConstructorsRefuseWhatTheyCannotDescribe) {
    AudioStreamDescription good{48000,
                                kAudioFormatLinearPCM,
                                kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                                2,
                                1,
                                2,
                                1,
                                16};
    const auto format = audioFormatDescriptionCreate(good);
    ASSERT_TRUE(format);
    AudioStreamDescription floaty = good;
    floaty.bitsPerChannel = 32;
    EXPECT_THROW(audioFormatDescriptionCreate(floaty), PlatformError);
    const auto block = blockBufferCreate(8);
    ASSERT_EQ(block->bytes.size(), 8u);
    EXPECT_EQ(blockBufferGetDataPointer(*block, 0), block->bytes.data());
    EXPECT_THROW(blockBufferGetDataPointer(*block, 8), PlatformError);
    EXPECT_THROW(sampleBufferCreateForAudio(block, format, 5, MediaTime::make(1, 48000),
                                            MediaTime::zero(), 2),
                 PlatformError)
        << "five frames do not fit eight bytes";
    const SampleBuffer sample = sampleBufferCreateForAudio(
        block, format, 4, MediaTime::make(1, 48000), MediaTime::make(480, 48000), 2);
    EXPECT_EQ(sample.presentationTime.seconds(), 0.01);
}

// The encoder holds back its lookahead of pictures; at large sizes working through them
// takes seconds, so its end goes a step at a time, with how far it got readable between
// steps, and a cancel between two steps ends it there.
TEST(Writer, FinishesTheEncoderAStepAtATime) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled between steps" : "to the end");
        const std::string path = freshFolder("writer-steps") + "/out.mp4";
        Writer writer(path, FileType::mpeg4);
        auto picture = pictureInput(320, 240);
        writer.addInput(picture);
        ASSERT_TRUE(writer.startWriting());
        writer.startSessionAtSourceTime(MediaTime::zero());
        PixelBufferAdaptor adaptor(picture, PixelBufferAttributes{});
        const int count = 24; // fewer than x264's lookahead at the writer's preset
        for (int n = 0; n < count; ++n) {
            auto buffer = adaptor.pixelBufferPool()->createPixelBuffer();
            ASSERT_TRUE(buffer && buffer->lockBaseAddress());
            buffer->unlockBaseAddress();
            ASSERT_TRUE(adaptor.appendPixelBuffer(buffer, MediaTime::make(n, 30)));
        }
        ASSERT_EQ(picture->encodedShare(), 0) << "the encoder held nothing back";

        std::vector<double> shares;
        int stepsAfterCancel = 0;
        while (picture->finishStep()) {
            if (writer.status() == Writer::Status::cancelled)
                ++stepsAfterCancel;
            shares.push_back(picture->encodedShare());
            if (cancel && shares.size() == 3)
                writer.cancelWriting();
        }
        EXPECT_FALSE(adaptor.appendPixelBuffer(
            adaptor.pixelBufferPool() ? adaptor.pixelBufferPool()->createPixelBuffer() : nullptr,
            MediaTime::make(count, 30)))
            << "nothing is taken once the end began";
        EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
        picture->markAsFinished();
        std::promise<Writer::Status> ended;
        writer.finishWriting([&] { ended.set_value(writer.status()); });
        const Writer::Status status = ended.get_future().get();
        if (cancel) {
            EXPECT_EQ(shares.size(), 3u);
            EXPECT_EQ(stepsAfterCancel, 0);
            EXPECT_EQ(status, Writer::Status::cancelled);
            EXPECT_FALSE(fileExists(path));
        } else {
            EXPECT_EQ(std::set<double>(shares.begin(), shares.end()).size(), std::size_t{count})
                << "the held-back pictures come out one a step";
            EXPECT_EQ(picture->encodedShare(), 1);
            EXPECT_EQ(status, Writer::Status::completed);
            EXPECT_EQ(countFrames(path), count);
        }
    }
}
