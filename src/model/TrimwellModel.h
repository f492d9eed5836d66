#pragma once
// The edit model: the one object that holds the open movie, the marks, the playhead, the bit
// rate, the status line and the state of a running save, and carries every user action.
// It lives on the main thread; background work (reading a movie, a save) reaches it only by
// posting to the main thread, and does nothing once the model is gone.
//
// Observation: every observed field has a Qt property and one change signal, emitted only on
// a real change; the inner bookkeeping (the load ticket, the inside flag, the save's stop
// flag, progress box and timer) has only its signal. Doubles compare numerically (a stored
// NaN always counts as changed); the two observer tokens and the two shared save boxes
// notify on every write. The derived values canSave and aboutText notify when their value
// changes.
//
// The model never throws and never shows a dialog for a failure: every refusal and every
// outcome becomes one status sentence.
#include "model/TimelineModel.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/player/Player.h"
#include "writer/SaveControls.h"
#include "writer/SavePolicy.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trimwell {

namespace testing {
struct ModelInternals;
}

class Panels;
struct MovieCheck;

// The kinds of file the open panel offers: the general video type, MPEG-4, QuickTime, then
// AVI and MPEG when the MIME database knows them; with the file name extensions they stand for
// (no dots, no repeats), for panels that filter by name.
struct MovieTypes {
    std::vector<std::string> mimeTypes;
    std::vector<std::string> extensions;
};
MovieTypes movieTypes();

// The save panel's proposed name: the source's file name without its extension, followed by
// "-Trimwell.mp4".
std::string proposedSaveName(const std::string& source);

class TrimwellModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<std::string> sourceURL READ sourceURL NOTIFY sourceURLChanged)
    Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(bool hasAudio READ hasAudio NOTIFY hasAudioChanged)
    Q_PROPERTY(double inPoint READ inPoint WRITE setInPoint NOTIFY inPointChanged)
    Q_PROPERTY(double outPoint READ outPoint WRITE setOutPoint NOTIFY outPointChanged)
    Q_PROPERTY(double playhead READ playhead WRITE setPlayhead NOTIFY playheadChanged)
    Q_PROPERTY(double megabits READ megabits WRITE setMegabits NOTIFY megabitsChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    // Why the last save failed, for the status line's tooltip; empty after any other status.
    Q_PROPERTY(QString statusDetail READ statusDetail NOTIFY statusDetailChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool finishing READ finishing NOTIFY finishingChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool playing READ playing NOTIFY playingChanged)
    // The pace playing goes at: 1 normal, 2, 4 or 8 faster, negative backward. Back to 1
    // whenever playing stops.
    Q_PROPERTY(double speed READ speed NOTIFY speedChanged)
    // Playing starts again at the in mark each time it reaches the out mark.
    Q_PROPERTY(bool loopCut READ loopCut WRITE setLoopCut NOTIFY loopCutChanged)
    Q_PROPERTY(double shortest READ shortest CONSTANT)
    Q_PROPERTY(bool canSave READ canSave NOTIFY canSaveChanged)
    Q_PROPERTY(QString aboutText READ aboutText NOTIFY aboutTextChanged)
    // The model's own bookkeeping: readable, written only by the model's operations.
    Q_PROPERTY(
        std::optional<trimwell::ObserverToken> timeToken READ timeToken NOTIFY timeTokenChanged)
    Q_PROPERTY(std::optional<trimwell::ObserverToken> boundaryToken READ boundaryToken NOTIFY
                   boundaryTokenChanged)
    Q_PROPERTY(std::optional<trimwell::TrimwellModel::Drag> drag READ drag NOTIFY dragChanged)

public:
    // What the user is dragging.
    enum class Drag { playhead, inMark, outMark };
    Q_ENUM(Drag)

    // player must not be null. panels is not owned and may be null (then the open and save
    // panels act as if the user cancelled) until setPanels supplies them.
    explicit TrimwellModel(std::unique_ptr<Player> player, Panels* panels = nullptr,
                           QObject* parent = nullptr);
    // Releases what the model holds. A running save is asked to stop and is waited for, so
    // that no export thread outlives the model and its partial file is removed.
    ~TrimwellModel() override;

    TrimwellModel(const TrimwellModel&) = delete;
    TrimwellModel& operator=(const TrimwellModel&) = delete;

    Player& player() const { return *player_; }
    // The timeline of the open movie: started when a movie has been read, dropped when
    // another is asked to open or the movie is refused.
    TimelineModel& timeline() const { return *timeline_; }
    void setPanels(Panels* panels) { panels_ = panels; }

    const std::optional<std::string>& sourceURL() const { return sourceURL_; }
    double duration() const { return duration_; }
    bool hasAudio() const { return hasAudio_; }
    double inPoint() const { return inPoint_; }
    double outPoint() const { return outPoint_; }
    double playhead() const { return playhead_; }
    double megabits() const { return megabits_; }
    const QString& status() const { return status_; }
    const QString& statusDetail() const { return statusDetail_; }
    bool busy() const { return busy_; }
    // The running save is putting its finished file in place and can no longer be stopped.
    bool finishing() const { return finishing_; }
    double progress() const { return progress_; }
    bool playing() const { return playing_; }
    double speed() const { return speed_; }
    bool loopCut() const { return loopCut_; }
    double shortest() const { return shortest_; }

    const std::optional<ObserverToken>& timeToken() const { return timeToken_; }
    const std::optional<ObserverToken>& boundaryToken() const { return boundaryToken_; }
    const std::optional<Drag>& drag() const { return drag_; }

    // A movie is open, longer than the shortest cut, the marks are at least the shortest cut
    // apart, no save runs, and no movie is being read (while a read is pending the marks still
    // belong to the previous movie, so saving would cut the new file at the old marks).
    bool canSave() const;
    // The size estimate of the current cut.
    QString aboutText() const;
    // The time of the picture steps pictures after (negative: before) the one shown at
    // seconds, inside the movie; NaN with no movie or no such picture. The time sliders'
    // arrow keys and wheel go there, so a mark set afterwards starts on that very picture.
    double pictureTimeFrom(double seconds, int steps) const;

    void setInPoint(double value);
    void setOutPoint(double value);
    void setPlayhead(double value);
    void setMegabits(double value);
    // Ignored while a save runs, as every control but Stop is.
    void setLoopCut(bool value);

public slots:
    // Opening a movie.
    void pick();
    void open(const std::string& path);
    // Takes the first of the dropped file paths; false when the drop is refused (a save
    // runs, or there is no path).
    bool takeDrop(const std::vector<std::string>& paths);

    // Playback.
    void togglePlay();
    // Installs the periodic clock once; called each time the window is shown.
    void armClock();

    // Marks from the playhead (the "Set In" and "Set Out" buttons).
    void setInFromPlayhead();
    void setOutFromPlayhead();
    // Slider presses, value changes and releases. The window writes the slider's value into
    // playhead, inPoint or outPoint; the model runs the *Dragged handler after every change
    // of the field itself.
    void beginPlayheadDrag();
    void beginInDrag();
    void beginOutDrag();
    void playheadDragged();
    void inDragged();
    void outDragged();
    void endPlayheadDrag();
    void endInDrag();
    void endOutDrag();

    // The keyboard's operations. Each does what the control it stands for does, by the same
    // path: moving the playhead is one round of the playhead slider (press, move, release),
    // so it pauses playing and seeks exactly; setting a mark to a time is one round of that
    // mark's slider, so the marks stay apart and the watch follows the out mark. Each does
    // nothing with no movie, while a save runs or while a slider is held.
    //
    // The playhead to the picture at or after seconds (past the end: the end).
    void goToTime(double seconds);
    // The in or out mark to the picture at or after seconds, the playhead with it.
    void setInAt(double seconds);
    void setOutAt(double seconds);
    void goToInMark();
    void goToOutMark();
    void goToStart();
    void goToEnd();
    // The playhead seconds later (negative: earlier), inside the movie.
    void moveBy(double seconds);
    // Plays from the in mark at the normal pace; the watch stops it at the out mark.
    void playCut();
    // The shuttle: forward plays as Play does, or twice as fast each time while it already
    // plays forward (up to 8 times); backward plays back from the playhead the same way;
    // pause pauses.
    void shuttleForward();
    void shuttleBackward();
    void shuttlePause();

    // Saving: asks for a destination and starts the save, or says why not.
    void pickSave();
    // The Stop button: asks the running save, if one runs, to stop, and says "Stopping.";
    // the save's own end then sets the status.
    void stop();

signals:
    void sourceURLChanged();
    void durationChanged();
    void hasAudioChanged();
    void inPointChanged();
    void outPointChanged();
    void playheadChanged();
    void megabitsChanged();
    void statusChanged();
    void statusDetailChanged();
    void busyChanged();
    void finishingChanged();
    void progressChanged();
    void playingChanged();
    void speedChanged();
    void loopCutChanged();
    void timeTokenChanged();
    void boundaryTokenChanged();
    void loadTicketChanged();
    void dragChanged();
    void insideChanged();
    void stopFlagChanged();
    void progressBoxChanged();
    void progressTimerChanged();
    void canSaveChanged();
    void aboutTextChanged();

private:
    // Tests reach the bookkeeping and the fields only operations write through this one door.
    friend struct testing::ModelInternals;

    qint64 loadTicket() const { return loadTicket_; }
    bool inside() const { return inside_; }
    const std::shared_ptr<StopFlag>& stopFlag() const { return stopFlag_; }
    const std::shared_ptr<FractionBox>& progressBox() const { return progressBox_; }
    QTimer* progressTimer() const { return progressTimer_.get(); }

    void setSourceURL(std::optional<std::string> value);
    void setDuration(double value);
    void setHasAudio(bool value);
    void setStatus(const QString& value);
    void setBusy(bool value);
    void setFinishing(bool value);
    void setProgress(double value);
    void setPlaying(bool value);
    void setSpeed(double value);
    void setTimeToken(std::optional<ObserverToken> value);
    void setBoundaryToken(std::optional<ObserverToken> value);
    void setLoadTicket(qint64 value);
    void setDrag(std::optional<Drag> value);
    void setInside(bool value);
    void setStatusDetail(const QString& value);
    void setStopFlag(std::shared_ptr<StopFlag> value);
    void setProgressBox(std::shared_ptr<FractionBox> value);
    void setProgressTimer(std::unique_ptr<QTimer> value);
    void setReading(bool value);
    void refreshDerived();

    void finishRead(qint64 ticket, const MovieCheck& check);
    void clearMovie(const QString& status);

    // seekCount: how many seeks had been asked for when the player read seconds.
    void notePlayhead(double seconds, std::uint64_t seekCount);
    void seek(double to);
    void refreshEndWatch();
    // Tells the player its pace, then plays.
    void playAt(double pace);
    // The shuttle one step on in direction (+1 forward, -1 backward).
    void shuttle(int direction);
    // No movie, a save, or a slider held: the keys have nothing to move.
    bool keysIdle() const;
    // One round of the playhead slider to seconds.
    void playheadRoundTo(double seconds);
    // The first picture at or after seconds inside the movie; seconds when the times are
    // not known.
    double pictureAtOrAfter(double seconds) const;

    void pullApart(Drag anchor);
    double clampToMovie(double seconds) const;

    void beginSave(const std::string& source, const std::string& destination);
    void copyProgress();
    // reason: the failure's description, shown as the status line's tooltip.
    void finishSave(SaveOutcome outcome, const std::string& reason = {});

    std::unique_ptr<Player> player_; // main thread only; never null, never replaced
    Panels* panels_{nullptr};        // main thread only; not owned

    std::optional<std::string> sourceURL_{};          // main thread only
    double duration_{0};                              // main thread only
    bool hasAudio_{false};                            // main thread only
    double inPoint_{0};                               // main thread only
    double outPoint_{0};                              // main thread only
    double playhead_{0};                              // main thread only
    double megabits_{4.0};                            // main thread only
    QString status_{QStringLiteral("Open a movie.")}; // main thread only
    QString statusDetail_{};                          // main thread only
    bool busy_{false};                                // main thread only
    bool finishing_{false};                           // main thread only
    double progress_{0};                              // main thread only
    bool playing_{false};                             // main thread only
    double speed_{1};                                 // main thread only
    bool loopCut_{false};                             // main thread only; never stored
    const double shortest_{kShortestCut};

    std::optional<ObserverToken> timeToken_{};     // main thread only
    std::optional<ObserverToken> boundaryToken_{}; // main thread only
    qint64 loadTicket_{0};                         // main thread only
    std::optional<Drag> drag_{};                   // main thread only
    bool inside_{false};                           // main thread only
    std::shared_ptr<StopFlag> stopFlag_{};         // main thread only; the flag locks itself
    std::shared_ptr<FractionBox> progressBox_{};   // main thread only; the box locks itself
    std::unique_ptr<QTimer> progressTimer_{};      // main thread only

    // The folder of the last movie asked to open in this run; empty before the first.
    std::string lastFolder_{}; // main thread only
    // True from an accepted open until the newest read has been applied or refused.
    bool reading_{false}; // main thread only
    // Last values of the derived fields, so their signals fire only on a change.
    bool canSave_{false}; // main thread only
    QString aboutText_{}; // main thread only
    // The running (or last) save's export; joined before the next save and by the destructor.
    std::thread saveThread_{}; // main thread only
    // The movie reads, one at a time on a thread the model owns, joined by the destructor.
    // A read whose ticket is no longer the wanted one is skipped before it starts.
    std::shared_ptr<SerialQueue> readQueue_{}; // main thread only
    std::shared_ptr<std::atomic<qint64>> wantedRead_{
        std::make_shared<std::atomic<qint64>>(0)}; // set on the main thread, read by the reads
    // Seeks asked for so far. A playhead time the player read before the newest seek arrives
    // after it and would put the playhead back where it was.
    std::shared_ptr<std::atomic<std::uint64_t>> seeks_{
        std::make_shared<std::atomic<std::uint64_t>>(0)}; // bumped on the main thread
    // Declared last, so its reads are stopped and joined first.
    std::unique_ptr<TimelineModel> timeline_{std::make_unique<TimelineModel>()}; // main thread
};

} // namespace trimwell
