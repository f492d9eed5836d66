#include "detail/SourceDecoder.h"

#include "PlatformError.h"
#include "detail/Colour.h"

#include <cmath>

namespace trimwell {

namespace {
// Garbage in the middle of a file is skipped packet by packet; this many failures in a
// row mean the file is beyond reading.
constexpr int kMaxBadPacketsInARow = 500;
} // namespace

SourceDecoder::SourceDecoder(const std::string& path, int streamIndex, DecoderThreads threads)
    : path_(path), streamIndex_(streamIndex), threads_(threads), packet_(makePacket()) {
    open();
}

int SourceDecoder::interruptCallback(void* opaque) {
    return static_cast<SourceDecoder*>(opaque)->interrupted_.load() ? 1 : 0;
}

void SourceDecoder::open() {
    decoder_.reset();
    fmt_.reset();
    // The decoder learns the rest from the stream itself; a full probe would decode
    // pictures only to throw them away.
    fmt_ = openInput(path_, Probe::quick, {&SourceDecoder::interruptCallback, this});
    if (streamIndex_ < 0 || streamIndex_ >= static_cast<int>(fmt_->nb_streams))
        throw PlatformError::fromTrimwell("The file has no stream " + std::to_string(streamIndex_));
    for (unsigned i = 0; i < fmt_->nb_streams; ++i)
        fmt_->streams[i]->discard =
            static_cast<int>(i) == streamIndex_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    decoder_ = openDecoder(fmt_->streams[streamIndex_], threads_);
    origin_ = fmt_->start_time != AV_NOPTS_VALUE ? fmt_->start_time / 1e6 : 0.0;
    draining_ = false;
    lastTimestamp_ = AV_NOPTS_VALUE;
}

void SourceDecoder::fillColourTags(AVFrame* frame) const {
    const AVCodecParameters* par = stream()->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO)
        trimwell::fillColourTags(frame, par);
}

double SourceDecoder::secondsOf(const AVFrame* frame) const {
    return frame->pts * av_q2d(stream()->time_base) - origin_;
}

double SourceDecoder::durationOf(const AVFrame* frame) const {
    return frame->pkt_duration > 0 ? frame->pkt_duration * av_q2d(stream()->time_base) : 0;
}

double SourceDecoder::firstPictureSeconds() const {
    const AVStream* st = stream();
    return st->start_time != AV_NOPTS_VALUE ? st->start_time * av_q2d(st->time_base) - origin_ : 0;
}

FramePtr SourceDecoder::next() {
    FramePtr frame = makeFrame();
    int badInARow = 0;
    for (;;) {
        int ret = avcodec_receive_frame(decoder_.get(), frame.get());
        if (ret == 0) {
            std::int64_t ts = frame->best_effort_timestamp;
            if (ts == AV_NOPTS_VALUE)
                ts = lastTimestamp_ == AV_NOPTS_VALUE ? 0 : lastTimestamp_ + lastDuration_;
            if (lastTimestamp_ != AV_NOPTS_VALUE && ts > lastTimestamp_)
                lastDuration_ = ts - lastTimestamp_;
            lastTimestamp_ = ts;
            frame->pts = ts;
            fillColourTags(frame.get());
            return frame;
        }
        if (ret == AVERROR_EOF)
            return nullptr;
        if (ret != AVERROR(EAGAIN)) {
            // A frame that fails to decode is skipped; the next one may well be fine.
            if (++badInARow > kMaxBadPacketsInARow)
                throw PlatformError::fromAv(ret);
            if (draining_)
                return nullptr;
        }
        if (draining_)
            return nullptr;
        ret = av_read_frame(fmt_.get(), packet_.get());
        if (interrupted_)
            throw PlatformError::fromAv(AVERROR_EXIT);
        if (ret == AVERROR_EOF ||
            (ret < 0 && fmt_->pb && avio_feof(fmt_->pb) && ret != AVERROR(EIO))) {
            draining_ = true;
            // A refused flush shows as the next receive's end or error.
            avcodec_send_packet(decoder_.get(), nullptr);
            continue;
        }
        if (ret == AVERROR(EAGAIN))
            continue;
        if (ret == AVERROR_INVALIDDATA) {
            if (++badInARow > kMaxBadPacketsInARow)
                throw PlatformError::fromAv(ret);
            continue;
        }
        if (ret < 0)
            throw PlatformError::fromAv(ret);
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        // Decided packet by packet: in decode order an early unreferenced picture may follow
        // a later picture that is needed.
        const bool early = packet_->pts != AV_NOPTS_VALUE &&
                           packet_->pts * av_q2d(stream()->time_base) - origin_ < skipBefore_;
        decoder_->skip_frame = early ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        ret = avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (ret < 0 && ret != AVERROR(EAGAIN)) {
            if (++badInARow > kMaxBadPacketsInARow)
                throw PlatformError::fromAv(ret);
        } else {
            badInARow = 0;
        }
    }
}

FramePtr SourceDecoder::seekTo(double seconds) {
    const AVStream* st = stream();
    const double firstTime = firstPictureSeconds();
    // Some demuxers (program streams above all) land after the time asked for: step back
    // further until the first frame comes before it, and in the end read from the start.
    const double stepsBack[] = {0, 1, 3, 10};
    if (seconds > firstTime + 0.001) {
        for (double back : stepsBack) {
            const double target = seconds - back;
            if (target <= firstTime)
                break;
            const std::int64_t ts =
                static_cast<std::int64_t>(std::floor((target + origin_) / av_q2d(st->time_base)));
            if (av_seek_frame(fmt_.get(), streamIndex_, ts, AVSEEK_FLAG_BACKWARD) < 0)
                break;
            avcodec_flush_buffers(decoder_.get());
            draining_ = false;
            lastTimestamp_ = AV_NOPTS_VALUE;
            FramePtr first = next();
            if (first && secondsOf(first.get()) <= seconds + 0.001)
                return first;
        }
        open();
    }
    return next();
}

} // namespace trimwell
