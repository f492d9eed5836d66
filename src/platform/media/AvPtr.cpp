#include "detail/AvPtr.h"

#include "PlatformError.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
}

namespace trimwell {

void quietMediaLogs() {
    static const bool once = [] {
        int level = AV_LOG_QUIET;
        if (const char* wanted = std::getenv("TRIMWELL_MEDIA_LOG")) {
            if (!std::strcmp(wanted, "error"))
                level = AV_LOG_ERROR;
            else if (!std::strcmp(wanted, "warning"))
                level = AV_LOG_WARNING;
            else if (!std::strcmp(wanted, "info"))
                level = AV_LOG_INFO;
            else if (!std::strcmp(wanted, "debug"))
                level = AV_LOG_DEBUG;
        }
        av_log_set_level(level);
        return true;
    }();
    (void)once;
}

FramePtr makeFrame() {
    FramePtr f(av_frame_alloc());
    if (!f)
        throw PlatformError::fromAv(AVERROR(ENOMEM));
    return f;
}

PacketPtr makePacket() {
    PacketPtr p(av_packet_alloc());
    if (!p)
        throw PlatformError::fromAv(AVERROR(ENOMEM));
    return p;
}

bool probeQuickly(AVFormatContext* fmt) {
    // Decoding pictures is most of a probe's time on a large movie and tells inspection
    // nothing it needs; sizes, rates and times come from headers and packet timestamps.
    std::vector<AVDictionary*> options(fmt->nb_streams, nullptr);
    // Both are hints: a probe without them is only slower, so a failure to set them is ignored.
    for (auto& o : options) {
        av_dict_set(&o, "threads", "1", 0);
        av_dict_set(&o, "skip_frame", "nokey", 0);
    }
    const int ret = avformat_find_stream_info(fmt, options.data());
    for (auto& o : options)
        av_dict_free(&o);
    checkAv(ret);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecParameters* par = fmt->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (par->width <= 0 || par->height <= 0))
            return false;
    }
    return true;
}

FormatContextPtr openInput(const std::string& path, Probe probe, AVIOInterruptCB interrupt) {
    quietMediaLogs();
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        throw PlatformError::fromAv(AVERROR(ENOMEM));
    raw->interrupt_callback = interrupt;
    checkAv(avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr));
    FormatContextPtr fmt(raw);
    if (probe == Probe::full) {
        checkAv(avformat_find_stream_info(fmt.get(), nullptr));
        return fmt;
    }
    // A context is probed once: a second probe of the same one crashes inside FFmpeg on
    // some formats (MPEG-TS, DV, 3GP), so the full probe starts from a fresh open.
    if (!probeQuickly(fmt.get()))
        return openInput(path, Probe::full, interrupt); // this one needs its pictures decoded
    return fmt;
}

// The same alignment and padding av_frame_get_buffer gives, which the scaler and the
// encoders' SIMD reads rely on.
constexpr int kFrameAlign = 64;
constexpr int kHeightAlign = 32;
constexpr int kTailPadding = 64;

struct FramePool::Shelf {
    explicit Shelf(std::size_t bytes) : size(bytes) {}
    std::mutex lock;
    std::vector<std::uint8_t*> spare; // the most recently returned last, for warm caches
    const std::size_t size;
    int out{0};         // pictures handed out and not yet returned
    bool closed{false}; // the pool has gone or moved on to another size

    std::uint8_t* take() {
        {
            std::lock_guard guard(lock);
            ++out;
            if (!spare.empty()) {
                std::uint8_t* memory = spare.back();
                spare.pop_back();
                return memory;
            }
        }
        auto* memory = static_cast<std::uint8_t*>(av_malloc(size));
        if (!memory) {
            std::lock_guard guard(lock);
            --out;
        }
        return memory;
    }

    // The buffer's free callback: on whichever thread drops a picture's last reference.
    static void giveBack(void* opaque, std::uint8_t* memory) {
        auto* shelf = static_cast<Shelf*>(opaque);
        bool last = false;
        {
            std::lock_guard guard(shelf->lock);
            --shelf->out;
            if (shelf->closed)
                av_free(memory);
            else
                shelf->spare.push_back(memory);
            last = shelf->closed && shelf->out == 0;
        }
        if (last)
            delete shelf;
    }

    void close() {
        bool last = false;
        {
            std::lock_guard guard(lock);
            closed = true;
            for (std::uint8_t* memory : spare)
                av_free(memory);
            spare.clear();
            last = out == 0;
        }
        if (last)
            delete this;
    }
};

FramePool::~FramePool() {
    if (shelf_)
        shelf_->close();
}

FramePtr FramePool::get(AVPixelFormat format, int width, int height) {
    const int paddedHeight = FFALIGN(height, kHeightAlign);
    if (!shelf_ || format != format_ || width != width_ || height != height_) {
        const int size = av_image_get_buffer_size(format, width, paddedHeight, kFrameAlign);
        if (size < 0)
            return nullptr;
        if (shelf_)
            shelf_->close();
        shelf_ = new Shelf(static_cast<std::size_t>(size) + kTailPadding);
        format_ = format;
        width_ = width;
        height_ = height;
    }
    FramePtr frame = makeFrame();
    if (!frame)
        return nullptr;
    std::uint8_t* memory = shelf_->take();
    if (!memory)
        return nullptr;
    frame->buf[0] = av_buffer_create(memory, shelf_->size, &Shelf::giveBack, shelf_, 0);
    if (!frame->buf[0]) {
        Shelf::giveBack(shelf_, memory);
        return nullptr;
    }
    if (av_image_fill_arrays(frame->data, frame->linesize, memory, format, width, paddedHeight,
                             kFrameAlign) < 0)
        return nullptr;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    return frame;
}

CodecContextPtr openDecoder(const AVStream* stream, DecoderThreads threads) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        throw PlatformError::fromAv(AVERROR_DECODER_NOT_FOUND);
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        throw PlatformError::fromAv(AVERROR(ENOMEM));
    checkAv(avcodec_parameters_to_context(ctx.get(), stream->codecpar));
    ctx->pkt_timebase = stream->time_base;
    // Never more than four: past that, each thread's picture in flight costs more memory
    // than its speed is worth beside an encoder that wants the cores too.
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    ctx->thread_count = threads == DecoderThreads::single ? 1 : static_cast<int>(cores);
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    checkAv(avcodec_open2(ctx.get(), codec, nullptr));
    return ctx;
}

} // namespace trimwell
