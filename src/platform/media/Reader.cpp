#include "Reader.h"

#include "detail/AvPtr.h"
#include "detail/FrameTransform.h"
#include "detail/PictureFilter.h"
#include "detail/SourceDecoder.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <thread>

namespace trimwell {

namespace {
// How far before a composition moment a source frame may start and still count as "at"
// it: marks are kept in 1/600 s ticks, so a frame boundary can be off by up to a tick.
constexpr double kFrameTolerance = 0.001;

// Sound is read from this long before a cut's start. After a seek in an MPEG program
// stream, the first packet can be the tail of a frame begun before the seek point, and the
// demuxer gives it the time of the frame after it: every frame's time is then one frame
// late until the container's next time arrives, which MPEG streams carry at least every
// 0.7 s. Decoders whose frames overlap also settle within the lead.
constexpr double kSoundPreroll = 1.0;

const CompositionSegment* onlySegment(const Composition& composition, int trackID, MediaType type) {
    const CompositionTrack* track = composition.track(trackID);
    if (!track || track->mediaType() != type || track->segments().size() != 1)
        return nullptr;
    return &track->segments().front();
}
} // namespace

struct VideoCompositionOutput::State {
    std::shared_ptr<ReaderCore> core;
    std::unique_ptr<SourceDecoder> decoder;
    std::unique_ptr<FrameTransform> transform;
    double sourceStart{0}; // seconds, source timeline: the segment's pictures
    double sourceEnd{0};
    double cutStart{0}; // seconds, source timeline: the composition's time zero
    // Output times are ticks of this clock. A source picture no further from its stream's
    // steady grid (frame duration from the stream's first picture) than the source's own
    // clock rounds (half a tick of its time base: 0.5 ms in WebM, 0.83 ms on a 1/600 s MP4
    // clock, 5.6 µs on 1/90000) is put on the grid exactly, so a container's rounding does
    // not make a steady rate wander; every other picture, a phone's jittered ones above all,
    // keeps its own time.
    std::int32_t timescale{90000};
    double frameSeconds{0};  // the grid's step
    double gridTolerance{0}; // seconds: how far from the grid the source's clock may round
    std::int64_t frameTicks{0};
    double gridStart{0}; // seconds, source timeline
    std::int64_t gridStartTicks{0};
    std::int64_t originTicks{0}; // the composition's time zero on the same clock
    std::int64_t totalTicks{0};  // how long the output runs
    bool started{false};
    bool ended{false};
    // The picture decoded but not yet given out: it is given out once the next one (or
    // the end) says how long it lasts.
    FramePtr held;
    std::int64_t heldTicks{0}; // its output time
    double lastTime{0};        // the last picture read, and how long its packet said it lasts
    double lastDuration{0};
    // Made at the first picture flagged interlaced; it passes progressive ones through.
    std::unique_ptr<PictureFilter> deinterlacer;
    bool deinterlacerFlushed{false};

    // Decoding runs one picture ahead on a thread of its own, so decoding and encoding
    // use both cores. Fields above belong to that thread once it runs.
    std::thread producer;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::optional<SampleBuffer>> ready; // guarded by lock; nothing marks the end
    bool stopping{false};                          // guarded by lock
    bool producerFailed{false}; // guarded by lock: nothing more comes, not even the end mark

    ~State() {
        {
            std::lock_guard guard(lock);
            stopping = true;
        }
        wake.notify_all();
        if (decoder)
            decoder->interrupt();
        if (producer.joinable())
            producer.join();
    }
};

namespace {
constexpr std::size_t kPicturesAhead = 1;

// A source time as output clock ticks (before the composition's origin is taken off).
std::int64_t ticksOf(const VideoCompositionOutput::State& s, double seconds) {
    if (s.frameTicks > 0 && s.frameSeconds > 0) {
        const double steps = std::round((seconds - s.gridStart) / s.frameSeconds);
        if (std::fabs(seconds - (s.gridStart + steps * s.frameSeconds)) <= s.gridTolerance &&
            std::fabs(steps) < 1e12)
            return s.gridStartTicks + static_cast<std::int64_t>(steps) * s.frameTicks;
    }
    return std::llround(seconds * s.timescale);
}
} // namespace

static std::optional<SampleBuffer> producePicture(VideoCompositionOutput::State* s);

// Nothing thrown here may leave the thread: it fails the reading, and the output ends.
static void runProducer(VideoCompositionOutput::State* s) {
    auto failed = [s] {
        try {
            s->core->fail(PlatformError::fromCurrentException("Reading the picture"));
        } catch (...) {
            s->core->failWithoutReason();
        }
    };
    for (;;) {
        std::optional<SampleBuffer> sample;
        try {
            sample = producePicture(s);
        } catch (...) {
            failed();
        }
        bool end = !sample;
        {
            std::unique_lock guard(s->lock);
            s->wake.wait(guard, [s] { return s->stopping || s->ready.size() < kPicturesAhead; });
            if (s->stopping)
                return;
            try {
                s->ready.push_back(std::move(sample));
            } catch (...) {
                failed();
                s->producerFailed = true;
                end = true;
            }
        }
        s->wake.notify_all();
        if (end)
            return;
    }
}

VideoCompositionOutput::VideoCompositionOutput(std::vector<int> trackIDs,
                                               PixelBufferAttributes settings)
    : trackIDs_(std::move(trackIDs)), settings_(settings) {}

void VideoCompositionOutput::setVideoComposition(std::shared_ptr<const VideoComposition> c) {
    videoComposition_ = std::move(c);
}

bool VideoCompositionOutput::fits(const Composition& composition) const {
    if (settings_.pixelFormat != kPixelFormat32BGRA || trackIDs_.size() != 1 || !videoComposition_)
        return false;
    const VideoComposition& vc = *videoComposition_;
    if (vc.renderSize.width < 2 || vc.renderSize.height < 2 || !vc.frameDuration.isValid() ||
        vc.frameDuration.value <= 0 || vc.instructions.size() != 1 ||
        vc.instructions[0].layerInstructions.size() != 1)
        return false;
    return onlySegment(composition, trackIDs_[0], MediaType::video) != nullptr;
}

void VideoCompositionOutput::start(std::shared_ptr<ReaderCore> core,
                                   const Composition& composition) {
    const CompositionSegment& seg = *onlySegment(composition, trackIDs_[0], MediaType::video);
    const VideoComposition& vc = *videoComposition_;
    auto state = std::make_unique<State>();
    state->core = std::move(core);
    state->decoder = std::make_unique<SourceDecoder>(seg.sourcePath, seg.sourceStreamIndex,
                                                     DecoderThreads::perCore);
    const int w = static_cast<int>(vc.renderSize.width), h = static_cast<int>(vc.renderSize.height);
    // The layer transform works on the natural frame; the decoder's picture is the coded one,
    // which the scaler stretches to the natural frame on the way.
    state->transform =
        std::make_unique<FrameTransform>(vc.instructions[0].layerInstructions[0].transform, w, h);
    state->sourceStart = seg.sourceRange.start.seconds();
    state->sourceEnd = seg.sourceRange.end().seconds();
    state->cutStart = state->sourceStart - seg.insertAt.seconds();
    state->timescale = pictureTimescale(vc.frameDuration);
    state->frameSeconds = vc.frameDuration.seconds();
    state->frameTicks = vc.frameDuration.convertedTo(state->timescale).value;
    // A clock as coarse as the pictures themselves (1/25 s in some AVI files) cannot say
    // more than which picture; a quarter of one keeps two pictures off one grid point.
    // The nanosecond covers the arithmetic of times held as seconds.
    state->gridTolerance =
        std::min(0.5 * av_q2d(state->decoder->stream()->time_base), 0.25 * state->frameSeconds) +
        1e-9;
    state->gridStart = state->decoder->firstPictureSeconds();
    state->gridStartTicks = std::llround(state->gridStart * state->timescale);
    state->originTicks = ticksOf(*state, state->cutStart);
    // The end is a source moment like a picture's start, and is put on the grid by the same
    // rule: a cut that ends on a picture boundary gives its last picture a whole frame.
    const MediaTime length = vc.instructions[0].timeRange.duration;
    state->totalTicks =
        length.isValid() ? ticksOf(*state, state->cutStart + length.seconds()) - state->originTicks
                         : 0;
    state_ = std::move(state);
}

void VideoCompositionOutput::interrupt() {
    if (state_ && state_->decoder)
        state_->decoder->interrupt();
}

VideoCompositionOutput::~VideoCompositionOutput() = default;

// One picture for each decoded one, with woven fields made whole: bwdif rebuilds each
// field's missing lines from its neighbours in time and space.
constexpr const char* kDeinterlace = "bwdif=mode=send_frame:parity=auto:deint=interlaced";

// The decoder's next picture (from the key frame before seconds when seeking), deinterlaced
// where it is interlaced; null at the end.
static FramePtr nextPicture(VideoCompositionOutput::State* s, bool seeking, double seconds) {
    for (;;) {
        if (s->deinterlacer)
            if (FramePtr out = s->deinterlacer->pull())
                return out;
        if (s->deinterlacerFlushed)
            return nullptr;
        FramePtr frame = seeking ? s->decoder->seekTo(seconds) : s->decoder->next();
        seeking = false;
        if (!frame) {
            if (!s->deinterlacer)
                return nullptr;
            s->deinterlacer->push(nullptr);
            s->deinterlacerFlushed = true;
            continue;
        }
        if (s->deinterlacer && !s->deinterlacer->accepts(frame.get())) {
            // A new picture size mid-stream: what the old chain holds back is let go.
            s->deinterlacer.reset();
        }
        if (!s->deinterlacer && !frame->interlaced_frame)
            return frame;
        if (!s->deinterlacer)
            s->deinterlacer = std::make_unique<PictureFilter>(kDeinterlace, frame.get(),
                                                              s->decoder->stream()->time_base);
        s->deinterlacer->push(frame.get());
    }
}

// Makes the next picture; nothing at the end. Runs on the output's decoding thread.
// Every source picture of the segment is given out once, in order, at its own time
// measured from the composition's origin, and lasts until the next one's time; the first
// stands from time zero and the last until the composition ends.
static std::optional<SampleBuffer> producePicture(VideoCompositionOutput::State* s) {
    auto finish = [s]() -> std::optional<SampleBuffer> {
        s->held.reset();
        return std::nullopt;
    };
    if (!s->core->isReading())
        return finish();
    const std::int64_t endTicks = s->totalTicks;
    const std::int64_t toleranceTicks = std::llround(kFrameTolerance * s->timescale);
    FramePtr next;
    std::int64_t nextTicks = 0;
    try {
        if (!s->started) {
            s->started = true;
            // Nothing shown before the first picture is ever given out.
            s->decoder->skipUnreferencedBefore(s->sourceStart - kFrameTolerance);
            // The first picture at or after the segment's start, as the player shows it
            // there, even when the next picture comes only after the segment; past the last
            // picture, the last one.
            FramePtr first = nextPicture(s, true, s->sourceStart);
            FramePtr before;
            while (first && s->decoder->secondsOf(first.get()) < s->sourceStart - kFrameTolerance) {
                before = std::move(first);
                first = nextPicture(s, false, 0);
            }
            if (!first)
                first = std::move(before);
            if (first) {
                s->heldTicks = 0;
                s->lastTime = s->decoder->secondsOf(first.get());
                s->lastDuration = s->decoder->durationOf(first.get());
                s->held = std::move(first);
            }
        }
        if (!s->held)
            return finish();
        // The next picture that comes later than the held one; one at the same time or
        // earlier (a damaged or doubled timestamp) cannot be shown and is passed over.
        for (;;) {
            next = nextPicture(s, false, 0);
            if (!next)
                break;
            const double nextTime = s->decoder->secondsOf(next.get());
            s->lastTime = nextTime;
            s->lastDuration = s->decoder->durationOf(next.get());
            if (nextTime >= s->sourceEnd - kFrameTolerance) {
                next.reset();
                break;
            }
            nextTicks = ticksOf(*s, nextTime) - s->originTicks;
            if (nextTicks >= endTicks - toleranceTicks) {
                next.reset();
                break;
            }
            if (nextTicks > s->heldTicks)
                break;
        }
        // A source that runs dry long before the cut's end was cut short under us
        // (a truncated or shrinking file): that is a failure, not a frozen picture. Its
        // last picture may rightly last long (a screen recording that did not change).
        if (!next && s->lastTime < s->sourceEnd - kFrameTolerance) {
            const double cutLength = s->sourceEnd - s->sourceStart;
            const double covered = s->lastTime + s->lastDuration;
            if (s->sourceEnd - covered > std::max(1.0, 0.25 * cutLength))
                throw PlatformError::fromTrimwell("The movie ended before the cut did");
        }
    } catch (const PlatformError& e) {
        s->core->fail(e);
        return finish();
    }
    FramePtr picture = s->transform->apply(s->held.get());
    if (!picture) {
        s->core->fail(
            PlatformError::fromAv(AVERROR(ENOMEM), "The picture could not be transformed"));
        return finish();
    }
    const std::int64_t until = next ? nextTicks : std::max(endTicks, s->heldTicks + 1);
    SampleBuffer sample;
    sample.mediaType = MediaType::video;
    sample.presentationTime = MediaTime::make(s->heldTicks, s->timescale);
    sample.duration = MediaTime::make(until - s->heldTicks, s->timescale);
    sample.pixels = PixelBuffer::adopt(picture.release());
    s->held = std::move(next);
    s->heldTicks = nextTicks;
    return sample;
}

std::optional<SampleBuffer> VideoCompositionOutput::copyNextSampleBuffer() {
    State* s = state_.get();
    if (!s || s->ended)
        return std::nullopt;
    std::unique_lock guard(s->lock);
    if (!s->producer.joinable())
        s->producer = std::thread([s] { runProducer(s); });
    s->wake.wait(guard, [s] { return !s->ready.empty() || s->producerFailed; });
    std::optional<SampleBuffer> sample;
    if (!s->ready.empty()) {
        sample = std::move(s->ready.front());
        s->ready.pop_front();
    }
    guard.unlock();
    s->wake.notify_all();
    if (!sample) {
        s->ended = true;
        s->core->outputEnded();
    }
    return sample;
}

struct TrackOutput::State {
    std::shared_ptr<ReaderCore> core;
    std::unique_ptr<SourceDecoder> decoder;
    SwrPtr swr;
    AVChannelLayout swrIn{};
    int swrInRate{0};
    int swrInFormat{-1};
    int rate{48000};
    int channels{2};
    std::shared_ptr<const AudioFormatDescription> format;
    double sourceStartSeconds{0};
    std::int64_t startPos{0}; // first sample of the cut, source timeline, output rate
    std::int64_t endPos{0};   // sample after the last
    std::int64_t insertPos{0};
    std::int64_t nextPos{0};
    bool started{false};
    bool positioned{false};
    bool flushed{false};
    bool ended{false};
};

TrackOutput::TrackOutput(int trackID, AudioSettings settings)
    : trackID_(trackID), settings_(settings) {}

TrackOutput::~TrackOutput() {
    if (state_)
        av_channel_layout_uninit(&state_->swrIn);
}

bool TrackOutput::fits(const Composition& composition) const {
    const AudioSettings& s = settings_;
    if (s.formatID != kAudioFormatLinearPCM || s.bitDepth != 16 || s.isFloat || s.isBigEndian ||
        s.isNonInterleaved || s.channels < 1 || s.channels > 8 || !(s.sampleRate >= 1000) ||
        !(s.sampleRate <= 384000))
        return false;
    return onlySegment(composition, trackID_, MediaType::audio) != nullptr;
}

void TrackOutput::start(std::shared_ptr<ReaderCore> core, const Composition& composition) {
    const CompositionSegment& seg = *onlySegment(composition, trackID_, MediaType::audio);
    auto state = std::make_unique<State>();
    state->core = std::move(core);
    state->decoder = std::make_unique<SourceDecoder>(seg.sourcePath, seg.sourceStreamIndex,
                                                     DecoderThreads::single);
    state->rate = static_cast<int>(std::lround(settings_.sampleRate));
    state->channels = settings_.channels;
    AudioStreamDescription d;
    d.sampleRate = state->rate;
    d.formatID = kAudioFormatLinearPCM;
    d.formatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    d.bytesPerFrame = d.bytesPerPacket = 2 * state->channels;
    d.framesPerPacket = 1;
    d.channelsPerFrame = state->channels;
    d.bitsPerChannel = 16;
    state->format = audioFormatDescriptionCreate(d);
    state->sourceStartSeconds = seg.sourceRange.start.seconds();
    state->startPos = seg.sourceRange.start.convertedTo(state->rate).value;
    state->endPos = seg.sourceRange.end().convertedTo(state->rate).value;
    state->insertPos = seg.insertAt.convertedTo(state->rate).value;
    state_ = std::move(state);
}

void TrackOutput::interrupt() {
    if (state_ && state_->decoder)
        state_->decoder->interrupt();
}

std::optional<SampleBuffer> TrackOutput::copyNextSampleBuffer() {
    State* s = state_.get();
    if (!s || s->ended)
        return std::nullopt;
    auto finish = [s]() -> std::optional<SampleBuffer> {
        s->ended = true;
        s->core->outputEnded();
        return std::nullopt;
    };
    try {
        for (;;) {
            if (!s->core->isReading() || s->nextPos >= s->endPos)
                return finish();
            FramePtr frame;
            if (!s->started) {
                s->started = true;
                frame = s->decoder->seekTo(s->sourceStartSeconds - kSoundPreroll);
            } else if (!s->flushed) {
                frame = s->decoder->next();
            }
            if (!frame && (s->flushed || !s->swr))
                return finish();
            if (frame) {
                const int format = frame->format;
                AVChannelLayout inLayout{};
                if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
                    frame->ch_layout.nb_channels <= 0)
                    av_channel_layout_default(&inLayout, std::max(1, frame->ch_layout.nb_channels));
                else if (const int ret = av_channel_layout_copy(&inLayout, &frame->ch_layout);
                         ret < 0)
                    throw PlatformError::fromAv(ret);
                if (!s->swr || format != s->swrInFormat || frame->sample_rate != s->swrInRate ||
                    av_channel_layout_compare(&inLayout, &s->swrIn) != 0) {
                    AVChannelLayout outLayout{};
                    av_channel_layout_default(&outLayout, s->channels);
                    SwrContext* raw = nullptr;
                    int ret = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_S16, s->rate,
                                                  &inLayout, static_cast<AVSampleFormat>(format),
                                                  frame->sample_rate, 0, nullptr);
                    av_channel_layout_uninit(&outLayout);
                    s->swr.reset(raw);
                    if (ret < 0 || (ret = swr_init(s->swr.get())) < 0) {
                        av_channel_layout_uninit(&inLayout);
                        throw PlatformError::fromAv(ret);
                    }
                    av_channel_layout_uninit(&s->swrIn);
                    s->swrIn = inLayout;
                    s->swrInFormat = format;
                    s->swrInRate = frame->sample_rate;
                } else {
                    av_channel_layout_uninit(&inLayout);
                }
                // Until the cut's first sample, every frame is placed by its own time: the
                // times just after a seek may be a frame off until the container's next one
                // comes. From there on, follow the source's clock only when it jumps;
                // otherwise count samples, so rounding never opens gaps between buffers.
                // What the resampler still holds comes out first, ahead of this frame.
                const auto here = static_cast<std::int64_t>(
                                      std::llround(s->decoder->secondsOf(frame.get()) * s->rate)) -
                                  swr_get_delay(s->swr.get(), s->rate);
                if (!s->positioned || s->nextPos <= s->startPos ||
                    std::llabs(here - s->nextPos) > s->rate / 10)
                    s->nextPos = here;
                s->positioned = true;
            } else {
                s->flushed = true;
            }
            const int inSamples = frame ? frame->nb_samples : 0;
            const int capacity = swr_get_out_samples(s->swr.get(), inSamples);
            if (capacity <= 0) {
                if (!frame)
                    return finish();
                continue;
            }
            std::shared_ptr<BlockBuffer> block =
                blockBufferCreate(static_cast<std::size_t>(capacity) * 2 * s->channels);
            std::uint8_t* out = block->bytes.data();
            const int produced = swr_convert(
                s->swr.get(), &out, capacity,
                frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
                inSamples);
            if (produced < 0)
                throw PlatformError::fromAv(produced);
            const std::int64_t from = s->nextPos, to = s->nextPos + produced;
            s->nextPos = to;
            const std::int64_t keepFrom = std::max(from, s->startPos);
            const std::int64_t keepTo = std::min(to, s->endPos);
            if (keepTo <= keepFrom)
                continue;
            const std::size_t frameBytes = 2 * static_cast<std::size_t>(s->channels);
            if (keepFrom > from)
                block->bytes.erase(block->bytes.begin(),
                                   block->bytes.begin() +
                                       static_cast<std::ptrdiff_t>((keepFrom - from) * frameBytes));
            block->bytes.resize(static_cast<std::size_t>(keepTo - keepFrom) * frameBytes);
            return sampleBufferCreateForAudio(
                std::move(block), s->format, keepTo - keepFrom, MediaTime::make(1, s->rate),
                MediaTime::make(s->insertPos + (keepFrom - s->startPos), s->rate), frameBytes);
        }
    } catch (const PlatformError& e) {
        s->core->fail(e);
        return finish();
    }
}

Reader::Reader(std::shared_ptr<const Composition> composition)
    : composition_(std::move(composition)), core_(std::make_shared<ReaderCore>()) {
    if (!composition_)
        throw PlatformError::fromTrimwell("No composition to read");
}

Reader::~Reader() {
    cancelReading();
}

bool Reader::canAddOutput(const std::shared_ptr<ReaderOutput>& output) const {
    if (!output || core_->status() != Status::unknown)
        return false;
    if (std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end())
        return false;
    return output->fits(*composition_);
}

void Reader::addOutput(std::shared_ptr<ReaderOutput> output) {
    if (canAddOutput(output))
        outputs_.push_back(std::move(output));
}

bool Reader::startReading() {
    if (core_->status() != Status::unknown)
        return false;
    if (outputs_.empty()) {
        core_->fail(PlatformError::fromTrimwell("Nothing to read"));
        return false;
    }
    try {
        for (const auto& output : outputs_)
            output->start(core_, *composition_);
    } catch (const PlatformError& e) {
        core_->fail(e);
        return false;
    }
    core_->setOutputCount(static_cast<int>(outputs_.size()));
    core_->setReading();
    return true;
}

void Reader::cancelReading() {
    if (core_->cancel())
        for (const auto& output : outputs_)
            output->interrupt();
}

Reader::Status Reader::status() const {
    return core_->status();
}

std::optional<PlatformError> Reader::error() const {
    return core_->error();
}

} // namespace trimwell
