#include "Timeline.h"

#include "Asset.h"
#include "PlatformError.h"
#include "detail/AvPtr.h"
#include "detail/Colour.h"
#include "detail/PictureFilter.h"
#include "detail/ToneMap.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace trimwell {

namespace {

// A picture is found within this many packets of its own stream in one pass, and within
// this many reads of any kind: a broken stretch ends the search instead of the file's end.
constexpr int kMaxPicturePackets = 3000;
constexpr int kMaxReads = 20000;
// How far back a seek that landed after the time asked for tries again; in the end the
// first key frame of the movie is read from the start.
constexpr double kStepsBack[] = {0, 2, 8, 30};
// Key frames are compared with the time asked for to the millisecond, as the player shows them.
constexpr std::int64_t kToleranceUs = 1000;
// A picture stream whose readable data ends this much before the length the file states is
// cut off there (a copy that stopped, a download not finished); less is the usual rounding of
// a container's length and a sound track outlasting the pictures by a few frames.
constexpr std::int64_t kCutOffUs = 500000;

// How the display matrix turns the stored picture upright, read as the movie's inspection
// reads it (a quarter turn swaps the axes; a negative entry mirrors one).
struct Orientation {
    bool swap{false};
    bool flipX{false};
    bool flipY{false};
};

Orientation orientationOf(const AVStream* stream) {
    const std::int32_t* m = displayMatrixOf(stream);
    if (!m)
        return {};
    const double a = m[0], b = m[1], c = m[3], d = m[4];
    if ((a == 0 && b == 0) || (c == 0 && d == 0))
        return {};
    Orientation o;
    o.swap = std::fabs(b) + std::fabs(c) > std::fabs(a) + std::fabs(d);
    o.flipX = o.swap ? b < 0 : a < 0;
    o.flipY = o.swap ? c < 0 : d < 0;
    return o;
}

// The intermediate picture (iw x ih BGRA) turned into the upright one, packed.
void orient(const std::uint8_t* src, int srcStride, int iw, int ih, Orientation o,
            std::vector<std::uint8_t>& out) {
    const int ow = o.swap ? ih : iw;
    const int oh = o.swap ? iw : ih;
    out.resize(static_cast<std::size_t>(ow) * oh * 4);
    auto* dst = reinterpret_cast<std::uint32_t*>(out.data());
    for (int y = 0; y < oh; ++y) {
        for (int x = 0; x < ow; ++x) {
            int ix = 0, iy = 0;
            if (o.swap) {
                ix = o.flipX ? iw - 1 - y : y;
                iy = o.flipY ? ih - 1 - x : x;
            } else {
                ix = o.flipX ? iw - 1 - x : x;
                iy = o.flipY ? ih - 1 - y : y;
            }
            std::uint32_t pixel;
            std::memcpy(&pixel, src + static_cast<std::ptrdiff_t>(iy) * srcStride + ix * 4, 4);
            dst[static_cast<std::ptrdiff_t>(y) * ow + x] = pixel | 0xff000000u;
        }
    }
}

// A decoder for key frames alone, loop filter off: a timeline picture is small.
CodecContextPtr openKeyFrameDecoder(const AVStream* stream) {
    return openDecoder(stream, DecoderThreads::perCoreSlices, [](AVCodecContext* ctx) {
        ctx->skip_frame = AVDISCARD_NONKEY;
        ctx->skip_loop_filter = AVDISCARD_ALL;
        ctx->flags2 |= AV_CODEC_FLAG2_FAST | AV_CODEC_FLAG2_SHOW_ALL;
    });
}

} // namespace

struct TimelinePictures::State {
    std::string path;
    int height{0};
    FormatContextPtr fmt;
    CodecContextPtr decoder;
    PacketPtr packet{makePacket()};
    PacketPtr key{makePacket()};
    int stream{-1};
    AVRational timeBase{1, 1};
    std::int64_t originUs{0}; // the container's start time
    Orientation orientation;
    // The stop flag of the call under way, for the demuxer's interrupt callback.
    const std::atomic<bool>* stop{nullptr};
    bool reopen{false};        // an interrupted read may leave the demuxer midway
    std::int64_t keyDelay{-1}; // how long after it is decoded a key frame is shown
    bool completeIndex{false};
    std::int64_t statedEndUs{-1}; // the picture stream's end as the file states it; -1 unknown
    std::int64_t fileBytes{-1};
    // What the last scan saw: whether reading ended at the file's end or a read error, and
    // where the last picture it read ends.
    bool scanHitEnd{false};
    std::int64_t scanReadToUs{-1};
    SwsPtr toBgra;
    FramePtr scaled;
    // HDR pictures go through the preview's look, made from the first HDR picture.
    FramePtr lookLike;
    std::unique_ptr<LookTable> look;
    std::unique_ptr<PictureFilter> toneMap;
    int toneMapWidth{0};
    int toneMapHeight{0};
    bool toneMapRefused{false};

    static int interrupted(void* opaque) {
        const auto* self = static_cast<const State*>(opaque);
        return self->stop && self->stop->load() ? 1 : 0;
    }

    void open() {
        decoder.reset();
        fmt.reset();
        fmt = openInput(path, Probe::quick, {&State::interrupted, this});
        stream = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream < 0)
            throw PlatformError::fromTrimwell(path + " holds no moving picture");
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            fmt->streams[i]->discard =
                static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        const AVStream* st = fmt->streams[stream];
        timeBase = st->time_base;
        originUs = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
        orientation = orientationOf(st);
        // A movie header lists every picture before any is read; a fragmented movie's index,
        // a Matroska file's cues and the index built while reading may leave some out.
        completeIndex = !std::strncmp(fmt->iformat->name, "mov,", 4) && st->nb_frames > 0 &&
                        avformat_index_get_entries_count(st) >= st->nb_frames;
        statedEndUs = -1;
        if (st->duration > 0 && st->duration != AV_NOPTS_VALUE)
            statedEndUs = presentationUs((st->start_time != AV_NOPTS_VALUE
                                              ? st->start_time
                                              : av_rescale_q(originUs, AV_TIME_BASE_Q, timeBase)) +
                                         st->duration);
        else if (fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
            statedEndUs = fmt->duration;
        fileBytes = fmt->pb ? avio_size(fmt->pb) : -1;
        decoder = openKeyFrameDecoder(st);
        reopen = false;
    }

    bool stopped() const { return stop && stop->load(); }

    // A packet time on the presentation timeline, in microseconds.
    std::int64_t presentationUs(std::int64_t ts) const {
        return av_rescale_q(ts, timeBase, AV_TIME_BASE_Q) - originUs;
    }

    // When a packet is shown. Program streams leave out the time of some key frames: one
    // is shown as long after it is decoded as the key frames that say both times are, or
    // else as many pictures after as the stream reorders.
    std::int64_t shownAt(const AVPacket* p) {
        if (p->pts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE && (p->flags & AV_PKT_FLAG_KEY))
            keyDelay = p->pts - p->dts;
        if (p->pts != AV_NOPTS_VALUE || p->dts == AV_NOPTS_VALUE)
            return p->pts;
        if (keyDelay >= 0)
            return p->dts + keyDelay;
        const AVStream* st = fmt->streams[stream];
        const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            return p->dts;
        return p->dts + av_rescale_q(st->codecpar->video_delay, av_inv_q(rate), timeBase);
    }

    // Whether the index, where it lists every picture of the stream, says that the next key
    // frame after p is shown after the time: then nothing between needs reading. An index
    // entry's time is a decoding or a presentation time, never after the picture is shown.
    bool nextKeyAfter(const AVPacket* p, std::int64_t targetUs) const {
        const std::int64_t at = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
        if (!completeIndex || at == AV_NOPTS_VALUE)
            return false;
        const AVIndexEntry* next =
            avformat_index_get_entry_from_timestamp(fmt->streams[stream], at + 1, 0);
        return next && presentationUs(next->timestamp) > targetUs + kToleranceUs;
    }

    // How long a packet's picture is shown: its own duration, or else one frame at the rate.
    std::int64_t frameTicks(const AVPacket* p) const {
        if (p->duration > 0)
            return p->duration;
        const AVStream* st = fmt->streams[stream];
        const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        return rate.num > 0 && rate.den > 0 ? av_rescale_q(1, av_inv_q(rate), timeBase) : 0;
    }

    // Whether the file holds the picture shown at targetUs, by the index alone: the movie
    // header lists where every picture lies, and a copy cut short lists some beyond its end.
    bool indexedPictureHeld(std::int64_t targetUs) const {
        if (!completeIndex || fileBytes <= 0)
            return true;
        const AVIndexEntry* entry = avformat_index_get_entry_from_timestamp(
            fmt->streams[stream], av_rescale_q(targetUs + originUs, AV_TIME_BASE_Q, timeBase),
            AVSEEK_FLAG_ANY | AVSEEK_FLAG_BACKWARD);
        return !entry || entry->pos + entry->size <= fileBytes;
    }

    // Whether the last scan showed targetUs past the pictures the file holds: reading ended
    // at the file's end before the time, and the file states a length well beyond where its
    // pictures stop. A pause is not this (the picture after it is read), nor is a time past
    // a whole movie's end (its pictures reach the stated length).
    bool pastReadableData(std::int64_t targetUs) const {
        return scanHitEnd && scanReadToUs >= 0 && statedEndUs > 0 &&
               targetUs > scanReadToUs + kToleranceUs && scanReadToUs < statedEndUs - kCutOffUs;
    }

    enum class Scan { found, late, nothing };

    // Reads from where the demuxer stands to the last key frame shown at or before targetUs,
    // left in `key`. A demuxer may land on a key frame before the one wanted (sparse cues,
    // no index) or after it (timestamp searches): reading on until a packet decodes after
    // the time settles the first, and `late` reports the second.
    Scan scan(std::int64_t targetUs, bool fromStart) {
        av_packet_unref(key.get());
        bool haveKey = false;
        int pictures = 0;
        scanHitEnd = false;
        scanReadToUs = -1;
        for (int reads = 0; reads < kMaxReads && pictures < kMaxPicturePackets; ++reads) {
            if (stopped())
                return Scan::nothing;
            const int ret = av_read_frame(fmt.get(), packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_INVALIDDATA)
                continue;
            if (ret < 0) {
                scanHitEnd = true;
                break;
            }
            if (packet->stream_index != stream) {
                av_packet_unref(packet.get());
                continue;
            }
            ++pictures;
            const std::int64_t shown = shownAt(packet.get());
            const std::int64_t decoded = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            if (shown != AV_NOPTS_VALUE)
                scanReadToUs =
                    std::max(scanReadToUs, presentationUs(shown + frameTicks(packet.get())));
            if (packet->flags & AV_PKT_FLAG_KEY) {
                const bool after =
                    shown != AV_NOPTS_VALUE && presentationUs(shown) > targetUs + kToleranceUs;
                if (after && haveKey)
                    break;
                if (after && !fromStart) {
                    av_packet_unref(packet.get());
                    return Scan::late;
                }
                av_packet_unref(key.get());
                av_packet_move_ref(key.get(), packet.get());
                haveKey = true;
                if (after || nextKeyAfter(key.get(), targetUs))
                    break; // (or the movie's first key frame, for a time before it)
                continue;
            }
            // In decoding order no key frame after this one is shown before the time.
            const bool past =
                decoded != AV_NOPTS_VALUE && presentationUs(decoded) > targetUs + kToleranceUs;
            av_packet_unref(packet.get());
            if (haveKey && past)
                break;
        }
        return haveKey ? Scan::found : Scan::nothing;
    }

    bool seekTo(std::int64_t presentation, bool fromStart) {
        if (!fromStart)
            return av_seek_frame(fmt.get(), stream,
                                 av_rescale_q(presentation + originUs, AV_TIME_BASE_Q, timeBase),
                                 AVSEEK_FLAG_BACKWARD) >= 0;
        // A search by timestamp (transport and program streams) for the first time itself
        // lands after the first picture's start and loses it: aim a second before it, and
        // only then at it (an index lookup refuses a time before its first entry).
        const AVStream* st = fmt->streams[stream];
        const std::int64_t start = st->start_time != AV_NOPTS_VALUE
                                       ? st->start_time
                                       : av_rescale_q(originUs, AV_TIME_BASE_Q, timeBase);
        const std::int64_t second = av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, timeBase);
        if (av_seek_frame(fmt.get(), stream, start - second, AVSEEK_FLAG_BACKWARD) >= 0 ||
            av_seek_frame(fmt.get(), stream, start, AVSEEK_FLAG_BACKWARD) >= 0)
            return true;
        // Nothing to seek by: read from a fresh open.
        open();
        return true;
    }

    // The key packet decoded on its own.
    FramePtr decodeKey() {
        FramePtr frame = makeFrame();
        avcodec_flush_buffers(decoder.get());
        int ret = avcodec_send_packet(decoder.get(), key.get());
        if (ret >= 0) {
            avcodec_send_packet(decoder.get(), nullptr);
            ret = avcodec_receive_frame(decoder.get(), frame.get());
        }
        avcodec_flush_buffers(decoder.get());
        if (ret < 0)
            return nullptr;
        fillColourTags(frame.get(), fmt->streams[stream]->codecpar);
        return frame;
    }

    // The picture as BGRA of width x height (before it is turned upright), in `scaled`.
    bool toBgraScaled(const AVFrame* frame, int width, int height) {
        if (!scaled || scaled->width != width || scaled->height != height) {
            scaled = makeFrame();
            scaled->format = AV_PIX_FMT_BGRA;
            scaled->width = width;
            scaled->height = height;
            if (av_frame_get_buffer(scaled.get(), 0) < 0) {
                scaled.reset();
                return false;
            }
        }
        const auto format = static_cast<AVPixelFormat>(frame->format);
        toBgra.reset(sws_getCachedContext(toBgra.release(), frame->width, frame->height, format,
                                          width, height, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR,
                                          nullptr, nullptr, nullptr));
        if (!toBgra)
            return false;
        const int* matrix =
            swsCoefficients(effectiveMatrix(frame->colorspace, frame->width, frame->height));
        // Refused for RGB sources, which have no matrix to set: they convert as they are.
        sws_setColorspaceDetails(toBgra.get(), matrix, isFullRange(frame->color_range, format),
                                 matrix, 1, 0, 1 << 16, 1 << 16);
        return sws_scale(toBgra.get(), frame->data, frame->linesize, 0, frame->height, scaled->data,
                         scaled->linesize) > 0;
    }

    // An HDR picture in the preview's look at width x height; null when it is not HDR or
    // the look cannot be set up (then it is shown as it comes).
    FramePtr toneMapped(const AVFrame* frame, int width, int height) {
        if (!isHdr(frame) || toneMapRefused)
            return nullptr;
        try {
            FramePtr in = makeFrame();
            checkAv(av_frame_ref(in.get(), frame));
            assumeHdrDefaults(in.get());
            if (!look) {
                // The table is made from the movie's first HDR picture, as the preview's is;
                // BT.709 at every size, as the screen is.
                lookLike = makeFrame();
                checkAv(av_frame_copy_props(lookLike.get(), in.get()));
                lookLike->width = in->width;
                lookLike->height = in->height;
                lookLike->format = in->format;
                look = std::make_unique<LookTable>(lookLike.get(), true);
            }
            if (!toneMap || !toneMap->accepts(in.get()) || toneMapWidth != width ||
                toneMapHeight != height) {
                toneMap = std::make_unique<PictureFilter>(
                    lookFilters(in.get(),
                                "w=" + std::to_string(width) + ":h=" + std::to_string(height),
                                *look, true),
                    in.get(), timeBase);
                toneMapWidth = width;
                toneMapHeight = height;
            }
            toneMap->push(in.get());
            return toneMap->pull();
        } catch (const PlatformError&) {
            toneMapRefused = true;
            toneMap.reset();
            return nullptr;
        }
    }

    std::optional<TimelinePicture> picture(const AVFrame* frame, std::int64_t keyTs) {
        const AVStream* st = fmt->streams[stream];
        AVRational sar = frame->sample_aspect_ratio;
        if (sar.num <= 0 || sar.den <= 0)
            sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio
                                                  : st->codecpar->sample_aspect_ratio;
        double naturalWidth = frame->width;
        if (sar.num > 0 && sar.den > 0)
            naturalWidth *= av_q2d(sar);
        const double naturalHeight = frame->height;
        const double across = orientation.swap ? naturalHeight : naturalWidth;
        const double down = orientation.swap ? naturalWidth : naturalHeight;
        if (!(across > 0) || !(down > 0))
            return std::nullopt;
        const int outHeight = height;
        const int outWidth = static_cast<int>(
            std::clamp(std::lround(outHeight * across / down), 1L, 16L * outHeight));
        const int iw = orientation.swap ? outHeight : outWidth;
        const int ih = orientation.swap ? outWidth : outHeight;

        const AVFrame* source = frame;
        FramePtr mapped = toneMapped(frame, iw, ih);
        if (mapped && mapped->width == iw && mapped->height == ih)
            source = mapped.get();
        if (!toBgraScaled(source, iw, ih))
            return std::nullopt;

        TimelinePicture out;
        // The packet's own time: a decoder decoding one picture has nothing to correct by.
        const std::int64_t ts = keyTs != AV_NOPTS_VALUE ? keyTs : frame->best_effort_timestamp;
        out.seconds = ts != AV_NOPTS_VALUE ? presentationUs(ts) / 1e6 : 0;
        out.width = outWidth;
        out.height = outHeight;
        orient(scaled->data[0], scaled->linesize[0], iw, ih, orientation, out.bgra);
        return out;
    }

    std::optional<TimelinePicture> pictureAt(double seconds) {
        if (reopen)
            open();
        const std::int64_t targetUs = std::llround(std::max(0.0, seconds) * 1e6);
        // Past where a cut-off file's data ends nothing is shown: its last picture is not a
        // pause that lasts to the stated end.
        if (!indexedPictureHeld(targetUs))
            return std::nullopt;
        for (const double back : kStepsBack) {
            const std::int64_t from = targetUs - std::llround(back * 1e6);
            const bool fromStart = from <= 0;
            if (!seekTo(std::max<std::int64_t>(from, 0), fromStart))
                continue;
            const Scan found = scan(targetUs, fromStart);
            if (stopped())
                return std::nullopt;
            // Landed after the time, or after the key frame before it (and read on to no
            // other): from further back.
            if (found != Scan::found && !fromStart)
                continue;
            if (found != Scan::found || pastReadableData(targetUs))
                return std::nullopt;
            const std::int64_t keyTs = shownAt(key.get());
            FramePtr frame = decodeKey();
            if (!frame)
                return std::nullopt;
            return picture(frame.get(), keyTs);
        }
        // Every step back still landed after the time: the movie's first key frame.
        if (!seekTo(0, true) || scan(targetUs, true) != Scan::found || stopped() ||
            pastReadableData(targetUs))
            return std::nullopt;
        const std::int64_t keyTs = shownAt(key.get());
        FramePtr frame = decodeKey();
        return frame ? picture(frame.get(), keyTs) : std::nullopt;
    }
};

TimelinePictures::TimelinePictures(const std::string& path, int height)
    : state_(std::make_unique<State>()) {
    requireRegularFile(path);
    state_->path = path;
    state_->height = std::clamp(height, 1, 4096);
    state_->open();
}

TimelinePictures::~TimelinePictures() = default;

std::optional<TimelinePicture> TimelinePictures::pictureAt(double seconds,
                                                           const std::atomic<bool>& stop) {
    if (stop.load())
        return std::nullopt;
    State& s = *state_;
    s.stop = &stop;
    std::optional<TimelinePicture> out;
    try {
        out = s.pictureAt(seconds);
    } catch (const std::exception&) {
        // A broken stretch, or a reopen that failed: nothing there to show; the next call
        // starts afresh.
        out.reset();
        s.reopen = true;
    }
    if (stop.load()) {
        out.reset();
        s.reopen = true;
    }
    s.stop = nullptr;
    return out;
}

} // namespace trimwell
