#include "detail/PictureTimes.h"

#include "platform/media/PlatformError.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace trimwell {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A time this close to a picture's counts as that picture's, as in the player's exact seek
// and the reader: marks are kept on a 1/600 s grid.
constexpr double kTolerance = 0.001;
// How far either side of the asked time the first read reaches; doubled until it suffices.
constexpr double kFirstReach = 2.0;
// Packets fed to a decoder before it must have shown a picture, when learning its delay.
constexpr int kDelayPackets = 32;

} // namespace

PictureTimes::PictureTimes(const std::string& path) : path_(path) {
    open();
    if (format_->start_time != AV_NOPTS_VALUE)
        origin_ = format_->start_time / double(AV_TIME_BASE);
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0)
        end_ = format_->duration / double(AV_TIME_BASE);
    countsPackets_ = std::strcmp(format_->iformat->name, "avi") == 0;
    tick_ = av_q2d(format_->streams[stream_]->time_base);
    if (countsPackets_)
        reorderDelay_ = measureReorderDelay();
}

int PictureTimes::measureReorderDelay() {
    // A decoder gives an AVI picture the decode time of the packet that brought it out, the
    // decoder's delay in pictures after its own packet's (MPEG-4 Part 2 learns the delay from
    // the stream's header, H.264 from its parameter sets).
    unread_ = false;
    try {
        CodecContextPtr decoder = openDecoder(format_->streams[stream_], DecoderThreads::single);
        PacketPtr packet = makePacket();
        FramePtr frame = makeFrame();
        if (!packet || !frame)
            return 0;
        for (int fed = 0; fed < kDelayPackets;) {
            const int err = av_read_frame(format_.get(), packet.get());
            if (err < 0)
                break;
            const bool ours = packet->stream_index == stream_;
            const int sent = ours ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
            av_packet_unref(packet.get());
            if (!ours)
                continue;
            ++fed;
            if (sent < 0 && sent != AVERROR(EAGAIN))
                continue;
            if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0)
                return std::max(0, decoder->has_b_frames);
        }
    } catch (const PlatformError&) {
    }
    return 0;
}

void PictureTimes::open() {
    format_ = openInput(path_, Probe::quick);
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0)
        throw PlatformError::fromAv(stream_, "The movie has no picture");
    // Only the picture stream's packets are wanted; the demuxer skips the others cheaply.
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (static_cast<int>(i) != stream_)
            format_->streams[i]->discard = AVDISCARD_ALL;
    // A program stream times only the packet where a pack's data starts, so a DVD leaves
    // small pictures untimed; the demuxer works their times out from the decoding times of
    // the pictures after them, as the player shows them. (AVI is timed from decode times.)
    if (std::strcmp(format_->iformat->name, "avi") != 0)
        format_->flags |= AVFMT_FLAG_GENPTS;
    unread_ = true;
}

void PictureTimes::readWindow(double from, double to) {
    AVFormatContext* fmt = format_.get();
    const AVRational base = fmt->streams[stream_]->time_base;
    const auto secondsOf = [&](std::int64_t ts) { return ts * av_q2d(base) - origin_; };
    PacketPtr packet = makePacket();
    if (!packet)
        throw PlatformError::fromAv(AVERROR(ENOMEM));

    // A coarse seek (MPEG streams) can land after the key frame asked for: start earlier
    // until the first picture read lies at or before from, or the read starts at the start.
    for (double start = from;; start -= std::max(1.0, to - from)) {
        const bool fromStart = start <= 0;
        if (fromStart) {
            // No seek reaches the first picture in every container: a timestamp seek to the
            // start of an MPEG stream can land past it, and a byte seek leaves Matroska's
            // demuxer reading on from where it last stopped, seconds in. A fresh open can.
            if (!unread_)
                open();
            fmt = format_.get();
        } else {
            // The last key frame at or before start.
            const std::int64_t at = std::llround((start + origin_) * AV_TIME_BASE);
            if (avformat_seek_file(fmt, -1, std::numeric_limits<std::int64_t>::min(), at, at, 0) <
                0)
                continue;
        }
        unread_ = false;
        times_.clear();
        // From the start, the first packets' times are those the decoder holds back.
        int heldBack = fromStart ? reorderDelay_ : 0;
        std::int64_t lastDts = AV_NOPTS_VALUE;
        atStart_ = fromStart;
        atEnd_ = false;
        for (;;) {
            const int err = av_read_frame(fmt, packet.get());
            if (err == AVERROR_EOF) {
                atEnd_ = true;
                // The pictures still held at the end follow a picture apart.
                if (countsPackets_ && lastDts != AV_NOPTS_VALUE)
                    for (int i = 1; i <= reorderDelay_; ++i)
                        times_.push_back(secondsOf(lastDts + i));
                break;
            }
            if (err < 0)
                throw PlatformError::fromAv(err, "The movie's pictures could not be read");
            const std::int64_t pts = packet->pts;
            const std::int64_t dts = packet->dts;
            const int index = packet->stream_index;
            // Pictures an edit list leaves out are decoded but never shown.
            const bool shown = !(packet->flags & AV_PKT_FLAG_DISCARD);
            av_packet_unref(packet.get());
            if (index != stream_)
                continue;
            if (countsPackets_) {
                if (dts != AV_NOPTS_VALUE) {
                    lastDts = dts;
                    if (heldBack > 0)
                        --heldBack;
                    else
                        times_.push_back(secondsOf(dts));
                }
            } else if (pts != AV_NOPTS_VALUE && shown) {
                times_.push_back(secondsOf(pts));
            }
            // Decode times only grow and a picture is shown no earlier than it is decoded,
            // so past to by decode time nothing shown before to can follow.
            if (dts != AV_NOPTS_VALUE ? secondsOf(dts) > to
                                      : pts != AV_NOPTS_VALUE && secondsOf(pts) > to + 1)
                break;
        }
        std::sort(times_.begin(), times_.end());
        times_.erase(std::unique(times_.begin(), times_.end(),
                                 [](double a, double b) { return b - a < 1e-6; }),
                     times_.end());
        if (fromStart || times_.empty() || times_.front() <= from + kTolerance)
            break;
    }
    windowFrom_ = from;
    windowTo_ = to;
}

double PictureTimes::step(double seconds, int steps) {
    if (!std::isfinite(seconds))
        return kNaN;
    const double reachAll = std::max(end_, seconds) + 1;
    for (double reach = kFirstReach;; reach *= 2) {
        const bool covered = windowTo_ >= windowFrom_ &&
                             (atStart_ || seconds - kTolerance >= windowFrom_) &&
                             (atEnd_ || seconds <= windowTo_);
        if (covered) {
            const auto shown = std::lower_bound(times_.begin(), times_.end(), seconds - kTolerance);
            const std::ptrdiff_t index = (shown - times_.begin()) + steps;
            if (index < 0 && atStart_)
                return kNaN;
            if (index >= static_cast<std::ptrdiff_t>(times_.size()) && atEnd_)
                return kNaN;
            if (index >= 0 && index < static_cast<std::ptrdiff_t>(times_.size())) {
                const double t = times_[index];
                if ((atStart_ || t >= windowFrom_) && (atEnd_ || t <= windowTo_))
                    return t;
            }
        }
        if (reach > 2 * reachAll)
            return kNaN;
        try {
            readWindow(seconds - reach, seconds + reach);
        } catch (const PlatformError&) {
            windowTo_ = windowFrom_ - 1;
            return kNaN;
        }
    }
}

} // namespace trimwell
