#include "AvPtr.h"

#include "PlatformError.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
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
    for (auto& o : options) {
        av_dict_set(&o, "threads", "1", 0);
        av_dict_set(&o, "skip_frame", "nonkey", 0);
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

FormatContextPtr openInput(const std::string& path, Probe probe) {
    quietMediaLogs();
    AVFormatContext* raw = nullptr;
    checkAv(avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr));
    FormatContextPtr fmt(raw);
    if (probe == Probe::full) {
        checkAv(avformat_find_stream_info(fmt.get(), nullptr));
        return fmt;
    }
    if (!probeQuickly(fmt.get()))
        return openInput(path, Probe::full); // this one needs its pictures decoded
    return fmt;
}

CodecContextPtr openDecoder(const AVStream* stream, int threads) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        throw PlatformError::fromAv(AVERROR_DECODER_NOT_FOUND);
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        throw PlatformError::fromAv(AVERROR(ENOMEM));
    checkAv(avcodec_parameters_to_context(ctx.get(), stream->codecpar));
    ctx->pkt_timebase = stream->time_base;
    ctx->thread_count = threads;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    checkAv(avcodec_open2(ctx.get(), codec, nullptr));
    return ctx;
}

} // namespace trimwell
