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

constexpr std::int64_t kSoundBitsPerSecond = 160'000;
constexpr int kProgressIntervalMs = 100;

// megabits × 1,000,000, truncated toward zero. The slider keeps it between 0.5 and 20; a
// value outside any integer is kept in range instead of being undefined behaviour.
std::int64_t pictureBitsPerSecond(double megabits) {
    const double bits = megabits * 1'000'000.0;
    if (!(bits > 0))
        return 0;
    if (bits >= 9.2e18)
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(bits);
}

// The one line a failed save leaves on standard output; the status line shows a fixed text.
void reportFailure(const std::string& description) {
    std::cout << ("Trimwell save: " + description + "\n") << std::flush;
}

fs::path resolved(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec)
        absolute = path;
    fs::path real = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : real;
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

bool isSameFile(const std::string& a, const std::string& b) {
    if (resolved(a) == resolved(b))
        return true;
    // Another name for the same file, such as a hard link or a differently cased name on a
    // case-folding disk: writing there would still replace the movie being cut.
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

void TrimwellModel::pickSave() {
    if (busy_)
        return;
    // The status says the movie is being read, and the marks are not yet its own.
    if (reading_)
        return;
    if (!canSave() || !sourceURL_) {
        setStatus(duration_ == 0 ? QStringLiteral("Open a movie.")
                                 : QStringLiteral("The cut is too short."));
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
        setStatus(QStringLiteral("Choose a different file than the one you opened."));
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
        SaveOutcome outcome = SaveOutcome::saved;
        std::string reason;
        try {
            ClipWriter::write(source, destination, start, end, videoBits, audioBits, flag,
                              [box](double fraction) { box->store(fraction); });
        } catch (const ClipError& e) {
            if (e.kind() == ClipError::Kind::cancelled) {
                outcome = SaveOutcome::cancelled;
            } else if (e.kind() == ClipError::Kind::sameFile) {
                outcome = SaveOutcome::sameFile;
            } else {
                outcome = SaveOutcome::failed;
                reason = e.description();
            }
        } catch (...) {
            outcome = SaveOutcome::failed;
            reason = describe(std::current_exception());
        }
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
}

void TrimwellModel::stop() {
    if (stopFlag_)
        stopFlag_->requestStop();
    setStatus(QStringLiteral("Stopping."));
}

void TrimwellModel::finishSave(SaveOutcome outcome, const std::string& reason) {
    // The export posted this as its last act, so the join returns at once.
    if (saveThread_.joinable())
        saveThread_.join();
    setProgressTimer(nullptr);
    setProgressBox(nullptr);
    setStopFlag(nullptr);
    setBusy(false);
    switch (outcome) {
    case SaveOutcome::saved:
        setProgress(1);
        setStatus(QStringLiteral("Saved."));
        break;
    case SaveOutcome::cancelled:
        setProgress(0);
        setStatus(QStringLiteral("The save was cancelled. The partial file was removed."));
        break;
    case SaveOutcome::sameFile:
        setStatus(QStringLiteral("Choose a different file than the one you opened."));
        break;
    case SaveOutcome::failed:
        setProgress(0);
        setStatus(QStringLiteral("The save stopped. The partial file was removed."));
        // The same words as the line on standard output, for a user with no terminal.
        setStatusDetail(QString::fromStdString("Trimwell save: " + reason));
        break;
    }
}

} // namespace trimwell
