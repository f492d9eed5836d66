// The save flow: the save panel and its refusals, the export on a thread of its own, the
// progress timer, Stop, and the outcome in the status line.
#include "TrimwellModel.h"

#include "platform/ui/MainQueue.h"
#include "platform/ui/Panels.h"
#include "writer/ClipWriter.h"

#include <QPointer>

#include <filesystem>
#include <iostream>
#include <limits>
#include <system_error>

namespace trimwell {

namespace fs = std::filesystem;

namespace {

constexpr int kProgressIntervalMs = 100;

// The one line a failed save leaves on standard output; the status line shows a fixed text.
void reportFailure(const std::string& description) {
    std::cout << ("Trimwell save: " + description + "\n") << std::flush;
}

// The folder the movie was opened from, as the user named it (links not followed).
std::string folderOf(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return (ec ? fs::path(path) : absolute).parent_path().string();
}

} // namespace

std::string proposedSaveName(const std::string& source) {
    return fs::path(source).stem().string() + "-Trimwell.mp4";
}

void TrimwellModel::pickSave() {
    if (busy_)
        return;
    // The status says the movie is being read, and the marks are not yet its own.
    if (reading_)
        return;
    if (!canSave() || !sourceURL_) {
        setStatus(duration_ == 0 ? QStringLiteral("Open a movie.")
                                 : QString::fromUtf8(kTooShortText));
        return;
    }
    const std::string source = *sourceURL_;
    const SavePanelRequest request{.mimeTypes = {"video/mp4"},
                                   .extensions = {"mp4"},
                                   .canCreateDirectories = true,
                                   .proposedName = proposedSaveName(source),
                                   .title = "Save Trimwell",
                                   .prompt = "Save",
                                   .folder = folderOf(source)};
    const std::optional<std::string> chosen = panels_ ? panels_->runSave(request) : std::nullopt;
    if (!chosen || chosen->empty()) {
        setStatus(QStringLiteral("The save was cancelled."));
        return;
    }
    if (isSameFile(source, *chosen)) {
        setStatus(QString::fromUtf8(outcomeText(SaveOutcome::sameFile)));
        return;
    }
    beginSave(source, *chosen);
}

void TrimwellModel::beginSave(const std::string& source, const std::string& destination) {
    // The export works from these values; later changes of the marks or the rate do not
    // reach it.
    const double start = inPoint_;
    const double end = outPoint_;
    const std::int64_t videoBits = pictureBitsPerSecond(megabits_);
    const std::int64_t audioBits = hasAudio_ ? kSoundBitsPerSecond : 0;

    auto flag = std::make_shared<StopFlag>();
    setStopFlag(flag);
    setBusy(true);
    setProgress(0);
    setStatus(QStringLiteral("Saving."));
    player_->pause();
    setPlaying(false);
    auto box = std::make_shared<FractionBox>();
    setProgressBox(box);

    // Progress is polled, not pushed: the export only stores a number under the box's lock.
    setProgressTimer(nullptr);
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(kProgressIntervalMs);
    connect(timer.get(), &QTimer::timeout, this, [self = QPointer<TrimwellModel>(this)] {
        mainQueue().post([self] {
            if (self)
                self->copyProgress();
        });
    });
    timer->start();
    setProgressTimer(std::move(timer));

    // The previous export reported its end before this save could start; its thread is done.
    if (saveThread_.joinable())
        saveThread_.join();
    auto task = [self = QPointer<TrimwellModel>(this), source, destination, start, end, videoBits,
                 audioBits, flag, box]() mutable {
        std::exception_ptr error;
        try {
            ClipWriter::write(source, destination, start, end, videoBits, audioBits, flag,
                              [box](double fraction) { box->store(fraction); });
        } catch (...) {
            error = std::current_exception();
        }
        SaveEnd ended = saveEndOf(error);
        // In the window a movie that changed into one that cannot be cut ends as any
        // other save that stopped.
        if (ended.outcome == SaveOutcome::refused)
            ended.outcome = SaveOutcome::failed;
        const SaveOutcome outcome = ended.outcome;
        std::string reason = std::move(ended.reason);
        if (outcome == SaveOutcome::failed)
            reportFailure(reason);
        mainQueue().post([self = std::move(self), outcome, reason = std::move(reason)] {
            if (self)
                self->finishSave(outcome, reason);
        });
    };
    try {
        saveThread_ = std::thread(std::move(task));
    } catch (const std::system_error& e) {
        reportFailure(e.what());
        finishSave(SaveOutcome::failed, e.what());
    }
}

void TrimwellModel::copyProgress() {
    // A tick that runs after the save ended finds no box and keeps the final value.
    if (progressBox_)
        setProgress(progressBox_->value());
    if (stopFlag_ && stopFlag_->isFinishing())
        setFinishing(true);
}

void TrimwellModel::stop() {
    // A save that is putting its file in place ends saved whatever is pressed: it says so,
    // rather than "Stopping." before "Saved.".
    if (stopFlag_ && !stopFlag_->requestStop()) {
        setFinishing(true);
        return;
    }
    setStatus(QStringLiteral("Stopping."));
}

void TrimwellModel::setFinishing(bool value) {
    if (finishing_ == value)
        return;
    finishing_ = value;
    emit finishingChanged();
    if (finishing_)
        setStatus(QString::fromUtf8(kFinishingText));
}

void TrimwellModel::finishSave(SaveOutcome outcome, const std::string& reason) {
    // The export posted this as its last act, so the join returns at once.
    if (saveThread_.joinable())
        saveThread_.join();
    setProgressTimer(nullptr);
    setProgressBox(nullptr);
    setStopFlag(nullptr);
    setFinishing(false);
    setBusy(false);
    if (outcome == SaveOutcome::saved)
        setProgress(1);
    else if (outcome != SaveOutcome::sameFile)
        setProgress(0);
    // A folder that takes no file is the user's to change: its reason is said outright.
    if (outcome == SaveOutcome::notWritten)
        setStatus(QString::fromUtf8(outcomeText(outcome)) + ' ' + QString::fromStdString(reason));
    else
        setStatus(QString::fromUtf8(outcomeText(outcome)));
    // The same words as the line on standard output, for a user with no terminal.
    if (outcome == SaveOutcome::failed)
        setStatusDetail(QString::fromStdString("Trimwell save: " + reason));
}

} // namespace trimwell
