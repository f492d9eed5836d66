#pragma once
// What a timeline strip draws of a movie: small pictures from its key frames and the
// loudness of its sound, read straight from the file on the caller's thread (a worker's),
// each on its own demuxer and decoder so the player and a save are never disturbed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trimwell {

// One timeline picture: upright, at the movie's display shape, SDR (HDR pictures get the
// look the preview shows), as opaque BGRA bytes, rows packed (stride = width * 4).
struct TimelinePicture {
    double seconds{0}; // the key frame's own time on the movie's presentation timeline
    int width{0};
    int height{0};
    std::vector<std::uint8_t> bgra;
};

// Reads key-frame pictures of one movie. Not thread-safe: one reader per worker.
class TimelinePictures {
public:
    // Opens path for pictures height pixels tall. Throws PlatformError when the file cannot
    // be read or holds no moving picture.
    TimelinePictures(const std::string& path, int height);
    ~TimelinePictures();
    TimelinePictures(const TimelinePictures&) = delete;
    TimelinePictures& operator=(const TimelinePictures&) = delete;

    // The key frame shown at seconds (the last one at or before it; the first one when
    // seconds lies before every key frame). Empty when nothing there can be read (a broken
    // stretch) or seconds lies past where a cut-off file's data ends, within the length it
    // states; throws nothing. Returns early, empty, once stop is raised.
    std::optional<TimelinePicture> pictureAt(double seconds, const std::atomic<bool>& stop);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The loudness of a movie's sound: one peak (0 to 1, the largest absolute sample over all
// channels) for each secondsPerPeak of the presentation timeline, the first for the
// stretch starting at 0.
struct TimelinePeaks {
    double firstSeconds{0};
    double secondsPerPeak{0};
    std::vector<float> peaks;
};

// Reads the whole sound track of path from start to end, handing each run of new peaks to
// chunk as it is made (in order, on the caller's thread), and checking stop between
// packets. Returns false when the movie has no sound; reads as far as it can in a broken
// file and returns true. Throws PlatformError only when the file cannot be opened.
bool readTimelinePeaks(const std::string& path, double secondsPerPeak,
                       const std::function<void(TimelinePeaks)>& chunk,
                       const std::atomic<bool>& stop);

} // namespace trimwell
