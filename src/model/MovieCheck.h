#pragma once
// The checks a movie passes before it can be cut, shared by the window's model and the
// command-line cutter so both refuse a movie with the same words. No Qt here.
#include "writer/SavePolicy.h"

#include <optional>
#include <string>

namespace trimwell {

struct MovieCheck {
    // Empty when the movie can be cut; otherwise the status sentence that refuses it.
    std::optional<std::string> refusal;
    double duration{0};
    bool hasAudio{false};
    // The tracks a save cuts, as places among the movie's tracks of their kind (from 1;
    // 0 when there is none), for the player to play the same ones.
    int pictureTrack{0};
    int soundTrack{0};
};

// Reads the movie's length and tracks on the calling thread (blocking).
MovieCheck checkMovie(const std::string& path);

} // namespace trimwell
