#include "Composition.h"

#include "PlatformError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace trimwell {

void CompositionTrack::insertTimeRange(const TimeRange& range, Asset& asset,
                                       const Track& sourceTrack, MediaTime at) {
    if (sourceTrack.mediaType != type_ || sourceTrack.streamIndex < 0)
        throw PlatformError::fromTrimwell("The track is of another kind");
    if (!range.isValid() || range.isEmpty() || !at.isValid())
        throw PlatformError::fromTrimwell("The time range is empty");
    const TimeRange inside = range.intersection(sourceTrack.timeRange);
    if (!inside.isValid() || inside.isEmpty() || inside.start != range.start ||
        inside.duration != range.duration)
        throw PlatformError::fromTrimwell("The time range lies outside the track");
    segments_.push_back({asset.path(), sourceTrack.streamIndex, range, at, sourceTrack});
}

TimeRange CompositionTrack::timeRange() const {
    if (segments_.empty())
        return {MediaTime::zero(), MediaTime::zero()};
    MediaTime end = MediaTime::zero();
    for (const auto& s : segments_) {
        const MediaTime e = s.insertAt + s.sourceRange.duration;
        if (e > end)
            end = e;
    }
    // A track always runs from zero on its composition's timeline.
    return TimeRange::fromStartToEnd(MediaTime::zero(), end);
}

CompositionTrack* Composition::addMutableTrack(MediaType type, int preferredTrackID) {
    int id = preferredTrackID;
    if (id <= 0 || track(id)) {
        id = 1;
        for (const auto& t : tracks_)
            id = std::max(id, t->trackID() + 1);
    }
    tracks_.push_back(std::make_unique<CompositionTrack>(id, type));
    return tracks_.back().get();
}

const CompositionTrack* Composition::track(int trackID) const {
    for (const auto& t : tracks_)
        if (t->trackID() == trackID)
            return t.get();
    return nullptr;
}

} // namespace trimwell
