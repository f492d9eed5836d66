#include "TimelineModel.h"

#include "platform/ui/MainQueue.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <sys/resource.h>
#include <unistd.h>

namespace trimwell {

namespace {

// Times closer than this are the same time (the grid's multiples are exact; this only
// absorbs the rounding of a key frame's time).
constexpr double kSameTime = 1e-9;
// The pictures' shape before the first one arrives.
constexpr double kGuessedAspect = 16.0 / 9.0;
constexpr int kWorkerNiceness = 10;

} // namespace

// What the workers hand to the main thread. Deliveries queue here under the lock; one posted
// wake-up at a time drains them all, so a fast reader never floods the event loop.
struct TimelineModel::Inbox {
    enum class Kind { picture, noPictures, peaks, peaksEnd, finished };
    struct Delivery {
        Kind kind{Kind::finished};
        long long ticket{0};
        double asked{0};
        std::optional<TimelinePicture> picture{};
        TimelinePeaks peaks{};
        bool sound{false};
    };

    std::mutex lock;
    std::vector<Delivery> due{}; // guarded by lock
    bool posted{false};          // guarded by lock
    std::atomic<int> reads{0};
    TimelineModel* owner{nullptr}; // main thread only; null once the model is gone

    static void deliver(const std::shared_ptr<Inbox>& inbox, Delivery delivery) {
        bool post = false;
        {
            std::lock_guard guard(inbox->lock);
            inbox->due.push_back(std::move(delivery));
            post = !inbox->posted;
            inbox->posted = true;
        }
        if (post)
            mainQueue().post([inbox] {
                if (inbox->owner)
                    inbox->owner->drain();
            });
    }
};

// The picture times one movie's reader is asked for, replaced whenever the view changes.
struct TimelineModel::PictureJob {
    PictureJob(long long ticket, std::string path, int height)
        : ticket(ticket), path(std::move(path)), height(height) {}

    const long long ticket;
    const std::string path;
    const int height;
    std::atomic<bool> stop{false}; // raised under lock so a waiting worker cannot miss it
    std::mutex lock;
    std::condition_variable wake;
    std::deque<double> queue{};       // guarded by lock
    std::optional<double> inFlight{}; // guarded by lock

    void raiseStop() {
        {
            std::lock_guard guard(lock);
            stop = true;
        }
        wake.notify_all();
    }
};

TimelineModel::TimelineModel(QObject* parent) : QObject(parent), inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
}

TimelineModel::~TimelineModel() {
    inbox_->owner = nullptr;
    stopWork();
    for (Worker& worker : workers_)
        if (worker.thread.joinable())
            worker.thread.join();
}

int TimelineModel::runningWork() const {
    return static_cast<int>(std::count_if(workers_.begin(), workers_.end(),
                                          [](const Worker& w) { return !w.finished->load(); }));
}

int TimelineModel::picturesRead() const {
    return inbox_->reads.load();
}

bool TimelineModel::ready() const {
    return !path_.empty() && enabled_ && view_.width() > 0 && pictureHeight() > 0;
}

int TimelineModel::pictureHeight() const {
    return static_cast<int>(std::lround(rowHeight_ * pixelRatio_));
}

void TimelineModel::showMovie(const std::string& path, double duration) {
    path_ = path;
    aspect_ = kGuessedAspect;
    view_.setDuration(duration);
    view_.setStrip(view_.width(), rowHeight_ * aspect_);
    restart();
    emit viewChanged();
}

void TimelineModel::dropMovie() {
    path_.clear();
    view_.setDuration(0);
    stopWork();
    clearResults();
    emit viewChanged();
    emit picturesChanged();
    emit peaksChanged();
}

void TimelineModel::setStrip(double width, double rowHeight, double pixelRatio) {
    const bool wasReady = ready();
    const int height = pictureHeight();
    rowHeight_ = std::isfinite(rowHeight) && rowHeight > 0 ? rowHeight : 0;
    pixelRatio_ = std::isfinite(pixelRatio) && pixelRatio > 0 ? pixelRatio : 1;
    view_.setStrip(width, rowHeight_ * aspect_);
    if (!ready())
        stopWork();
    else if (!wasReady || height != pictureHeight())
        restart(); // pictures of another size, or a strip that showed nothing so far
    else
        refreshWanted();
    emit viewChanged();
    emit picturesChanged();
}

void TimelineModel::setEnabled(bool on) {
    if (on == enabled_)
        return;
    enabled_ = on;
    if (on) {
        restart();
    } else {
        stopWork();
        clearResults();
        emit picturesChanged();
        emit peaksChanged();
    }
    emit enabledChanged();
}

void TimelineModel::zoomAround(double seconds, double factor, double fraction) {
    if (!view_.zoomAround(seconds, factor, fraction))
        return;
    refreshWanted();
    emit viewChanged();
    emit picturesChanged();
}

void TimelineModel::scrollTo(double seconds) {
    if (!view_.scrollTo(seconds))
        return;
    refreshWanted();
    emit viewChanged();
    emit picturesChanged();
}

void TimelineModel::showWhole() {
    if (!view_.showWhole())
        return;
    refreshWanted();
    emit viewChanged();
    emit picturesChanged();
}

void TimelineModel::clearResults() {
    pictures_.clear();
    pictureBytes_ = 0;
    answers_.clear();
    pending_.clear();
    hasPictures_.reset();
    peaks_.clear();
    hasSound_.reset();
    peaksDone_ = false;
}

void TimelineModel::restart() {
    stopWork();
    clearResults();
    if (ready()) {
        startPeaks();
        refreshWanted();
    }
    emit picturesChanged();
    emit peaksChanged();
}

void TimelineModel::stopWork() {
    // Whatever the old reads still deliver carries the old ticket and is dropped.
    ++ticket_;
    if (pictureJob_) {
        pictureJob_->raiseStop();
        pictureJob_.reset();
    }
    if (peaksStop_) {
        peaksStop_->store(true);
        peaksStop_.reset();
    }
    pending_.clear();
    reap();
}

void TimelineModel::startWorker(std::function<void()> work) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), finished, inbox = inbox_] {
        // Behind the player and the window on a busy machine: a picture late on the strip is
        // better than one dropped from the preview. (Linux gives each thread its own niceness.)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNiceness);
        try {
            work();
        } catch (...) { // out of memory: the strip shows what arrived
        }
        finished->store(true);
        // Lets the main thread join this thread now rather than at the model's end.
        Inbox::deliver(inbox, {});
    });
    workers_.push_back(Worker{std::move(thread), std::move(finished)});
}

void TimelineModel::reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void TimelineModel::startPictures() {
    auto job = std::make_shared<PictureJob>(ticket_, path_, pictureHeight());
    auto work = [job, inbox = inbox_] {
        using Kind = Inbox::Kind;
        std::unique_ptr<TimelinePictures> reader;
        try {
            reader = std::make_unique<TimelinePictures>(job->path, job->height);
        } catch (...) {
            if (!job->stop)
                Inbox::deliver(inbox, {.kind = Kind::noPictures, .ticket = job->ticket});
            return;
        }
        for (;;) {
            double seconds = 0;
            {
                std::unique_lock guard(job->lock);
                job->wake.wait(guard, [&] { return job->stop.load() || !job->queue.empty(); });
                if (job->stop)
                    return;
                seconds = job->queue.front();
                job->queue.pop_front();
                job->inFlight = seconds;
            }
            std::optional<TimelinePicture> picture = reader->pictureAt(seconds, job->stop);
            inbox->reads.fetch_add(1);
            {
                std::lock_guard guard(job->lock);
                job->inFlight.reset();
            }
            if (job->stop)
                return;
            Inbox::deliver(inbox, {.kind = Kind::picture,
                                   .ticket = job->ticket,
                                   .asked = seconds,
                                   .picture = std::move(picture)});
        }
    };
    try {
        startWorker(std::move(work));
        pictureJob_ = std::move(job);
    } catch (...) { // no thread to read with: the strip shows no pictures
        hasPictures_ = false;
    }
}

void TimelineModel::startPeaks() {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto work = [stop, inbox = inbox_, path = path_, ticket = ticket_] {
        using Kind = Inbox::Kind;
        bool sound = false;
        try {
            sound = readTimelinePeaks(
                path, kSecondsPerPeak,
                [&](TimelinePeaks chunk) {
                    Inbox::deliver(
                        inbox, {.kind = Kind::peaks, .ticket = ticket, .peaks = std::move(chunk)});
                },
                *stop);
        } catch (...) { // unreadable: no waveform, and nothing to say about it
        }
        if (!*stop)
            Inbox::deliver(inbox, {.kind = Kind::peaksEnd, .ticket = ticket, .sound = sound});
    };
    try {
        startWorker(std::move(work));
        peaksStop_ = std::move(stop);
    } catch (...) {
        hasSound_ = false;
        peaksDone_ = true;
    }
}

const TimelineModel::Answer* TimelineModel::answerFor(double seconds) const {
    for (const Answer& a : answers_)
        if (a.from - kSameTime <= seconds && seconds <= a.to + kSameTime)
            return &a;
    return nullptr;
}

std::vector<TimelineModel::Stretch> TimelineModel::stretches() const {
    std::vector<Stretch> row;
    if (!ready())
        return row;
    const std::vector<double> times = view_.wantedTimes();
    for (std::size_t i = 0; i < times.size(); ++i) {
        const Answer* answer = answerFor(times[i]);
        Stretch stretch{.from = times[i], .to = times[i]};
        if (!answer) {
            stretch.pending = true;
        } else if (answer->key) {
            const auto found = pictures_.find(*answer->key);
            if (found != pictures_.end())
                stretch.picture = found->second;
            // A picture starts at its own time when that lies after the time asked before.
            if (i == 0 || *answer->key > times[i - 1])
                stretch.from = *answer->key;
        }
        if (!row.empty() && stretch.picture && row.back().picture == stretch.picture) {
            continue; // the same key frame goes on
        }
        if (!row.empty() && stretch.from < row.back().from)
            stretch.from = times[i];
        row.push_back(std::move(stretch));
    }
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i].to = i + 1 < row.size() ? row[i + 1].from : view_.end();
    return row;
}

void TimelineModel::refreshWanted() {
    pending_.clear();
    if (!ready() || hasPictures_ == false)
        return;
    for (double seconds : view_.wantedTimes())
        if (!answerFor(seconds))
            pending_.push_back(seconds);
    if (!pictureJob_)
        startPictures();
    if (!pictureJob_)
        return;
    {
        std::lock_guard guard(pictureJob_->lock);
        // The picture being read stays wanted without being asked for twice.
        pictureJob_->queue.clear();
        for (double seconds : pending_)
            if (!pictureJob_->inFlight || *pictureJob_->inFlight != seconds)
                pictureJob_->queue.push_back(seconds);
    }
    pictureJob_->wake.notify_all();
}

void TimelineModel::keepWithinMemory() {
    const double centre = view_.start() + view_.span() / 2;
    while (pictureBytes_ > kPictureBytes) {
        // The farthest picture from the view that the view does not show.
        auto farthest = pictures_.end();
        double distance = view_.span(); // within this of the centre a picture stays
        for (auto it = pictures_.begin(); it != pictures_.end(); ++it) {
            const double d = std::abs(it->first - centre);
            if (d > distance) {
                distance = d;
                farthest = it;
            }
        }
        if (farthest == pictures_.end())
            return;
        const double key = farthest->first;
        pictureBytes_ -= farthest->second->bgra.size();
        pictures_.erase(farthest);
        std::erase_if(answers_, [&](const Answer& a) { return a.key && *a.key == key; });
    }
}

void TimelineModel::drain() {
    std::vector<Inbox::Delivery> due;
    {
        std::lock_guard guard(inbox_->lock);
        due.swap(inbox_->due);
        inbox_->posted = false;
    }
    bool picturesMoved = false;
    bool peaksMoved = false;
    bool shapeMoved = false;
    using Kind = Inbox::Kind;
    for (Inbox::Delivery& d : due) {
        if (d.kind == Kind::finished || d.ticket != ticket_)
            continue;
        switch (d.kind) {
        case Kind::picture: {
            std::erase(pending_, d.asked);
            picturesMoved = true;
            if (!d.picture || d.picture->width <= 0 || d.picture->height <= 0) {
                answers_.push_back({std::nullopt, d.asked, d.asked});
                break;
            }
            const double key = d.picture->seconds;
            answers_.push_back({key, std::min(key, d.asked), std::max(key, d.asked)});
            if (!hasPictures_ || !*hasPictures_) {
                hasPictures_ = true;
                const double aspect = static_cast<double>(d.picture->width) / d.picture->height;
                if (std::abs(aspect - aspect_) > 0.01 * aspect_) {
                    aspect_ = aspect;
                    shapeMoved = true;
                }
            }
            if (!pictures_.contains(key)) {
                pictureBytes_ += d.picture->bgra.size();
                pictures_.emplace(key,
                                  std::make_shared<const TimelinePicture>(std::move(*d.picture)));
            }
            break;
        }
        case Kind::noPictures:
            hasPictures_ = false;
            pending_.clear();
            picturesMoved = true;
            break;
        case Kind::peaks: {
            const TimelinePeaks& chunk = d.peaks;
            const double spacing =
                chunk.secondsPerPeak > 0 ? chunk.secondsPerPeak : kSecondsPerPeak;
            const auto first = static_cast<long long>(std::llround(chunk.firstSeconds / spacing));
            // A wild time in a broken file must not make the row huge.
            const auto limit =
                static_cast<long long>(std::ceil(2 * view_.duration() / kSecondsPerPeak)) + 1000;
            for (std::size_t i = 0; i < chunk.peaks.size(); ++i) {
                const long long at = first + static_cast<long long>(i);
                if (at < 0 || at >= limit)
                    continue;
                if (static_cast<std::size_t>(at) >= peaks_.size())
                    peaks_.resize(static_cast<std::size_t>(at) + 1, 0.0f);
                peaks_[static_cast<std::size_t>(at)] = chunk.peaks[i];
            }
            hasSound_ = true;
            peaksMoved = true;
            break;
        }
        case Kind::peaksEnd:
            hasSound_ = d.sound && !peaks_.empty();
            peaksDone_ = true;
            peaksMoved = true;
            break;
        case Kind::finished:
            break;
        }
    }
    reap();
    if (shapeMoved) {
        // Wider or narrower pictures than guessed: another number of them fits the strip.
        view_.setStrip(view_.width(), rowHeight_ * aspect_);
        refreshWanted();
        emit viewChanged();
    }
    if (picturesMoved) {
        keepWithinMemory();
        emit picturesChanged();
    }
    if (peaksMoved)
        emit peaksChanged();
}

} // namespace trimwell
