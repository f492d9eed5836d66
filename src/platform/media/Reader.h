#pragma once
// Reading a composition: each output delivers its samples on the composition's timeline.
#include "Buffers.h"
#include "Composition.h"
#include "MediaSettings.h"
#include "PlatformError.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace trimwell {

class ReaderCore;

class ReaderOutput {
public:
    virtual ~ReaderOutput() = default;
    // The next sample, or nothing at the end (or once the reader failed or was cancelled).
    // Called from one thread at a time.
    virtual std::optional<SampleBuffer> copyNextSampleBuffer() = 0;

protected:
    friend class Reader;
    virtual bool fits(const Composition& composition) const = 0;
    virtual void start(std::shared_ptr<ReaderCore> core, const Composition& composition) = 0;
    virtual void interrupt() = 0;
};

// Pictures of a video composition: each source picture of the segment once, in order, at
// its own time on the composition's timeline and lasting until the next one's (the first
// from time zero, the last until the composition ends), carried into the render size by
// the layer transform. Their bytes read as BGRA when locked.
class VideoCompositionOutput : public ReaderOutput {
public:
    VideoCompositionOutput(std::vector<int> trackIDs, PixelBufferAttributes settings);
    ~VideoCompositionOutput() override;
    void setVideoComposition(std::shared_ptr<const VideoComposition> composition);
    std::optional<SampleBuffer> copyNextSampleBuffer() override;

    struct State;

protected:
    bool fits(const Composition& composition) const override;
    void start(std::shared_ptr<ReaderCore> core, const Composition& composition) override;
    void interrupt() override;

private:
    std::vector<int> trackIDs_;
    PixelBufferAttributes settings_{};
    std::shared_ptr<const VideoComposition> videoComposition_;
    std::unique_ptr<State> state_;
};

// The sound of one composition track as interleaved signed 16-bit PCM at the rate and
// channel count asked for, trimmed to the sample and placed on the composition's timeline.
class TrackOutput : public ReaderOutput {
public:
    TrackOutput(int trackID, AudioSettings settings);
    ~TrackOutput() override;
    std::optional<SampleBuffer> copyNextSampleBuffer() override;

    struct State;

protected:
    bool fits(const Composition& composition) const override;
    void start(std::shared_ptr<ReaderCore> core, const Composition& composition) override;
    void interrupt() override;

private:
    int trackID_{0};
    AudioSettings settings_{};
    std::unique_ptr<State> state_;
};

class Reader {
public:
    enum class Status { unknown = 0, reading = 1, completed = 2, failed = 3, cancelled = 4 };

    explicit Reader(std::shared_ptr<const Composition> composition);
    ~Reader();
    bool canAddOutput(const std::shared_ptr<ReaderOutput>& output) const;
    void addOutput(std::shared_ptr<ReaderOutput> output);
    // Opens every output's source; false (status failed, error set) when one cannot be read.
    bool startReading();
    // Any thread: outputs deliver nothing more.
    void cancelReading();
    Status status() const;
    std::optional<PlatformError> error() const;

private:
    std::shared_ptr<const Composition> composition_;
    std::vector<std::shared_ptr<ReaderOutput>> outputs_;
    std::shared_ptr<ReaderCore> core_;
};

class ReaderCore {
public:
    Reader::Status status() const {
        std::lock_guard guard(lock_);
        return status_;
    }
    bool isReading() const { return status() == Reader::Status::reading; }
    void setReading() {
        std::lock_guard guard(lock_);
        if (status_ == Reader::Status::unknown)
            status_ = Reader::Status::reading;
    }
    // First failure wins; a cancelled reader stays cancelled. Never throws.
    void fail(const PlatformError& e) {
        std::lock_guard guard(lock_);
        if (status_ == Reader::Status::reading || status_ == Reader::Status::unknown) {
            status_ = Reader::Status::failed;
            try {
                error_ = e;
            } catch (...) { // out of memory: the status alone still ends the reading
            }
        }
    }
    // A failure whose reason could not even be made (memory ran out).
    void failWithoutReason() {
        std::lock_guard guard(lock_);
        if (status_ == Reader::Status::reading || status_ == Reader::Status::unknown)
            status_ = Reader::Status::failed;
    }
    bool cancel() {
        std::lock_guard guard(lock_);
        if (status_ == Reader::Status::reading || status_ == Reader::Status::unknown) {
            status_ = Reader::Status::cancelled;
            return true;
        }
        return false;
    }
    void outputEnded() {
        std::lock_guard guard(lock_);
        if (++ended_ >= outputs_ && status_ == Reader::Status::reading)
            status_ = Reader::Status::completed;
    }
    void setOutputCount(int n) {
        std::lock_guard guard(lock_);
        outputs_ = n;
    }
    std::optional<PlatformError> error() const {
        std::lock_guard guard(lock_);
        return error_;
    }

private:
    mutable std::mutex lock_;
    Reader::Status status_{Reader::Status::unknown}; // guarded by lock_
    std::optional<PlatformError> error_;             // guarded by lock_
    int outputs_{0};                                 // guarded by lock_
    int ended_{0};                                   // guarded by lock_
};

} // namespace trimwell
