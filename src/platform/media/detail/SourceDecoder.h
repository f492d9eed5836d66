#pragma once
// One stream of one source file, demuxed and decoded on its own: each reader output
// owns one, so a badly interleaved file never makes one output buffer the other's data.
#include "AvPtr.h"

#include <atomic>
#include <limits>
#include <string>

namespace trimwell {

class SourceDecoder {
public:
    // Opens path and a decoder for streamIndex; throws PlatformError.
    SourceDecoder(const std::string& path, int streamIndex, DecoderThreads threads);

    // Positions the decoder so that the first frame it returns is at or before seconds
    // (the key frame before it), or the stream's first frame. Returns that frame, or null
    // when the stream has none from there on.
    FramePtr seekTo(double seconds);
    // Pictures shown before seconds that no other picture refers to are not decoded at all
    // (where the codec can tell): a cut that starts between key frames decodes only the
    // pictures its first one is built on. Applies to every read from now on.
    void skipUnreferencedBefore(double seconds) { skipBefore_ = seconds; }
    // The next frame in presentation order; null at the end. Throws PlatformError when
    // reading fails (not at the plain end of the file).
    FramePtr next();
    // A frame's time on the presentation timeline (zero at the container's start).
    double secondsOf(const AVFrame* frame) const;
    // How long its packet said a frame lasts, in seconds; 0 when it did not say.
    double durationOf(const AVFrame* frame) const;
    // The stream's first picture time on the same timeline (its start time).
    double firstPictureSeconds() const;
    // Makes a blocked read give up; callable from any thread.
    void interrupt() { interrupted_ = true; }
    AVCodecContext* decoder() const { return decoder_.get(); }
    const AVStream* stream() const { return fmt_->streams[streamIndex_]; }

private:
    void open();
    void fillColourTags(AVFrame* frame) const;
    static int interruptCallback(void* opaque);

    std::string path_;
    int streamIndex_{-1};
    DecoderThreads threads_{DecoderThreads::single};
    FormatContextPtr fmt_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    bool draining_{false};
    std::int64_t lastTimestamp_{AV_NOPTS_VALUE};
    std::int64_t lastDuration_{0};
    double origin_{0};
    double skipBefore_{-std::numeric_limits<double>::infinity()};
    std::atomic<bool> interrupted_{false};
};

} // namespace trimwell
