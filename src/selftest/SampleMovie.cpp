#include "SampleMovie.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/media/Writer.h"
#include "writer/PumpBook.h"
#include "writer/SaveControls.h"

#include <algorithm>
#include <cmath>
#include <future>

namespace trimwell::SelfTest {

std::shared_ptr<PixelBuffer> makePixel(std::int64_t frame, const PixelBufferPool* pool) {
    std::shared_ptr<PixelBuffer> buffer = pool ? pool->createPixelBuffer() : nullptr;
    if (!buffer)
        buffer = PixelBuffer::create(320, 240, kPixelFormat32BGRA);
    if (!buffer)
        return nullptr;
    if (buffer->lockBaseAddress()) {
        std::uint8_t* base = buffer->baseAddress();
        const int stride = buffer->bytesPerRow();
        const std::uint8_t pixel[4] = {
            static_cast<std::uint8_t>(std::clamp<std::int64_t>(4 * frame, 0, 255)), 48,
            static_cast<std::uint8_t>(255 - std::min<std::int64_t>(3 * frame, 255)), 255};
        for (int y = 0; y < buffer->height(); ++y) {
            std::uint8_t* row = base + static_cast<std::ptrdiff_t>(y) * stride;
            for (int x = 0; x < buffer->width(); ++x)
                std::copy(pixel, pixel + 4, row + 4 * x);
        }
    }
    buffer->unlockBaseAddress();
    return buffer;
}

SampleBuffer makeTone(std::int64_t start, std::int64_t frames) {
    const auto refused = [](const char* what, std::int64_t code) {
        return ClipError::failed(std::string(what) + " (" + std::to_string(code) + ").");
    };
    AudioStreamDescription d;
    d.sampleRate = 48000;
    d.formatID = kAudioFormatLinearPCM;
    d.formatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    d.bytesPerPacket = 2;
    d.framesPerPacket = 1;
    d.bytesPerFrame = 2;
    d.channelsPerFrame = 1;
    d.bitsPerChannel = 16;
    std::shared_ptr<const AudioFormatDescription> format;
    try {
        format = audioFormatDescriptionCreate(d);
    } catch (const PlatformError& e) {
        throw refused("The tone format was refused", e.code());
    }
    if (frames < 0)
        throw refused("The tone buffer was refused", kTrimwellInvalidArgument);
    std::shared_ptr<BlockBuffer> block;
    try {
        block = blockBufferCreate(static_cast<std::size_t>(frames) * 2);
    } catch (const PlatformError& e) {
        throw refused("The tone buffer was refused", e.code());
    }
    std::uint8_t* data = nullptr;
    try {
        data = blockBufferGetDataPointer(*block, 0);
    } catch (const PlatformError& e) {
        throw refused("The tone buffer could not be filled", e.code());
    }
    auto* samples = reinterpret_cast<std::int16_t*>(data);
    for (std::int64_t i = 0; i < frames; ++i)
        samples[i] = static_cast<std::int16_t>(
            std::sin((static_cast<double>(start + i) / 48000) * 2764.601535159018) * 8000);
    try {
        return sampleBufferCreateForAudio(block, format, frames, MediaTime::make(1, 48000),
                                          MediaTime::make(start, 48000), 2);
    } catch (const PlatformError& e) {
        throw refused("The tone samples were refused", e.code());
    }
}

void makeSample(const std::string& path) {
    makeSample(path, SampleRecipe{});
}

void makeSample(const std::string& path, const SampleRecipe& recipe) {
    auto writer = std::make_shared<Writer>(path, FileType::mpeg4);

    VideoSettings video;
    video.codec = VideoCodec::h264;
    video.width = recipe.width;
    video.height = recipe.height;
    video.averageBitRate = 1'000'000;
    auto pictureInput = WriterInput::makeVideo(video);
    auto adaptor = std::make_shared<PixelBufferAdaptor>(
        pictureInput, PixelBufferAttributes{kPixelFormat32BGRA, recipe.width, recipe.height});
    AudioSettings audio;
    audio.formatID = kAudioFormatMPEG4AAC;
    audio.sampleRate = 48000;
    audio.channels = 1;
    audio.encoderBitRate = 64000;
    auto soundInput = WriterInput::makeAudio(audio);

    if (!(writer->canAddInput(pictureInput) && writer->canAddInput(soundInput)))
        throw ClipError::failed("The sample movie settings were refused.");
    writer->addInput(pictureInput);
    writer->addInput(soundInput);
    if (!writer->startWriting())
        throw ClipError::failed(explain(writer->error()));
    writer->startSessionAtSourceTime(MediaTime::zero());

    auto book = std::make_shared<PumpBook>();
    auto frames = std::make_shared<Counter>();
    auto soundFrames = std::make_shared<Counter>();
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> result = done->get_future();
    auto group = std::make_shared<DispatchGroup>();
    auto pictureQueue = SerialQueue::make("trimwell.sample.video");
    auto soundQueue = SerialQueue::make("trimwell.sample.audio");

    auto closeSide = [book, group](bool video) {
        if (book->close(video))
            group->leave();
    };

    group->enter();
    pictureInput->requestMediaDataWhenReady(pictureQueue, [=] {
        while (pictureInput->isReadyForMoreMediaData()) {
            if (frames->value >= recipe.frames)
                break;
            std::shared_ptr<PixelBufferPool> pool = adaptor->pixelBufferPool();
            std::shared_ptr<PixelBuffer> buffer = recipe.pixel(frames->value, pool.get());
            if (!buffer) {
                book->recordFailure("A sample frame could not be made.");
                pictureInput->markAsFinished();
                closeSide(true);
                return;
            }
            if (!adaptor->appendPixelBuffer(buffer, MediaTime::make(frames->value, 30))) {
                book->recordFailure(explain(writer->error()));
                pictureInput->markAsFinished();
                closeSide(true);
                return;
            }
            ++frames->value;
        }
        if (frames->value < recipe.frames)
            return;
        pictureInput->markAsFinished();
        closeSide(true);
    });

    group->enter();
    soundInput->requestMediaDataWhenReady(soundQueue, [=] {
        while (soundInput->isReadyForMoreMediaData()) {
            if (soundFrames->value >= recipe.soundFrames)
                break;
            const std::int64_t n =
                std::min(recipe.soundFrames - soundFrames->value, recipe.soundBufferFrames);
            SampleBuffer buffer;
            try {
                buffer = recipe.tone(soundFrames->value, n);
            } catch (...) {
                book->recordFailure(describe(std::current_exception()));
                soundInput->markAsFinished();
                closeSide(false);
                return;
            }
            if (!soundInput->appendSampleBuffer(buffer)) {
                book->recordFailure(explain(writer->error()));
                soundInput->markAsFinished();
                closeSide(false);
                return;
            }
            soundFrames->value += n;
        }
        if (soundFrames->value < recipe.soundFrames)
            return;
        soundInput->markAsFinished();
        closeSide(false);
    });

    group->notify(globalQueue(), [writer, book, done] {
        std::optional<std::string> failure;
        {
            std::lock_guard guard(book->lock);
            failure = book->failure;
        }
        if (failure) {
            writer->cancelWriting();
            done->set_exception(std::make_exception_ptr(ClipError::failed(*failure)));
            return;
        }
        writer->finishWriting([writer, done] {
            if (writer->status() == Writer::Status::completed)
                done->set_value();
            else
                done->set_exception(
                    std::make_exception_ptr(ClipError::failed(explain(writer->error()))));
        });
    });
    result.get();
}

} // namespace trimwell::SelfTest
