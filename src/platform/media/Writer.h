#pragma once
// Writing a movie file: an MP4 muxer with one encoder per input (H.264 through x264, AAC
// through FFmpeg's own encoder). Inputs say when they are ready for more data; an input
// that runs more than half a second ahead of the other unfinished input waits, so the
// file interleaves and memory stays bounded whatever the two streams' lengths.
#include "Buffers.h"
#include "MediaSettings.h"
#include "PlatformError.h"
#include "platform/dispatch/Dispatch.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace trimwell {

enum class FileType { mpeg4 };

class WriterCore;

class WriterInput {
public:
    static std::shared_ptr<WriterInput> makeVideo(VideoSettings settings);
    static std::shared_ptr<WriterInput> makeAudio(AudioSettings settings);
    ~WriterInput();
    WriterInput(const WriterInput&) = delete;
    WriterInput& operator=(const WriterInput&) = delete;

    MediaType mediaType() const;
    // Any thread. False while the input is far ahead of the other one, or finished.
    // Once the writer has failed or was cancelled it reads true, so a waiting pump runs,
    // fails its next append and ends.
    bool isReadyForMoreMediaData() const;
    // Calls block on queue again and again while the input is ready and not finished.
    void requestMediaDataWhenReady(std::shared_ptr<SerialQueue> queue, std::function<void()> block);
    // False on failure; the writer's error says why. Sound must be interleaved s16 PCM at
    // the input's rate and channel count, in buffers of any length.
    bool appendSampleBuffer(const SampleBuffer& buffer);
    // The encoder's end a step at a time, for a caller that tells progress or looks for a
    // stop between steps (the held-back pictures of a large movie take seconds): the first
    // call ends the input's data, so appends fail after it, and each call hands over at most
    // one of the pictures or sound frames the encoder held back. True while more follow;
    // false once all are in the file or the writer stopped. markAsFinished then ends the
    // input. The input's own queue only; nothing is held between calls.
    bool finishStep();
    // Any thread, without waiting: the share of the pictures (or sound frames) given so far
    // that the encoder has given out, below 1 while it holds some back. It counts pictures,
    // not time, so a picture shown for seconds is one step like any other.
    double encodedShare() const;
    // Flushes the encoder (the last partial sound frame included) and ends the input.
    void markAsFinished();

    struct Impl;

private:
    explicit WriterInput(std::unique_ptr<Impl> impl);
    friend class Writer;
    friend class WriterCore;
    friend class PixelBufferAdaptor;
    std::unique_ptr<Impl> impl_;
};

class PixelBufferAdaptor {
public:
    PixelBufferAdaptor(std::shared_ptr<WriterInput> input, PixelBufferAttributes attributes);
    // Present once the writer has started writing.
    std::shared_ptr<PixelBufferPool> pixelBufferPool() const;
    bool appendPixelBuffer(const std::shared_ptr<PixelBuffer>& buffer, MediaTime presentationTime);

private:
    std::shared_ptr<WriterInput> input_;
    PixelBufferAttributes attributes_{};
    std::shared_ptr<PixelBufferPool> pool_;
};

class Writer {
public:
    enum class Status { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

    // Creates the file. Throws PlatformError when its folder is missing or cannot be written.
    Writer(const std::string& path, FileType type);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Moves the index to the front of the file when it is finished.
    void setShouldOptimizeForNetworkUse(bool value);
    bool canAddInput(const std::shared_ptr<WriterInput>& input) const;
    void addInput(std::shared_ptr<WriterInput> input);
    bool startWriting();
    void startSessionAtSourceTime(MediaTime time);
    // Finishes every input still open, writes the index and closes the file; handler is
    // called exactly once, on a worker thread, after status() says how it went.
    void finishWriting(std::function<void()> handler);
    // Abandons the file and removes it. Safe from any thread, at any time.
    void cancelWriting();
    Status status() const;
    std::optional<PlatformError> error() const;
    const std::string& path() const;

private:
    std::shared_ptr<WriterCore> core_;
};

} // namespace trimwell
