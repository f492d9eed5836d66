#pragma once
// The playback surface the edit model drives. Times are seconds on the movie's
// presentation timeline (zero at the container's start), the same as the asset's.
// Every call and every callback happens on the main thread.
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace trimwell {

// Identifies one installed time observer.
struct ObserverToken {
    std::uint64_t id{0};
    friend bool operator==(const ObserverToken&, const ObserverToken&) = default;
};

enum class TimeControlStatus { paused, waitingToPlay, playing };

class Player {
public:
    virtual ~Player() = default;

    // Replaces the current item with the movie at path; std::nullopt leaves no item.
    virtual void replaceCurrentItem(const std::optional<std::string>& path) = 0;
    virtual bool hasItem() const = 0;
    // Plays the current item's picture and sound tracks at these places among its tracks
    // of each kind, counted from 1; 0 leaves the player's own choice. The movie's check
    // chooses them, so the preview plays the tracks a save cuts.
    virtual void selectTracks(int pictureOrdinal, int soundOrdinal) {
        (void)pictureOrdinal;
        (void)soundOrdinal;
    }
    virtual void play() = 0;
    virtual void pause() = 0;
    // The pace playing goes at, from now on and for every later play(): 1 is normal, 2 twice
    // as fast, a negative speed plays backward at that pace. Sound keeps its pitch forward and
    // is silent backward. A player that cannot change its pace plays at the normal one.
    virtual void setPlaybackSpeed(double speed) { (void)speed; }
    // The speed asked for while playing (negative backward), 0 while paused.
    virtual double rate() const = 0;
    virtual TimeControlStatus timeControlStatus() const = 0;
    // NaN when nothing is loaded yet.
    virtual double currentTime() const = 0;
    // Frame-exact: afterwards the player shows the first frame at or after seconds.
    virtual void seekExactly(double seconds) = 0;
    // The presentation time of the picture steps pictures after (negative: before) the one
    // an exact seek to seconds shows. NaN when there is none or the times cannot be read.
    virtual double pictureTimeFrom(double seconds, int steps) {
        (void)seconds;
        (void)steps;
        return std::numeric_limits<double>::quiet_NaN();
    }

    // Calls block(time) every interval seconds while an item is loaded, on the main thread.
    virtual ObserverToken addPeriodicTimeObserver(double interval,
                                                  std::function<void(double)> block) = 0;
    // Calls block() when playback crosses seconds, on the main thread.
    virtual ObserverToken addBoundaryTimeObserver(double seconds, std::function<void()> block) = 0;
    virtual void removeTimeObserver(ObserverToken token) = 0;
};

} // namespace trimwell
