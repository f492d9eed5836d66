#pragma once
// Plain descriptions of a cut: stretches of source tracks placed on a new timeline that
// starts at zero, and how its pictures are framed. The reader carries them out.
#include "Asset.h"
#include "Geometry.h"
#include "MediaTime.h"

#include <memory>
#include <string>
#include <vector>

namespace trimwell {

struct CompositionSegment {
    std::string sourcePath;
    int sourceStreamIndex{-1};
    TimeRange sourceRange{}; // on the source's presentation timeline
    MediaTime insertAt{};    // on the composition's timeline
    Track sourceTrack{};
};

class CompositionTrack {
public:
    CompositionTrack(int trackID, MediaType type) : trackID_(trackID), type_(type) {}
    int trackID() const { return trackID_; }
    MediaType mediaType() const { return type_; }
    // Places range of sourceTrack (of asset) at time on this track. Throws PlatformError
    // when the range is invalid, empty, outside the source track, or of another kind.
    void insertTimeRange(const TimeRange& range, Asset& asset, const Track& sourceTrack,
                         MediaTime at);
    // From the earliest placed start to the latest placed end; empty with nothing placed.
    TimeRange timeRange() const;
    const std::vector<CompositionSegment>& segments() const { return segments_; }

private:
    int trackID_{0};
    MediaType type_{MediaType::video};
    std::vector<CompositionSegment> segments_;
};

class Composition {
public:
    // A preferred identifier of 0 lets the composition number the track itself.
    CompositionTrack* addMutableTrack(MediaType type, int preferredTrackID = 0);
    const CompositionTrack* track(int trackID) const;
    const std::vector<std::unique_ptr<CompositionTrack>>& tracks() const { return tracks_; }

private:
    std::vector<std::unique_ptr<CompositionTrack>> tracks_;
};

struct LayerInstruction {
    int trackID{0};
    AffineTransform transform{};
    MediaTime at{MediaTime::zero()};
};

struct VideoCompositionInstruction {
    TimeRange timeRange{};
    std::vector<LayerInstruction> layerInstructions;
};

struct VideoComposition {
    Size renderSize{};
    MediaTime frameDuration{};
    std::vector<VideoCompositionInstruction> instructions;
};

} // namespace trimwell
