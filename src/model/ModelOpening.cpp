// Opening a movie: the open panel, drops, the background read and the ticket that drops
// stale reads, and forgetting a refused movie.
#include "TrimwellModel.h"

#include "model/MovieCheck.h"
#include "platform/ui/MainQueue.h"
#include "platform/ui/Panels.h"

#include <QDir>
#include <QMimeDatabase>
#include <QPointer>
#include <QStandardPaths>

#include <algorithm>
#include <filesystem>

namespace trimwell {

namespace {

void addUnique(std::vector<std::string>& list, const std::string& item) {
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

void addSuffixes(std::vector<std::string>& list, const QMimeType& type) {
    for (const QString& suffix : type.suffixes())
        addUnique(list, suffix.toStdString());
}

MovieCheck unreadable() {
    MovieCheck check;
    check.refusal = "That movie could not be read.";
    return check;
}

// The user's videos folder when it exists, else the home folder.
std::string firstOpenFolder() {
    const QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (!movies.isEmpty() && QDir(movies).exists())
        return movies.toStdString();
    return QDir::homePath().toStdString();
}

} // namespace

MovieTypes movieTypes() {
    const QMimeDatabase db;
    MovieTypes types;
    // Linux has one general type for movies and videos alike.
    types.mimeTypes.push_back("video/*");
    for (const QMimeType& type : db.allMimeTypes())
        if (type.name().startsWith(QLatin1String("video/")))
            addSuffixes(types.extensions, type);
    for (const char* name : {"video/mp4", "video/quicktime"}) {
        types.mimeTypes.push_back(name);
        addSuffixes(types.extensions, db.mimeTypeForName(QString::fromLatin1(name)));
    }
    // Offered only where the MIME database knows them, as the extension lookup would.
    for (const char* name : {"video/x-msvideo", "video/mpeg"}) {
        const QMimeType type = db.mimeTypeForName(QString::fromLatin1(name));
        if (!type.isValid())
            continue;
        types.mimeTypes.push_back(name);
        addSuffixes(types.extensions, type);
    }
    // Without a MIME database the panel can still find the types that are always offered.
    for (const char* suffix : {"mp4", "m4v", "mov", "qt"})
        addUnique(types.extensions, suffix);
    return types;
}

void TrimwellModel::pick() {
    if (busy_) {
        setStatus(QStringLiteral("A save is still running."));
        return;
    }
    if (!panels_)
        return;
    const MovieTypes types = movieTypes();
    const OpenPanelRequest request{.mimeTypes = types.mimeTypes,
                                   .extensions = types.extensions,
                                   .title = "Open a movie",
                                   .prompt = "Open",
                                   .folder = lastFolder_.empty() ? firstOpenFolder() : lastFolder_};
    const std::optional<std::string> chosen = panels_->runOpen(request);
    if (chosen && !chosen->empty())
        open(*chosen);
}

bool TrimwellModel::takeDrop(const std::vector<std::string>& paths) {
    if (busy_ || paths.empty() || paths.front().empty())
        return false;
    // The drop handler must return before the movie is opened, as with any drop.
    mainQueue().post([self = QPointer<TrimwellModel>(this), path = paths.front()] {
        if (self)
            self->open(path);
    });
    return true;
}

void TrimwellModel::open(const std::string& path) {
    if (busy_) {
        setStatus(QStringLiteral("A save is still running."));
        return;
    }
    setLoadTicket(loadTicket_ + 1);
    const qint64 ticket = loadTicket_;
    // Only remembered for this run: the program keeps no configuration.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (!error)
        lastFolder_ = absolute.parent_path().string();
    player_->pause();
    setPlaying(false);
    timeline_->dropMovie();
    player_->replaceCurrentItem(path);
    setSourceURL(path);
    setReading(true);
    setStatus(QStringLiteral("Reading the movie."));

    wantedRead_->store(ticket);
    // The guard is only moved, never copied, off the main thread, and only read on it.
    auto read = [self = QPointer<TrimwellModel>(this), wanted = wantedRead_, path,
                 ticket]() mutable {
        // A newer open, or the model's end, made this read worthless before it began.
        if (wanted->load() != ticket)
            return;
        MovieCheck check;
        try {
            check = checkMovie(path);
        } catch (...) {
            check = unreadable();
        }
        try {
            mainQueue().post([self = std::move(self), ticket, check = std::move(check)] {
                if (self)
                    self->finishRead(ticket, check);
            });
        } catch (...) { // out of memory: the movie stays "Reading" until the next open
        }
    };
    try {
        if (!readQueue_)
            readQueue_ = SerialQueue::make("trimwell.reading");
        readQueue_->async(std::move(read));
    } catch (...) { // no thread or no memory for the read: the movie cannot be read now

        finishRead(ticket, unreadable());
    }
}

void TrimwellModel::finishRead(qint64 ticket, const MovieCheck& check) {
    // A newer open took a newer ticket: this result, success or failure, is worthless.
    if (ticket != loadTicket_)
        return;
    setReading(false);
    if (check.refusal) {
        clearMovie(QString::fromStdString(*check.refusal));
        return;
    }
    // The window reports mark changes back; these are the model's own, not a drag.
    setInside(true);
    setDuration(check.duration);
    setHasAudio(check.hasAudio);
    setInPoint(0);
    setOutPoint(check.duration);
    setPlayhead(0);
    setInside(false);
    player_->selectTracks(check.pictureTrack, check.soundTrack);
    seek(0);
    refreshEndWatch();
    if (sourceURL_)
        timeline_->showMovie(*sourceURL_, check.duration);
    setStatus(QStringLiteral("Ready."));
}

void TrimwellModel::clearMovie(const QString& status) {
    timeline_->dropMovie();
    player_->pause();
    setPlaying(false);
    player_->replaceCurrentItem(std::nullopt);
    setSourceURL(std::nullopt);
    setDuration(0);
    setHasAudio(false);
    setInPoint(0);
    setOutPoint(0);
    setPlayhead(0);
    setStatus(status);
    refreshEndWatch();
}

} // namespace trimwell
