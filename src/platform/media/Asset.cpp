#include "Asset.h"

#include "AvPtr.h"
#include "PlatformError.h"

#include <cerrno>
#include <cmath>
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

MediaTime Asset::loadDuration() { return load().duration; }

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

static AffineTransform transformOf(const AVStream* st) {
    size_t size = 0;
    const auto* m = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!m || size < 9 * sizeof(std::int32_t))
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
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            const AVStream* st = fmt->streams[i];
            const AVCodecParameters* par = st->codecpar;
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                continue;
            Track t;
            t.streamIndex = static_cast<int>(i);
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
            const MediaTime startTime =
                timeIn(start, tb) - MediaTime::make(origin, 1000000);
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
        info_ = std::move(info);
        return *info_;
    } catch (...) {
        error_ = std::current_exception();
        throw;
    }
}

} // namespace trimwell
