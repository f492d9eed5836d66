#include "MovieCheck.h"

#include "platform/media/Asset.h"

#include <cmath>
#include <exception>

namespace trimwell {

MovieCheck checkMovie(const std::string& path) {
    MovieCheck check;
    double length = 0;
    bool hasPicture = false;
    try {
        Asset asset(path);
        length = asset.loadDuration().seconds();
        const std::vector<Track> pictures = asset.loadTracks(MediaType::video);
        const std::vector<Track> sounds = asset.loadTracks(MediaType::audio);
        hasPicture = !pictures.empty();
        check.hasAudio = !sounds.empty();
        check.pictureTrack = hasPicture ? pictures.front().kindOrdinal : 0;
        check.soundTrack = check.hasAudio ? sounds.front().kindOrdinal : 0;
    } catch (const std::exception&) {
        check.refusal = "That movie could not be read.";
        return check;
    }
    if (!std::isfinite(length) || length <= 0)
        check.refusal = "That movie has no length.";
    else if (!hasPicture)
        check.refusal = "That file has no picture.";
    else if (length < kShortestCut)
        check.refusal = "That movie is too short to cut.";
    check.duration = length;
    return check;
}

} // namespace trimwell
