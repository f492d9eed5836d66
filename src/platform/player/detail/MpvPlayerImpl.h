#pragma once
// The state behind MpvPlayer, shared by the player's own source files (its life and
// libmpv's events, the item and playing it, seeking and stepping, the clock and its
// observers, the picture's filters and drawing). Nothing outside the player includes it.
#include "MpvPtr.h"
#include "PictureTimes.h"
#include "platform/media/detail/ToneMap.h"
#include "platform/player/MpvPlayer.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace trimwell {

// Each public member does what MpvPlayer's of the same name says.
class MpvPlayer::Impl {
public:
    Impl();
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void replaceCurrentItem(const std::optional<std::string>& path);
    void selectTracks(int pictureOrdinal, int soundOrdinal);
    bool hasItem() const;
    void play();
    void pause();
    void setPlaybackSpeed(double pace);
    double rate() const;
    TimeControlStatus timeControlStatus() const;
    double currentTime() const;
    void seekExactly(double seconds);
    double pictureTimeFrom(double seconds, int steps);
    ObserverToken addPeriodicTimeObserver(double interval, std::function<void(double)> block);
    ObserverToken addBoundaryTimeObserver(double seconds, std::function<void()> block);
    void removeTimeObserver(ObserverToken token);

    double duration() const;

    void setPictureSink(PictureSink* sink);
    bool drawPicture(int width, int height, std::size_t stride, void* pixels);

    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    // reply_userdata of our own seek commands, and of the observed properties.
    enum Reply : std::uint64_t {
        seekReply = 1,
        timePosReply,
        eofReply,
        voReply,
        stepReply,
        gammaReply,
        pauseReply,
        coreIdleReply
    };
    // A picture time this close to a seek's target is the target's picture (marks sit on a
    // 1/600 s grid).
    static constexpr double kPictureTolerance = 0.001;
    // A frame step that has not shown its picture by then is given up for an exact seek.
    static constexpr int kStepPatienceMs = 500;
    // Pictures flagged interlaced are deinterlaced as a save does, one picture per frame;
    // progressive ones pass untouched.
    static constexpr const char* kPictureFilters =
        "lavfi=[bwdif=mode=send_frame:parity=auto:deint=interlaced]";
    // With no view drawing, frames still have to be taken or libmpv's output waits on each.
    static constexpr int kScratchSide = 16;
    // How long the view's size must hold before the HDR chain is made again for it.
    static constexpr int kResizeSettleMs = 150;

    // The picture stream a player picks, and whether its tags say PQ or HLG; reads headers
    // only. No stream (-1) when the file cannot be read here.
    struct PictureStream {
        int index{-1};
        bool hdr{false};
        int turn{0}; // degrees clockwise to show it upright: 90 for a phone's portrait movie
        bool sound{false};
        double origin{0}; // seconds: the container's start time, the timeline's zero
    };
    static PictureStream pictureStreamOf(const std::string& path);

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
    void setMuted(bool on);
    void abandonStep();
    void takeQueuedSeek();
    void deliverPicture();
    void presentPicture();
    void forgetItemState();
    // The vf chain for the current picture: tone mapping at the view's size for HDR, then
    // the turn that shows a portrait movie upright. Given to libmpv only when it changes.
    void setPictureFilters();
    void setDropping(bool decoder);
    // The save's tone-mapping table for the current item's picture stream; none when it
    // cannot be made.
    void makeLook(int stream);
    // The size the view draws the picture at, in device pixels.
    void noteViewSize(int width, int height);
    double readDouble(const char* name) const;
    // The time of the picture libmpv shows, on the movie's timeline; NaN when none.
    double shownTime() const;
    // The current item's picture times, read from the file on first use; null when the file
    // cannot be read here.
    PictureTimes* pictureTimes() const;

    // Declared first so it is destroyed last: libmpv's callbacks post to it until the core
    // is gone, and Qt drops what was posted to it once it is destroyed.
    QObject context_;
    MpvCorePtr core_;     // main thread only; libmpv guards the core itself
    MpvRenderPtr render_; // main thread only; freed before core_

    std::atomic<bool> drainPosted_{false};   // shared with libmpv's threads
    std::atomic<bool> picturePosted_{false}; // shared with libmpv's threads

    bool item_{false};                  // main thread only
    std::int64_t expectedEntry_{-1};    // main thread only: playlist entry of the item
    std::int64_t startedEntry_{-1};     // main thread only: entry libmpv last started
    bool loaded_{false};                // main thread only: libmpv opened the item
    bool ready_{false};                 // main thread only: and showed its first frame
    bool ended_{false};                 // main thread only: the item failed or was stopped
    std::optional<double> pendingSeek_; // main thread only: asked for before loading ended
    std::optional<double> seekTarget_;  // main thread only: until the seek has landed
    int seeksInFlight_{0};              // main thread only: seek commands not yet replied
    bool seeking_{false};               // main thread only
    double lastPlayedTime_{0};          // main thread only: NaN after a seek or a new item
    // libmpv counts Matroska's time from its first cluster, not from the earliest packet as
    // the movie's timeline does (an Opus track starts a WebM a few milliseconds early; B-frames
    // start a Matroska picture late), and an AVI's pictures a decoder's delay earlier than
    // FFmpeg's decode does: every time to and from libmpv is moved by the difference.
    double origin_{0};       // main thread only: the item's start time, as the movie reads it
    double clockOffset_{0};  // main thread only: the timeline's time at libmpv's zero
    bool hdrFilters_{false}; // main thread only: the tone-mapping filters are on
    int turn_{0};            // main thread only: degrees clockwise to show it upright
    bool sound_{false};      // main thread only: the item has a sound stream
    std::string filters_;    // main thread only: the vf chain libmpv was given
    int viewWidth_{0};       // main thread only: the view's drawing size
    int viewHeight_{0};      // main thread only
    int chainWidth_{0};      // main thread only: the size the HDR chain shrinks to
    int chainHeight_{0};     // main thread only
    QTimer* resizeSettle_{nullptr}; // main thread only; child of context_
    // The tone-mapping table libmpv's filters read, and the item it was made for; kept until
    // another replaces it, since the filters read it again whenever libmpv remakes them.
    std::unique_ptr<LookTable> look_;    // main thread only
    FramePtr lookLike_;                  // main thread only: the first picture's colours
    std::string lookItem_;               // main thread only
    bool videoShown_{false};             // main thread only: libmpv has a picture to draw
    bool pictureStale_{false};           // main thread only: the picture went or came back
    bool drawnSinceUpdate_{false};       // main thread only
    PictureSink* sink_{nullptr};         // main thread only
    std::vector<std::uint32_t> scratch_; // main thread only: where frames go with no view

    // libmpv's state as last reported or set, all main thread only. Reading a property waits
    // for libmpv's core, which may itself be waiting for this thread to draw a picture: the
    // picture would then be dropped after 200 ms.
    bool paused_{true};
    bool coreIdle_{true};
    bool eofReached_{true};

    // The pace asked for (negative: backward), and whether libmpv was last told to play
    // backward; both main thread only. libmpv gets the pace while playing and the normal
    // forward pace while paused.
    double pace_{1};
    bool backward_{false};
    void applyPace(bool playing);
    // The time of the item's last picture; NaN when its times cannot be read.
    double lastPictureTime();

    // Frame steps and seeks that wait for the one landing; all main thread only.
    bool landing_{false};              // a seek or step whose picture is not shown yet
    std::optional<double> queuedSeek_; // the newest seek asked for meanwhile
    bool stepping_{false};             // a frame step under way
    double stepTarget_{0};
    std::uint64_t stepSerial_{0};
    std::string path_;                                   // the item's file
    mutable std::unique_ptr<PictureTimes> pictureTimes_; // made on first use
    mutable bool pictureTimesFailed_{false};

    std::uint64_t nextToken_{1};                   // main thread only
    std::map<std::uint64_t, Periodic> periodic_;   // main thread only
    std::map<std::uint64_t, Boundary> boundaries_; // main thread only
};

} // namespace trimwell
