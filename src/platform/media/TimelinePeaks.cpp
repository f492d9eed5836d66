#include "Timeline.h"

#include "Asset.h"
#include "PlatformError.h"
#include "detail/AvPtr.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

namespace trimwell {

namespace {

// New peaks go to the caller at least this often while reading, and after this much sound,
// so a waveform grows as it is read however fast the file comes.
constexpr auto kChunkInterval = std::chrono::milliseconds(250);
constexpr double kChunkSeconds = 30;
// Garbage in the middle of a file is skipped packet by packet; this many failures in a row
// end the reading with what was read.
constexpr int kMaxBadPacketsInARow = 500;

template <typename Sample> float magnitude(Sample s);
template <> float magnitude(std::uint8_t s) {
    return static_cast<float>(std::abs(static_cast<int>(s) - 128)) / 128.0f;
}
template <> float magnitude(std::int16_t s) {
    return static_cast<float>(std::abs(static_cast<int>(s))) / 32768.0f;
}
template <> float magnitude(std::int32_t s) {
    return static_cast<float>(std::fabs(static_cast<double>(s)) / 2147483648.0);
}
template <> float magnitude(std::int64_t s) {
    return static_cast<float>(std::fabs(static_cast<double>(s)) / 9223372036854775808.0);
}
template <> float magnitude(float s) {
    return std::fabs(s);
}
template <> float magnitude(double s) {
    return static_cast<float>(std::fabs(s));
}

// The largest magnitude of samples [from, to) over every channel.
template <typename Sample>
float peakOf(const AVFrame* frame, int channels, bool planar, int from, int to) {
    float peak = 0;
    if (planar) {
        for (int c = 0; c < channels; ++c) {
            const auto* data = reinterpret_cast<const Sample*>(frame->extended_data[c]);
            for (int i = from; i < to; ++i)
                peak = std::max(peak, magnitude(data[i]));
        }
    } else {
        const auto* data = reinterpret_cast<const Sample*>(frame->extended_data[0]);
        for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(from) * channels,
                            end = static_cast<std::ptrdiff_t>(to) * channels;
             i < end; ++i)
            peak = std::max(peak, magnitude(data[i]));
    }
    return peak;
}

float peakOf(const AVFrame* frame, int from, int to) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = std::max(1, frame->ch_layout.nb_channels);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        return peakOf<std::uint8_t>(frame, channels, planar, from, to);
    case AV_SAMPLE_FMT_S16:
        return peakOf<std::int16_t>(frame, channels, planar, from, to);
    case AV_SAMPLE_FMT_S32:
        return peakOf<std::int32_t>(frame, channels, planar, from, to);
    case AV_SAMPLE_FMT_S64:
        return peakOf<std::int64_t>(frame, channels, planar, from, to);
    case AV_SAMPLE_FMT_FLT:
        return std::min(1.0f, peakOf<float>(frame, channels, planar, from, to));
    case AV_SAMPLE_FMT_DBL:
        return std::min(1.0f, peakOf<double>(frame, channels, planar, from, to));
    default:
        return 0;
    }
}

// Peaks of the presentation timeline, kept from the first one not yet handed over.
class PeakBook {
public:
    PeakBook(double secondsPerPeak, std::int64_t lastPeak,
             const std::function<void(TimelinePeaks)>& chunk)
        : secondsPerPeak_(secondsPerPeak), lastPeak_(lastPeak), chunk_(chunk) {}

    // One decoded frame whose first sample is shown at `start` seconds.
    void add(const AVFrame* frame, double start) {
        const int rate = frame->sample_rate;
        if (rate <= 0 || frame->nb_samples <= 0)
            return;
        const double end = start + static_cast<double>(frame->nb_samples) / rate;
        std::int64_t peak = static_cast<std::int64_t>(std::floor(start / secondsPerPeak_));
        for (; peak <= lastPeak_ && peak * secondsPerPeak_ < end; ++peak) {
            // The samples of this frame that fall in the peak's stretch.
            const int from = std::max(
                0, static_cast<int>(std::ceil((peak * secondsPerPeak_ - start) * rate - 1e-6)));
            const int to = std::min(
                frame->nb_samples,
                static_cast<int>(std::ceil(((peak + 1) * secondsPerPeak_ - start) * rate - 1e-6)));
            if (peak < first_ || from >= to)
                continue; // already handed over, or before the start
            const auto at = static_cast<std::size_t>(peak - first_);
            if (pending_.size() <= at)
                pending_.resize(at + 1, 0.0f); // a gap in the sound stays silent
            pending_[at] = std::max(pending_[at], peakOf(frame, from, to));
        }
        // Frames come in order: the peaks before this frame's own are complete.
        complete_ =
            std::max(complete_, static_cast<std::int64_t>(std::floor(start / secondsPerPeak_)));
        const auto now = std::chrono::steady_clock::now();
        if (now - lastChunk_ >= kChunkInterval ||
            (complete_ - first_) * secondsPerPeak_ >= kChunkSeconds)
            hand(complete_);
    }

    // Hands over the peaks before `upTo`.
    void hand(std::int64_t upTo) {
        lastChunk_ = std::chrono::steady_clock::now();
        const std::int64_t count =
            std::min<std::int64_t>(upTo - first_, static_cast<std::int64_t>(pending_.size()));
        if (count <= 0)
            return;
        TimelinePeaks out;
        out.firstSeconds = static_cast<double>(first_) * secondsPerPeak_;
        out.secondsPerPeak = secondsPerPeak_;
        out.peaks.assign(pending_.begin(), pending_.begin() + count);
        pending_.erase(pending_.begin(), pending_.begin() + count);
        first_ += count;
        chunk_(std::move(out));
    }

    void finish() { hand(first_ + static_cast<std::int64_t>(pending_.size())); }

private:
    double secondsPerPeak_;
    std::int64_t lastPeak_; // peaks past the movie's end (a damaged time) are not kept
    const std::function<void(TimelinePeaks)>& chunk_;
    std::int64_t first_{0};    // the peak pending_ starts at
    std::int64_t complete_{0}; // peaks before it have all their samples
    std::vector<float> pending_;
    std::chrono::steady_clock::time_point lastChunk_{std::chrono::steady_clock::now()};
};

int interrupted(void* opaque) {
    return static_cast<const std::atomic<bool>*>(opaque)->load() ? 1 : 0;
}

} // namespace

bool readTimelinePeaks(const std::string& path, double secondsPerPeak,
                       const std::function<void(TimelinePeaks)>& chunk,
                       const std::atomic<bool>& stop) {
    requireRegularFile(path);
    secondsPerPeak = std::isfinite(secondsPerPeak) ? std::max(secondsPerPeak, 0.001) : 0.01;
    FormatContextPtr fmt =
        openInput(path, Probe::quick, {&interrupted, const_cast<std::atomic<bool>*>(&stop)});
    const int index = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0)
        return false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        fmt->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVStream* st = fmt->streams[index];
    CodecContextPtr decoder;
    try {
        decoder = openDecoder(st, DecoderThreads::single);
    } catch (const PlatformError&) {
        return false; // sound nobody can decode draws as none
    }
    const double origin = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time / 1e6 : 0.0;
    const double timeBase = av_q2d(st->time_base);
    // A damaged time far past the movie's end would otherwise ask for hours of silence.
    const double length = fmt->duration > 0 ? fmt->duration / 1e6 * 1.25 + 60 : 48 * 3600.0;
    PeakBook book(secondsPerPeak, static_cast<std::int64_t>(length / secondsPerPeak), chunk);

    PacketPtr packet = makePacket();
    FramePtr frame = makeFrame();
    double next = 0; // where a frame without a time goes: after the one before
    auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            const std::int64_t ts = frame->best_effort_timestamp;
            const double start = ts != AV_NOPTS_VALUE ? ts * timeBase - origin : next;
            if (frame->sample_rate > 0)
                next = start + static_cast<double>(frame->nb_samples) / frame->sample_rate;
            book.add(frame.get(), start);
            av_frame_unref(frame.get());
        }
    };
    int badInARow = 0;
    while (!stop.load()) {
        const int ret = av_read_frame(fmt.get(), packet.get());
        if (ret == AVERROR(EAGAIN))
            continue;
        if (ret < 0) {
            if (ret != AVERROR_EOF && !avio_feof(fmt->pb) && ++badInARow <= kMaxBadPacketsInARow)
                continue;
            break;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            if (++badInARow > kMaxBadPacketsInARow)
                break;
        } else {
            badInARow = 0;
        }
        drain();
    }
    if (stop.load())
        return true;
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    book.finish();
    return true;
}

} // namespace trimwell
