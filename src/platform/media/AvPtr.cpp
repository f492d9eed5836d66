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

namespace {

// The end of each stream's last packet in the file's tail, in AV_TIME_BASE units on the
// file's own clock (AV_NOPTS_VALUE where none was found). A recording written as a stream
// (a browser's, a live recorder's Matroska or WebM) states no length: only its last
// timestamps say it. The tail is read from a fresh context, so the caller's stays where
// its demuxer left it, and from ever further back only while nothing was found there.
std::vector<std::int64_t> tailEnds(const std::string& path, unsigned streams,
                                   AVIOInterruptCB interrupt) {
    std::vector<std::int64_t> ends(streams, AV_NOPTS_VALUE);
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return ends;
    raw->interrupt_callback = interrupt;
    if (avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr) < 0)
        return ends;
    FormatContextPtr scan(raw);
    const std::int64_t size = scan->pb ? avio_size(scan->pb) : -1;
    // A raw stream's times are counted from wherever it is read, so its tail says nothing.
    if (size <= 0 || (scan->iformat->flags & (AVFMT_NO_BYTE_SEEK | AVFMT_NOTIMESTAMPS)))
        return ends;
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return ends;
    const unsigned known = std::min(streams, scan->nb_streams);
    // Up to 128 MiB: a stream whose packets carry no times at all (a raw elementary
    // stream) is not worth reading whole.
    for (std::int64_t back = std::int64_t{2} << 20; back <= std::int64_t{128} << 20; back *= 8) {
        const std::int64_t from = std::max<std::int64_t>(0, size - back);
        if (av_seek_frame(scan.get(), -1, from, AVSEEK_FLAG_BYTE) < 0)
            break;
        bool found = false;
        while (av_read_frame(scan.get(), packet) >= 0) {
            const unsigned index = static_cast<unsigned>(packet->stream_index);
            if (index < known && packet->pts != AV_NOPTS_VALUE) {
                const AVRational base = scan->streams[index]->time_base;
                const std::int64_t end =
                    av_rescale_q(packet->pts + std::max<std::int64_t>(0, packet->duration), base,
                                 AV_TIME_BASE_Q);
                if (ends[index] == AV_NOPTS_VALUE || end > ends[index])
                    ends[index] = end;
                found = true;
            }
            av_packet_unref(packet);
        }
        if (found || from == 0)
            break;
    }
    av_packet_free(&packet);
    return ends;
}

// Gives a file that states no length (or only a guess from its bit rate) the length its
// last timestamps say, and each such stream its own.
void measureLength(AVFormatContext* fmt, const std::string& path, AVIOInterruptCB interrupt) {
    // A guess from the bit rate is kept where a byte position says nothing of the time
    // (DV counts its frames from wherever it is read); Matroska's times are its own.
    if (fmt->duration != AV_NOPTS_VALUE &&
        (fmt->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE ||
         !std::strstr(fmt->iformat->name, "matroska")))
        return;
    if (!fmt->pb || !(fmt->pb->seekable & AVIO_SEEKABLE_NORMAL) || fmt->nb_streams == 0)
        return;
    const std::vector<std::int64_t> ends = tailEnds(path, fmt->nb_streams, interrupt);
    const std::int64_t start = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
    std::int64_t last = AV_NOPTS_VALUE;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (ends[i] == AV_NOPTS_VALUE)
            continue;
        last = last == AV_NOPTS_VALUE ? ends[i] : std::max(last, ends[i]);
        AVStream* st = fmt->streams[i];
        if (st->duration == AV_NOPTS_VALUE || st->duration <= 0 ||
            fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
            const std::int64_t from = st->start_time != AV_NOPTS_VALUE
                                          ? st->start_time
                                          : av_rescale_q(start, AV_TIME_BASE_Q, st->time_base);
            const std::int64_t length = av_rescale_q(ends[i], AV_TIME_BASE_Q, st->time_base) - from;
            if (length > 0)
                st->duration = length;
        }
    }
    if (last != AV_NOPTS_VALUE && last > start) {
        fmt->duration = last - start;
        fmt->duration_estimation_method = AVFMT_DURATION_FROM_PTS;
    }
}

} // namespace

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
    } else if (!probeQuickly(fmt.get())) {
        // A context is probed once: a second probe of the same one crashes inside FFmpeg
        // on some formats (MPEG-TS, DV, 3GP), so the full probe starts from a fresh open.
        return openInput(path, Probe::full, interrupt); // this one needs its pictures decoded
    }
    measureLength(fmt.get(), path, interrupt);
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

CodecContextPtr openDecoder(const AVStream* stream, DecoderThreads threads,
                            void (*tune)(AVCodecContext*)) {
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
    ctx->thread_type = threads == DecoderThreads::perCoreSlices ? FF_THREAD_SLICE
                                                                : FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (tune)
        tune(ctx.get());
    checkAv(avcodec_open2(ctx.get(), codec, nullptr));
    return ctx;
}

const std::int32_t* displayMatrixOf(const AVStream* stream) {
    size_t size = 0;
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    return matrix && size >= 9 * sizeof(std::int32_t) ? matrix : nullptr;
}

} // namespace trimwell
