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
        hasPicture = !asset.loadTracks(MediaType::video).empty();
        check.hasAudio = !asset.loadTracks(MediaType::audio).empty();
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
