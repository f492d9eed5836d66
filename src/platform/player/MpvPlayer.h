#pragma once
// The Player over libmpv's client API, drawing its picture through libmpv's software render
// target (no GPU, works headless). libmpv's events are drained on the main thread: its
// callbacks only post there. Construct it after the Qt application object exists, on the
// main thread, and call it only there.
#include "MpvPtr.h"
#include "PictureSource.h"
#include "PictureTimes.h"
#include "Player.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

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

    void setPictureSink(PictureSink* sink) override;
    bool drawPicture(int width, int height, std::size_t stride, void* pixels) override;

private:
    struct Periodic {
        QTimer* timer{nullptr}; // child of context_; deleteLater'd on removal
        std::function<void(double)> block;
    };
    struct Boundary {
        double seconds{0};
        std::function<void()> block;
    };

    static void wakeup(void* self) noexcept;
    static void renderUpdate(void* self) noexcept;
    void drainEvents();
    void handleEvent(const mpv_event& event);
    void notePlayedTime(double seconds);
    void crossBoundaries(double from, double to);
    void issueSeek(double seconds);
    void startSeek(double seconds);
    bool isNextPicture(double seconds);
    void finishStep(double shownAt);
    void endStepState();
    void abandonStep();
    void takeQueuedSeek();
    void deliverPicture();
    void presentPicture();
    void forgetItemState();
    bool readFlag(const char* name, bool fallback) const;
    double readDouble(const char* name) const;

    // Declared first so it is destroyed last: libmpv's callbacks post to it until the core
    // is gone, and Qt drops what was posted to it once it is destroyed.
    QObject context_;
    MpvCorePtr core_;     // main thread only; libmpv guards the core itself
    MpvRenderPtr render_; // main thread only; freed before core_

    std::atomic<bool> drainPosted_{false};   // shared with libmpv's threads
    std::atomic<bool> picturePosted_{false}; // shared with libmpv's threads

    bool item_{false};                   // main thread only
    std::int64_t expectedEntry_{-1};     // main thread only: playlist entry of the item
    std::int64_t startedEntry_{-1};      // main thread only: entry libmpv last started
    bool loaded_{false};                 // main thread only: libmpv opened the item
    bool ready_{false};                  // main thread only: and showed its first frame
    bool ended_{false};                  // main thread only: the item failed or was stopped
    std::optional<double> pendingSeek_;  // main thread only: asked for before loading ended
    std::optional<double> seekTarget_;   // main thread only: until the seek has landed
    int seeksInFlight_{0};               // main thread only: seek commands not yet replied
    bool seeking_{false};                // main thread only
    double lastPlayedTime_{0};           // main thread only: NaN after a seek or a new item
    bool hdrFilters_{false};             // main thread only: the tone-mapping filters are on
    bool videoShown_{false};             // main thread only: libmpv has a picture to draw
    bool pictureStale_{false};           // main thread only: the picture went or came back
    bool drawnSinceUpdate_{false};       // main thread only
    PictureSink* sink_{nullptr};         // main thread only
    std::vector<std::uint32_t> scratch_; // main thread only: where frames go with no view

    // Frame steps and seeks that wait for the one landing; all main thread only.
    bool landing_{false};              // a seek or step whose picture is not shown yet
    std::optional<double> queuedSeek_; // the newest seek asked for meanwhile
    bool stepping_{false};             // a frame step under way
    double stepTarget_{0};
    std::uint64_t stepSerial_{0};
    std::string path_;                           // the item's file
    std::unique_ptr<PictureTimes> pictureTimes_; // made on first use
    bool pictureTimesFailed_{false};

    std::uint64_t nextToken_{1};                   // main thread only
    std::map<std::uint64_t, Periodic> periodic_;   // main thread only
    std::map<std::uint64_t, Boundary> boundaries_; // main thread only
};

} // namespace trimwell
