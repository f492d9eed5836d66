#pragma once
// Asset inspection: what a movie file holds, read once with libavformat.
// Every time is on the movie's presentation timeline, whose zero is the container's
// start time: the same timeline the player shows.
#include "Geometry.h"
#include "MediaTime.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace trimwell {

enum class MediaType { video, audio };

// What the platform says of a sound stream's samples.
struct AudioStreamBasicDescription {
    double sampleRate{0};
    std::uint32_t channelsPerFrame{0};
};

struct FormatDescription {
    MediaType mediaType{MediaType::video};
    std::string codecName;
    // Present for sound descriptions only.
    std::optional<AudioStreamBasicDescription> audio;
};

struct Track {
    MediaType mediaType{MediaType::video};
    int streamIndex{-1};
    // 1-based place among the file's streams of this kind, cover pictures included: the
    // number a player selects the track by.
    int kindOrdinal{0};
    bool isDefault{false};
    // A picture stream of one picture (a cover or poster stored as a track).
    bool isStill{false};
    // Display size: coded size with the pixel aspect ratio applied.
    Size naturalSize{};
    AffineTransform preferredTransform{};
    float nominalFrameRate{0};
    // The exact time between pictures (1001/30000 s at 29.97) when the stream has a steady
    // rate; invalid when its rate is variable or unknown.
    MediaTime frameDuration{};
    TimeRange timeRange{};
    std::vector<FormatDescription> formatDescriptions;
};

// Cheap to create; the file is read on the first load, on the calling thread.
// Loads throw PlatformError when the file is missing, not a movie, or unreadable.
// Thread-safe: loads may come from any thread.
class Asset {
public:
    explicit Asset(std::string path);

    const std::string& path() const { return path_; }
    MediaTime loadDuration();
    // The tracks of one kind, the one a player plays first: a default-flagged moving
    // picture (or sound) track, else the first moving one; stills come last.
    std::vector<Track> loadTracks(MediaType type);
    // The presentation time of the first picture of track at or after time (within a
    // millisecond before it, as a reader counts "at"), read from the packets' timestamps.
    // Invalid when the file does not say, or none follows. Blocking; throws nothing.
    MediaTime firstPictureTimeAtOrAfter(const Track& track, MediaTime time) const;

private:
    struct Info {
        MediaTime duration{};
        std::vector<Track> tracks;
    };
    const Info& load();

    std::string path_;
    std::mutex lock_;          // guards info_ and error_
    std::optional<Info> info_; // guarded by lock_
    std::exception_ptr error_; // guarded by lock_
};

// Throws PlatformError (domain "POSIX") unless path names a readable regular file,
// so that folders, pipes and broken links never reach the demuxer.
void requireRegularFile(const std::string& path);

} // namespace trimwell
