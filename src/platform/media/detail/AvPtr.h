#pragma once
// One owner type per FFmpeg object, so every exit path releases what it holds.
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace trimwell {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct InputFormatFree {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, InputFormatFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

// FFmpeg's own messages stay quiet unless TRIMWELL_MEDIA_LOG names a level
// ("error", "warning", "info", "debug"); the program reports what matters itself.
void quietMediaLogs();

FramePtr makeFrame();
PacketPtr makePacket();

// Pictures of one format and size whose memory goes back to the pool when the last
// reference to a picture goes, so a long save does not map, fault in and zero fresh pages
// for every picture. Pictures still in use when the pool goes keep their memory until
// they are freed. The spare memory sits behind a lock of our own rather than in FFmpeg's
// buffer pool: its lock lives inside libavutil, where the thread checker cannot see that a
// picture's memory changes hands only after its last reader is done with it.
class FramePool {
public:
    FramePool() = default;
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // A picture laid out as av_frame_get_buffer would lay it out; null when out of memory.
    FramePtr get(AVPixelFormat format, int width, int height);

private:
    struct Shelf;
    Shelf* shelf_{nullptr}; // shared with the pictures still out; the last one frees it
    AVPixelFormat format_{AV_PIX_FMT_NONE};
    int width_{0};
    int height_{0};
};

// Opens and probes a file for reading; throws PlatformError. A quick probe decodes no
// pictures: it learns what inspection needs from headers and packets alone. interrupt, when
// set, lets another thread make a blocked read give up.
enum class Probe { full, quick };
FormatContextPtr openInput(const std::string& path, Probe probe = Probe::full,
                           AVIOInterruptCB interrupt = {});
// The quick probe of an opened context; true when it learnt every picture's size (otherwise
// only a full probe, which decodes, can).
bool probeQuickly(AVFormatContext* fmt);
// How a decoder spreads its work. Frame threads, one per core, decode several pictures at
// once: that halves the wait for the pictures between a key frame and the cut's start, and
// keeps the encoder fed while its lookahead fills. Each holds one picture in flight. Codecs
// without frame threads fall back to slice threads where the stream allows.
// perCoreSlices: a decoder that takes one picture at a time, where frame threads would only
// add delay while slice threads (HEVC's wavefronts) still split a large picture.
enum class DecoderThreads { single, perCore, perCoreSlices };
// A decoder for one stream, with tune (when given) applied before it opens; throws
// PlatformError.
CodecContextPtr openDecoder(const AVStream* stream, DecoderThreads threads,
                            void (*tune)(AVCodecContext*) = nullptr);
// The stream's display matrix (nine 16.16 fixed-point numbers, a movie header's track matrix
// in layout and sense); null when it has none.
const std::int32_t* displayMatrixOf(const AVStream* stream);

} // namespace trimwell
