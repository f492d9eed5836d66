#pragma once
// The bookkeeping two sample pumps share: counts, the first failure, who has closed.
#include "SaveControls.h"
#include "platform/media/PlatformError.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace trimwell {

struct PumpBook {
    std::mutex lock;
    std::int64_t videoSamples{0};       // guarded by lock
    std::int64_t audioSamples{0};       // guarded by lock
    std::optional<std::string> failure; // guarded by lock: the first failure's text
    bool cancelled{false};              // guarded by lock
    bool videoClosed{false};            // guarded by lock
    bool audioClosed{false};            // guarded by lock
    double furthestRead{0};             // guarded by lock: seconds into the cut, either side
    double lastReport{-1};              // guarded by lock

    // Keeps the first failure; later ones change nothing. Never throws: short of memory
    // for the text, the failure is still kept, as "The save stopped."
    void recordFailure(const std::string& text) {
        std::lock_guard guard(lock);
        if (failure)
            return;
        try {
            failure = text;
        } catch (...) {
            failure.emplace();
        }
    }
    // The exception being handled, as a failure of what was being done. In a catch block only.
    void recordCurrentFailure(const char* what) {
        try {
            recordFailure(explain(PlatformError::fromCurrentException(what)));
        } catch (...) {
            recordFailure({});
        }
    }
    // True exactly once per side: the caller then leaves the pumps' group.
    bool close(bool video) {
        std::lock_guard guard(lock);
        bool& closed = video ? videoClosed : audioClosed;
        if (closed)
            return false;
        closed = true;
        return true;
    }
};

} // namespace trimwell
