#pragma once
// What the writer's files share: the core that owns the muxer and paces the inputs, and
// each input's encoder state. Private to the writer.
#include "AvPtr.h"
#include "platform/media/Writer.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
}

namespace trimwell {

struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFree>;

struct WriterInput::Impl {
    MediaType type{MediaType::video};
    VideoSettings video{};
    AudioSettings audio{};

    std::weak_ptr<WriterCore> core; // set when added to a writer
    AVStream* stream{nullptr};      // owned by the muxer

    std::mutex encodeLock;      // guards the encoder and everything below it
    CodecContextPtr encoder;    // guarded by encodeLock (opened once, by prepare)
    bool prepared{false};       // guarded by encodeLock
    SwsPtr toYuv;               // guarded by encodeLock
    FramePool yuvPool;          // guarded by encodeLock
    FifoPtr fifo;               // guarded by encodeLock
    bool havePts{false};        // guarded by encodeLock
    std::int64_t nextSample{0}; // guarded by encodeLock: pts of the next encoder frame
    std::int64_t queuedEnd{0};  // guarded by encodeLock: sample after the last queued one
    // The flush was sent, or the encoder given up: nothing more is appended.
    bool flushed{false}; // guarded by encodeLock
    bool emptied{false}; // guarded by encodeLock: every packet has come out
    // The pictures that come out as the encoder drains, muxed only once it says none follows
    // so that the last in decoding order can be given the rest of the track.
    std::vector<PacketPtr> heldBack; // guarded by encodeLock
    // How long each picture sent to the encoder lasts, by its time, until its packet comes
    // out (in reordered order): the file stores a duration per picture.
    std::map<std::int64_t, std::int64_t> pictureDurations; // guarded by encodeLock
    // The picture track's extent, from the packets muxed so far (encoder time base): how far
    // the first packet's decode time lies before its presentation time, and where the last
    // shown picture ends. Guarded by encodeLock.
    std::optional<std::int64_t> firstPacketDelay;
    std::int64_t presentationEnd{0};
    // Frames sent to the encoder and packets it gave out: written under encodeLock, read by
    // anyone without waiting for an encoder that is busy.
    std::atomic<std::int64_t> framesIn{0};
    std::atomic<std::int64_t> packetsOut{0};

    // Scheduling, all guarded by the writer's stateLock.
    double position{0};
    bool finished{false};
    bool scheduled{false};
    std::function<void()> block;
    std::shared_ptr<SerialQueue> queue;

    bool prepare();
};

class WriterCore : public std::enable_shared_from_this<WriterCore> {
public:
    std::string path;
    bool optimizeForNetwork{false};

    mutable std::mutex muxLock;    // guards fmt and pb; taken before stateLock
    AVFormatContext* fmt{nullptr}; // guarded by muxLock
    AVIOContext* pb{nullptr};      // guarded by muxLock

    mutable std::mutex stateLock; // guards the fields below and the inputs' scheduling
    Writer::Status status{Writer::Status::unknown};
    std::optional<PlatformError> error;
    std::vector<std::shared_ptr<WriterInput>> inputs;
    MediaTime sessionStart{MediaTime::zero()};

    ~WriterCore() {
        if (fmt) {
            fmt->pb = nullptr;
            avformat_free_context(fmt);
        }
        // Only an abandoned file is still open here, and no one is left to hear of it.
        if (pb)
            avio_closep(&pb);
    }

    Writer::Status currentStatus() const {
        std::lock_guard guard(stateLock);
        return status;
    }

    // First failure wins; later ones leave the recorded error alone. Never throws: it is
    // how a failure is reported, from catch blocks too.
    void fail(const PlatformError& e) {
        {
            std::lock_guard guard(stateLock);
            if (status == Writer::Status::writing) {
                status = Writer::Status::failed;
                try {
                    error = e;
                } catch (...) { // out of memory: the status alone still ends the save
                }
            }
        }
        try {
            kick();
        } catch (...) { // the pumps already scheduled still run and see the failure
        }
    }

    // The exception being handled as the writer's failure, with what was being done.
    void failWithCurrent(const char* what) {
        try {
            fail(PlatformError::fromCurrentException(what));
        } catch (...) {
            std::lock_guard guard(stateLock);
            if (status == Writer::Status::writing)
                status = Writer::Status::failed;
        }
    }

    bool mux(AVPacket* pkt);
    bool readyLocked(const WriterInput::Impl& in) const;
    void kick();
    void advance(WriterInput::Impl& in, double end);

    void removeFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

// Sends one frame and muxes what comes out.
bool encodeAndMux(WriterCore& core, WriterInput::Impl& in, AVFrame* frame);
// One step of the encoder's end: the first sends the flush (the last partial sound frame
// before it), and each takes at most one packet. True while more may follow; false once the
// encoder is empty (emptied, its packets muxed) or the writing failed. Under encodeLock.
bool drainStep(WriterCore& core, WriterInput::Impl& in);
// duration: how long the picture stays on screen; invalid for one frame of the stated rate.
bool appendPicture(WriterInput::Impl& in, const PixelBuffer* pixels, MediaTime time,
                   MediaTime duration);
bool drainSound(WriterCore& core, WriterInput::Impl& in, bool last);
bool appendSound(WriterInput::Impl& in, const SampleBuffer& buffer);

inline const char* encodingStep(const WriterInput::Impl& in) {
    return in.type == MediaType::video ? "Encoding the picture" : "Encoding the sound";
}

} // namespace trimwell
