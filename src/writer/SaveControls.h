#pragma once
// The small boxes a save shares between threads, and the clip writer's one error type.
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace trimwell {

class PlatformError;

// Set by the user's Stop, read by the pumps before every sample. Never cleared. Once the
// save puts its finished file in place, a step that cannot be stopped halfway, a stop is
// refused: one lock decides which came first, so a stop that was accepted always ends the
// save cancelled and one that was refused always ends it saved (or failed).
class StopFlag {
public:
    // False, and nothing changes, when the save is already putting its file in place.
    bool requestStop() {
        std::lock_guard guard(lock_);
        if (finishing_)
            return false;
        stopped_ = true;
        return true;
    }
    bool isStopped() const {
        std::lock_guard guard(lock_);
        return stopped_;
    }
    // The save's last step begins: false when a stop came first.
    bool beginFinishing() {
        std::lock_guard guard(lock_);
        if (stopped_)
            return false;
        finishing_ = true;
        return true;
    }
    bool isFinishing() const {
        std::lock_guard guard(lock_);
        return finishing_;
    }

private:
    mutable std::mutex lock_;
    bool stopped_{false};   // guarded by lock_
    bool finishing_{false}; // guarded by lock_
};

// The written fraction of a running save, polled by the window's timer.
class FractionBox {
public:
    void store(double value) {
        std::lock_guard guard(lock_);
        value_ = value;
    }
    double value() const {
        std::lock_guard guard(lock_);
        return value_;
    }

private:
    mutable std::mutex lock_;
    double value_{0}; // guarded by lock_
};

// A plain boxed count, used from one serial queue at a time.
struct Counter {
    std::int64_t value{0};
};

class ClipError : public std::exception {
public:
    enum class Kind { failed, noPicture, noLength, sameFile, cancelled, folderRefused };

    static ClipError failed(std::string message) {
        return ClipError(Kind::failed, std::move(message));
    }
    static ClipError noPicture() { return ClipError(Kind::noPicture, "That file has no picture."); }
    static ClipError noLength() { return ClipError(Kind::noLength, "That movie has no length."); }
    static ClipError sameFile() {
        return ClipError(Kind::sameFile, "Choose a different file than the one you opened.");
    }
    static ClipError cancelled() { return ClipError(Kind::cancelled, "The save was cancelled."); }
    // The destination's folder takes no new file: nothing was written. sentence names the
    // folder and what is wrong with it.
    static ClipError folderRefused(std::string sentence) {
        return ClipError(Kind::folderRefused, std::move(sentence));
    }

    Kind kind() const { return kind_; }
    const std::string& description() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    ClipError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

// One line for a platform failure: "description (domain code)", or "The save stopped."
// when the reader or writer failed without saying why.
std::string explain(const std::optional<PlatformError>& error);

// The textual description of any caught error: a ClipError's text, a platform error's
// description, or what() of anything else.
std::string describe(const std::exception_ptr& error);

} // namespace trimwell
