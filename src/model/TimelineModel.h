#pragma once
// What the timeline strip shows of the open movie: the visible stretch (TimelineView), the
// pictures and sound peaks received so far, and the background reads that make them.
//
// Pictures are read on one worker thread per movie from the movie's key frames, in the order
// the strip wants them (left to right); the sound's peaks on another, one read per movie. Each
// finished piece reaches the main thread through mainQueue() as soon as it is made. Opening
// another movie, turning the timeline off or detaching the strip raises the old reads' stop
// flag at once; whatever they still deliver is dropped by ticket. The destructor joins every
// worker, so no read outlives the model.
//
// Lives on the main thread; every call below is main thread only. Qt Core only.
#include "TimelineView.h"

#include "platform/media/Timeline.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trimwell {

class TimelineModel : public QObject {
    Q_OBJECT
public:
    // One peak per 10 ms: finer than a pixel at the closest zoom, so one read serves all.
    static constexpr double kSecondsPerPeak = 0.01;
    // Pictures kept at most, in bytes; those farthest from the visible stretch go first.
    static constexpr std::size_t kPictureBytes = 40u << 20;

    explicit TimelineModel(QObject* parent = nullptr);
    // Stops every read and waits for its thread.
    ~TimelineModel() override;
    TimelineModel(const TimelineModel&) = delete;
    TimelineModel& operator=(const TimelineModel&) = delete;

    // The movie the strip shows, once it has been read; drops the previous one's work.
    void showMovie(const std::string& path, double duration);
    // No movie (a new open started, or the movie was refused): drops all work and results.
    void dropMovie();

    // The strip that draws the timeline: its width and picture row height in logical pixels
    // and the screen's pixel ratio (pictures are read rowHeight × ratio pixels tall). A
    // width of 0 detaches it: nothing is read while no strip shows the results.
    void setStrip(double width, double rowHeight, double pixelRatio);
    // Off: stops all work and forgets the results until turned on again.
    void setEnabled(bool on);
    bool enabled() const { return enabled_; }

    const TimelineView& view() const { return view_; }
    // Zooms by factor around seconds kept at fraction of the strip's width (see TimelineView).
    void zoomAround(double seconds, double factor, double fraction);
    void scrollTo(double seconds);
    void showWhole();

    using Picture = std::shared_ptr<const TimelinePicture>;
    // The pictures received, by their own time. Each is shown from its time until the next
    // one's or until the next wanted time still pending, whichever comes first.
    const std::map<double, Picture>& pictures() const { return pictures_; }
    // What the picture row shows, left to right, the first starting at or before the visible
    // stretch: each picture from its own time (or from where the grid asked for it, when
    // the one before it still shows there) until the next stretch. A pending stretch's
    // picture is still being read; a stretch with neither could not be read.
    struct Stretch {
        double from{0};
        double to{0};
        Picture picture{};
        bool pending{false};
    };
    std::vector<Stretch> stretches() const;
    // The wanted times of the visible stretch whose pictures have not arrived yet.
    const std::vector<double>& pending() const { return pending_; }
    // Whether the movie's pictures can be read at all; none until the reader has opened.
    std::optional<bool> hasPictures() const { return hasPictures_; }

    // One peak (0 to 1) per kSecondsPerPeak from 0, as far as the sound has been read.
    const std::vector<float>& peaks() const { return peaks_; }
    // Whether the movie has sound; none until its read has found out.
    std::optional<bool> hasSound() const { return hasSound_; }
    // True once the whole sound track has been read (or found missing or unreadable).
    bool peaksDone() const { return peaksDone_; }

    // Worker threads that have not finished yet, including stopped ones still returning.
    int runningWork() const;
    // Pictures the readers have read for this model's whole life, stopped ones included, for
    // checking that no work is done twice.
    int picturesRead() const;

signals:
    void viewChanged();
    void picturesChanged();
    void peaksChanged();
    void enabledChanged();

private:
    struct Inbox;
    struct PictureJob;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    // A picture request that has been answered: the key frame at `key` is the one shown
    // anywhere from `from` to `to`. An unreadable stretch has no key.
    struct Answer {
        std::optional<double> key;
        double from{0};
        double to{0};
    };

    void drain();
    void restart();
    void stopWork();
    void startPictures();
    void startPeaks();
    void refreshWanted();
    void keepWithinMemory();
    const Answer* answerFor(double seconds) const;
    int pictureHeight() const;
    bool ready() const;
    void startWorker(std::function<void()> work);
    void clearResults();
    void reap();

    std::shared_ptr<Inbox> inbox_;                   // shared with the workers; locks itself
    std::vector<Worker> workers_{};                  // main thread only
    std::shared_ptr<PictureJob> pictureJob_{};       // main thread only; the current movie's
    std::shared_ptr<std::atomic<bool>> peaksStop_{}; // main thread only; the current movie's
    long long ticket_{0};                            // main thread only

    std::string path_{};        // main thread only; empty with no movie
    TimelineView view_{};       // main thread only
    double rowHeight_{0};       // main thread only
    double pixelRatio_{1};      // main thread only
    double aspect_{16.0 / 9.0}; // main thread only; width over height of the pictures
    bool enabled_{true};        // main thread only
    bool peaksStarted_{false};  // main thread only

    std::map<double, Picture> pictures_{}; // main thread only
    std::size_t pictureBytes_{0};          // main thread only
    std::vector<Answer> answers_{};        // main thread only
    std::vector<double> pending_{};        // main thread only
    std::optional<bool> hasPictures_{};    // main thread only
    std::vector<float> peaks_{};           // main thread only
    std::optional<bool> hasSound_{};       // main thread only
    bool peaksDone_{false};                // main thread only
};

} // namespace trimwell
