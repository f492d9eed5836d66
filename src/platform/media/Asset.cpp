#include "Asset.h"

#include "PlatformError.h"
#include "detail/AvPtr.h"
#include "detail/SourceDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
}

namespace trimwell {

void requireRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw PlatformError::fromErrno(errno, path);
    if (S_ISDIR(st.st_mode))
        throw PlatformError::fromErrno(EISDIR, path);
    if (!S_ISREG(st.st_mode))
        throw PlatformError::fromErrno(EINVAL, path);
    if (::access(path.c_str(), R_OK) != 0)
        throw PlatformError::fromErrno(errno, path);
}

Asset::Asset(std::string path) : path_(std::move(path)) {}

MediaTime Asset::loadDuration() {
    return load().duration;
}

std::vector<Track> Asset::loadTracks(MediaType type) {
    std::vector<Track> out;
    for (const Track& t : load().tracks)
        if (t.mediaType == type)
            out.push_back(t);
    return out;
}

// A time in a stream's base as a MediaTime that keeps every tick.
static MediaTime timeIn(std::int64_t value, AVRational tb) {
    if (tb.num <= 0 || tb.den <= 0)
        return MediaTime::invalid();
    if (tb.num == 1)
        return MediaTime::make(value, tb.den);
    return MediaTime::make(av_rescale_q(value, tb, AVRational{1, 90000}), 90000);
}

// The steady rate of a picture stream as an exact frame duration. The base rate is taken
// when the average agrees with it or lies a little below it (the average of a 29.97 fps MP4 is
// often a ratio such as 1920000/64061); a rate within 0.05 % of a broadcast rate is that rate.
static MediaTime exactFrameDuration(const AVStream* st) {
    const AVRational base = st->r_frame_rate, average = st->avg_frame_rate;
    const bool haveBase = base.num > 0 && base.den > 0;
    const bool haveAverage = average.num > 0 && average.den > 0;
    AVRational rate{0, 1};
    // A variable rate keeps its fastest steady rate, so that every picture is shown at
    // least once; an absurd base (a container's tick) does not count.
    if (haveBase && (!haveAverage || std::fabs(av_q2d(base) / av_q2d(average) - 1) < 0.01 ||
                     (av_q2d(base) > av_q2d(average) && av_q2d(base) <= 120 &&
                      av_q2d(base) <= 4 * av_q2d(average))))
        rate = base;
    else if (haveAverage)
        rate = average;
    else
        return MediaTime::invalid();
    static constexpr AVRational kBroadcast[] = {
        {24000, 1001}, {24, 1}, {25, 1},  {30000, 1001},  {30, 1}, {48000, 1001}, {48, 1}, {50, 1},
        {60000, 1001}, {60, 1}, {100, 1}, {120000, 1001}, {120, 1}};
    for (const AVRational& r : kBroadcast)
        if (std::fabs(av_q2d(rate) / av_q2d(r) - 1) < 0.0005)
            return MediaTime::make(r.den, r.num);
    // Another steady rate keeps its own ratio when it is a tidy one (12.5, 15, 90 fps);
    // anything else is an average of a variable rate.
    av_reduce(&rate.num, &rate.den, rate.num, rate.den, 1 << 30);
    if (rate.den > 1001 || rate.num > 240000 || av_q2d(rate) < 1 || av_q2d(rate) > 1200)
        return MediaTime::invalid();
    return MediaTime::make(rate.den, rate.num);
}

static bool isImageCodec(AVCodecID id) {
    switch (id) {
    case AV_CODEC_ID_PNG:
    case AV_CODEC_ID_MJPEG:
    case AV_CODEC_ID_BMP:
    case AV_CODEC_ID_GIF:
    case AV_CODEC_ID_WEBP:
    case AV_CODEC_ID_TIFF:
    case AV_CODEC_ID_JPEG2000:
        return true;
    default:
        return false;
    }
}

// Marks picture streams that hold a single picture (a cover or poster stored as a track)
// by counting packets near the start, where another picture stream or an image codec makes
// one likely: a still has one packet while the movie's other streams have many.
static void markStills(AVFormatContext* fmt, std::vector<Track>& tracks) {
    std::map<int, int> counts;
    int pictures = 0;
    bool images = false;
    for (const Track& t : tracks) {
        counts[t.streamIndex] = 0;
        if (t.mediaType == MediaType::video) {
            ++pictures;
            images = images || isImageCodec(fmt->streams[t.streamIndex]->codecpar->codec_id);
        }
    }
    if (pictures < 2 && !images)
        return;
    auto settled = [&] {
        return std::all_of(tracks.begin(), tracks.end(), [&](const Track& t) {
            return t.mediaType != MediaType::video || counts[t.streamIndex] >= 2;
        });
    };
    PacketPtr packet = makePacket();
    for (int read = 0; read < 400 && !settled(); ++read) {
        if (av_read_frame(fmt, packet.get()) < 0)
            break;
        auto found = counts.find(packet->stream_index);
        if (found != counts.end())
            ++found->second;
        av_packet_unref(packet.get());
    }
    const bool anyMoving =
        std::any_of(counts.begin(), counts.end(), [](const auto& c) { return c.second >= 2; });
    if (!anyMoving)
        return;
    for (Track& t : tracks)
        if (t.mediaType == MediaType::video && counts[t.streamIndex] <= 1)
            t.isStill = true;
}

static AffineTransform transformOf(const AVStream* st) {
    const std::int32_t* m = displayMatrixOf(st);
    if (!m)
        return AffineTransform::identity();
    // Rows (a b u) (c d v) (tx ty w) in 16.16 fixed point: the same layout and sense as a
    // movie header's track matrix, so a phone's portrait movie reads as a quarter turn.
    const double k = 1.0 / 65536.0;
    AffineTransform t{m[0] * k, m[1] * k, m[3] * k, m[4] * k, m[6] * k, m[7] * k};
    if (!std::isfinite(t.a) || (t.a == 0 && t.b == 0) || (t.c == 0 && t.d == 0))
        return AffineTransform::identity();
    return t;
}

const Asset::Info& Asset::load() {
    std::lock_guard guard(lock_);
    if (info_)
        return *info_;
    if (error_)
        std::rethrow_exception(error_);
    try {
        requireRegularFile(path_);
        FormatContextPtr fmt = openInput(path_, Probe::quick);
        Info info;
        const std::int64_t origin = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
        MediaTime longest = MediaTime::make(0, 1000000);
        int videoStreams = 0, audioStreams = 0;
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            const AVStream* st = fmt->streams[i];
            const AVCodecParameters* par = st->codecpar;
            const int ordinal = par->codec_type == AVMEDIA_TYPE_VIDEO   ? ++videoStreams
                                : par->codec_type == AVMEDIA_TYPE_AUDIO ? ++audioStreams
                                                                        : 0;
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                continue;
            Track t;
            t.streamIndex = static_cast<int>(i);
            t.kindOrdinal = ordinal;
            t.isDefault = (st->disposition & AV_DISPOSITION_DEFAULT) != 0;
            FormatDescription fd;
            fd.codecName = avcodec_get_name(par->codec_id);
            if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
                // A size no picture buffer can hold is a damaged header, not a picture: a
                // cut would only fail later, after the movie was offered as ready.
                if (par->width <= 0 || par->height <= 0 ||
                    av_image_check_size(par->width, par->height, 0, nullptr) < 0)
                    continue;
                t.mediaType = MediaType::video;
                fd.mediaType = MediaType::video;
                double w = par->width;
                AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio
                                                                 : par->sample_aspect_ratio;
                if (sar.num > 0 && sar.den > 0 && av_cmp_q(sar, AVRational{1, 1}) != 0)
                    w = std::round(w * av_q2d(sar));
                t.naturalSize = {w, static_cast<double>(par->height)};
                t.preferredTransform = transformOf(st);
                AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0
                                      ? st->avg_frame_rate
                                      : st->r_frame_rate;
                t.nominalFrameRate =
                    rate.num > 0 && rate.den > 0 ? static_cast<float>(av_q2d(rate)) : 0.0f;
                t.frameDuration = exactFrameDuration(st);
            } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
                t.mediaType = MediaType::audio;
                fd.mediaType = MediaType::audio;
                fd.audio = AudioStreamBasicDescription{
                    static_cast<double>(par->sample_rate),
                    static_cast<std::uint32_t>(std::max(0, par->ch_layout.nb_channels))};
            } else {
                continue;
            }
            t.formatDescriptions.push_back(fd);
            const AVRational tb = st->time_base;
            std::int64_t start = st->start_time != AV_NOPTS_VALUE
                                     ? st->start_time
                                     : av_rescale_q(origin, AV_TIME_BASE_Q, tb);
            std::int64_t length = st->duration;
            if (length == AV_NOPTS_VALUE || length <= 0) {
                length = fmt->duration != AV_NOPTS_VALUE
                             ? av_rescale_q(fmt->duration, AV_TIME_BASE_Q, tb) -
                                   (start - av_rescale_q(origin, AV_TIME_BASE_Q, tb))
                             : 0;
            }
            const MediaTime startTime = timeIn(start, tb) - MediaTime::make(origin, 1000000);
            t.timeRange = {startTime, timeIn(std::max<std::int64_t>(0, length), tb)};
            if (t.timeRange.end() > longest)
                longest = t.timeRange.end();
            info.tracks.push_back(std::move(t));
        }
        // A container that yields no streams and no length at all (its index zeroed or
        // missing) was not read: saying it has no length would blame the movie, not the file.
        if (fmt->nb_streams == 0 && fmt->duration == AV_NOPTS_VALUE)
            throw PlatformError::fromAv(AVERROR_INVALIDDATA, path_);
        if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
            info.duration = MediaTime::make(fmt->duration, 1000000);
        else
            info.duration = longest;
        markStills(fmt.get(), info.tracks);
        // What a player plays first goes first; the rest keep the file's order.
        std::stable_sort(info.tracks.begin(), info.tracks.end(),
                         [](const Track& a, const Track& b) {
                             const auto rank = [](const Track& t) {
                                 return (t.isStill ? 2 : 0) + (t.isDefault ? 0 : 1);
                             };
                             return rank(a) < rank(b);
                         });
        info_ = std::move(info);
        return *info_;
    } catch (...) {
        error_ = std::current_exception();
        throw;
    }
}

// The first picture at or after wanted as the decoder gives it out, for a stream whose
// packets do not all say when they are shown: a program stream's MPEG-2 (a packet that
// starts inside another's payload carries only its decoding time) or an AVI with B-frames
// (an AVI stores decoding times alone). The decoder puts its pictures in showing order and
// times them as the reader that makes the cut does, from the key frame before wanted.
// Decodes at most kMostPictures pictures; invalid past that, or when none follows.
static MediaTime firstDecodedPictureAtOrAfter(const std::string& path, int streamIndex,
                                              double wanted, double tolerance,
                                              MediaTime originTime) {
    constexpr int kMostPictures = 1200;
    SourceDecoder decoder(path, streamIndex, DecoderThreads::perCore);
    // Pictures before the time that no other picture is built on need not be decoded.
    decoder.skipUnreferencedBefore(wanted - tolerance);
    const AVRational tb = decoder.stream()->time_base;
    FramePtr frame = decoder.seekTo(wanted);
    for (int n = 0; frame && n < kMostPictures; ++n) {
        if (decoder.secondsOf(frame.get()) >= wanted - tolerance)
            return timeIn(frame->pts, tb) - originTime;
        frame = decoder.next();
    }
    return MediaTime::invalid();
}

MediaTime Asset::firstPictureTimeAtOrAfter(const Track& track, MediaTime time) const {
    constexpr double kTolerance = 0.001;
    try {
        const double wanted = time.seconds();
        const double trackStart = track.timeRange.start.seconds();
        PacketPtr packet = makePacket();
        // Demuxers that seek by timestamp (transport streams) may land after the time asked
        // for, or between a picture and those decoded before it: read from a key frame that
        // comes before the time, stepping further back as needed.
        for (double back : {0.0, 1.0, 3.0, 10.0}) {
            const bool fromStart = wanted - back <= trackStart + kTolerance;
            // A fresh context for each try: reading from the start needs no seek at all.
            FormatContextPtr fmt = openInput(path_, Probe::quick);
            if (track.streamIndex < 0 || track.streamIndex >= static_cast<int>(fmt->nb_streams))
                return MediaTime::invalid();
            for (unsigned i = 0; i < fmt->nb_streams; ++i)
                fmt->streams[i]->discard =
                    static_cast<int>(i) == track.streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
            const AVStream* st = fmt->streams[track.streamIndex];
            const AVRational tb = st->time_base;
            const std::int64_t origin = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
            const MediaTime originTime = MediaTime::make(origin, 1000000);
            if (!fromStart) {
                const MediaTime target = MediaTime::fromSeconds(wanted - back, 90000) + originTime;
                const std::int64_t ts =
                    av_rescale_q(target.value, AVRational{1, target.timescale}, tb);
                if (av_seek_frame(fmt.get(), track.streamIndex, ts, AVSEEK_FLAG_BACKWARD) < 0)
                    continue;
            }
            std::optional<MediaTime> best;
            bool keyed = false, late = false;
            // Packets come in decoding order, and none is shown before it is decoded: once
            // one decodes after the best time so far, no later packet is shown before it.
            for (int read = 0; read < 5000; ++read) {
                if (av_read_frame(fmt.get(), packet.get()) < 0)
                    break;
                const AVPacket p = *packet;
                av_packet_unref(packet.get());
                if (p.stream_index != track.streamIndex)
                    continue;
                if (!keyed && !(p.flags & AV_PKT_FLAG_KEY))
                    continue;
                // A picture whose packet does not say when it is shown may be the one
                // wanted: only decoding tells.
                if (p.pts == AV_NOPTS_VALUE)
                    return firstDecodedPictureAtOrAfter(path_, track.streamIndex, wanted,
                                                        kTolerance, originTime);
                const MediaTime shown = timeIn(p.pts, tb) - originTime;
                if (!keyed && !fromStart && shown.seconds() > wanted + kTolerance) {
                    late = true;
                    break;
                }
                keyed = true;
                if (shown.seconds() >= wanted - kTolerance && (!best || shown < *best))
                    best = shown;
                const std::int64_t decoded = p.dts != AV_NOPTS_VALUE ? p.dts : p.pts;
                if (best && (timeIn(decoded, tb) - originTime) > *best)
                    break;
            }
            // No key frame before the time: step back further.
            if ((keyed && !late) || fromStart)
                return best ? *best : MediaTime::invalid();
        }
        return MediaTime::invalid();
    } catch (const std::exception&) {
        return MediaTime::invalid();
    }
}

} // namespace trimwell
