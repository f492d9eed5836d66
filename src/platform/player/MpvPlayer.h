#pragma once
// The Player over libmpv's client API, drawing its picture through libmpv's software render
// target (no GPU, works headless). libmpv's events are drained on the main thread: its
// callbacks only post there. Construct it after the Qt application object exists, on the
// main thread, and call it only there.
#include "PictureSource.h"
#include "Player.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace trimwell {

class MpvPlayer final : public Player, public PictureSource {
public:
    // Sets LC_NUMERIC to "C" first, as libmpv requires (Qt's application object has set the
    // user's locale). Sound goes to the default output; without one the picture still plays.
    // Throws PlatformError (domain "mpv") when libmpv cannot be set up.
    MpvPlayer();
    ~MpvPlayer() override;
    MpvPlayer(const MpvPlayer&) = delete;
    MpvPlayer& operator=(const MpvPlayer&) = delete;

    // A new item starts paused unless play() was asked for. An item that cannot be opened
    // stays the current item (hasItem() is true) but never gets a time.
    void replaceCurrentItem(const std::optional<std::string>& path) override;
    void selectTracks(int pictureOrdinal, int soundOrdinal) override;
    bool hasItem() const override;
    void play() override;
    void pause() override;
    // Backward playing is libmpv's: it decodes each stretch between key frames forward and
    // shows it reversed, muted.
    void setPlaybackSpeed(double speed) override;
    // The asked-for speed while not paused, 0 while paused (also after playing to the end).
    double rate() const override;
    TimeControlStatus timeControlStatus() const override;
    // The time of the frame shown; while an exact seek is under way, its target.
    double currentTime() const override;
    // A seek asked for while another is still landing waits for it and replaces any seek
    // already waiting, so a held key never piles up seeks: the newest target is shown next.
    // A seek to the picture right after the one shown steps to it instead of decoding from
    // the key frame before it.
    void seekExactly(double seconds) override;
    // Read from the item's packets on first use; NaN with no item or an unreadable one.
    double pictureTimeFrom(double seconds, int steps) override;
    // A non-positive or non-finite interval counts as one millisecond. Ticks are skipped
    // while no item has a known time.
    ObserverToken addPeriodicTimeObserver(double interval,
                                          std::function<void(double)> block) override;
    // Fires each time playback runs forward across seconds: from before it to at or after
    // it, or to the end of the movie when seconds lies between the last frame and the
    // movie's end. Seeking across it does not fire. The block runs from the event loop, not
    // from inside libmpv's event handling, so it may call the player and remove observers
    // (but not destroy the player).
    ObserverToken addBoundaryTimeObserver(double seconds, std::function<void()> block) override;
    void removeTimeObserver(ObserverToken token) override;

    // The current item's length in seconds; NaN until it is known.
    double duration() const;

    // libmpv's own counts for the current item: pictures its output dropped to keep time
    // with the sound, and pictures the decoder skipped. Reading them waits for libmpv's
    // core, so they are for measuring, not for a clock.
    struct DroppedPictures {
        std::int64_t output{0};
        std::int64_t decoder{0};
    };
    DroppedPictures droppedPictures() const;

    void setPictureSink(PictureSink* sink) override;
    bool drawPicture(int width, int height, std::size_t stride, void* pixels) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl_; // main thread only
};

} // namespace trimwell
