#include "ClipWriter.h"

#include "PictureFit.h"
#include "PumpBook.h"
#include "SavePolicy.h"
#include "SoundForm.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/media/Asset.h"
#include "platform/media/Composition.h"
#include "platform/media/Reader.h"
#include "platform/media/Writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace trimwell::ClipWriter {

namespace {

// Both paths with links resolved and dots removed; also one file under two names.
// Whether name is a partial file a save writes (".NAME.trimwell-PID.partial"); its PID if so.
std::optional<pid_t> partialOwner(const std::string& name) {
    constexpr std::string_view mark = ".trimwell-", suffix = ".partial";
    if (name.size() < 2 + mark.size() + suffix.size() || name.front() != '.' ||
        !name.ends_with(suffix))
        return std::nullopt;
    const std::size_t at = name.rfind(mark, name.size() - suffix.size());
    if (at == std::string::npos || at == 0)
        return std::nullopt;
    const std::string digits =
        name.substr(at + mark.size(), name.size() - suffix.size() - at - mark.size());
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return static_cast<pid_t>(std::stol(digits));
}

// Removes the named partial files in folder that a killed save of this user left behind:
// our name pattern, a regular file of ours, and a process that no longer exists. Anything
// else, a running save's file included, stays.
void removeAbandonedPartials(const fs::path& folder) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::optional<pid_t> owner = partialOwner(name);
        if (!owner || *owner == ::getpid())
            continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (::kill(*owner, 0) == 0 || errno != ESRCH)
            continue;
        ::unlink(it->path().c_str());
    }
}

// The file a save writes before it becomes the destination. Where the filesystem allows,
// it has no name at all (O_TMPFILE in the destination's folder), so a save killed or lost
// to a power cut leaves nothing behind; it is named only once it is finished. Elsewhere
// (vfat, exFAT, some network filesystems) it is a hidden named file beside the
// destination, removed on every way out but the successful one, and removed by a later
// save into the folder once its process is gone. TRIMWELL_NAMED_PARTIAL_FILE=1 in the
// environment forces the named file, so that tests can reach it on any filesystem.
class PartialFile {
public:
    explicit PartialFile(const std::string& destination)
        : destination_(destination), named_(partialPathFor(destination)) {
        const fs::path folder = fs::path(destination).parent_path();
        removeAbandonedPartials(folder);
        const std::string dir = folder.empty() ? std::string(".") : folder.string();
        const char* force = std::getenv("TRIMWELL_NAMED_PARTIAL_FILE");
        if (!force || std::string_view(force) != "1")
            fd_ = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            refuseFolder(errno, dir);
            createNamed();
            return;
        }
        // The writer opens its file by name, and the muxer opens it again by that name to
        // move the index to the front: a path to this descriptor serves both, where a
        // stream over the descriptor alone would not serve the second. Without /proc there
        // is no such path, and the named file is used.
        procPath_ = "/proc/self/fd/" + std::to_string(fd_);
        if (::access(procPath_.c_str(), W_OK) != 0) {
            ::close(fd_);
            fd_ = -1;
            procPath_.clear();
        }
    }
    ~PartialFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!kept_) {
            std::error_code ec;
            fs::remove(named_, ec);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // What the writer opens.
    const std::string& path() const { return fd_ >= 0 ? procPath_ : named_; }

    // Flushes the finished file to disk and puts it in the destination's place, in one
    // rename: whatever was there stays until the new movie is complete on disk.
    void replaceDestination() {
        if (fd_ >= 0) {
            if (::fsync(fd_) != 0)
                throw PlatformError::fromErrno(errno, destination_);
            std::error_code ec;
            fs::remove(named_, ec);
            if (::linkat(AT_FDCWD, procPath_.c_str(), AT_FDCWD, named_.c_str(),
                         AT_SYMLINK_FOLLOW) != 0)
                throw PlatformError::fromErrno(errno, destination_);
        } else {
            syncFile(named_);
        }
        if (::rename(named_.c_str(), destination_.c_str()) != 0)
            throw PlatformError::fromErrno(errno, destination_);
        kept_ = true;
    }

private:
    // A folder that takes no new file is the user's to fix, and nothing was written yet:
    // said as such, naming the folder rather than a hidden file the user never saw.
    static void refuseFolder(int error, const std::string& dir) {
        if (error != EACCES && error != EPERM && error != EROFS)
            return;
        std::error_code ec;
        fs::path shown = fs::absolute(dir, ec);
        shown = ec ? fs::path(dir) : shown.lexically_normal();
        std::string name = shown.string();
        if (name.size() > 1 && name.back() == '/')
            name.pop_back();
        throw ClipError::folderRefused(error == EROFS
                                           ? "The folder " + name + " is on a read-only disk."
                                           : "You may not write in the folder " + name + ".");
    }

    // The named partial file is made here, not first by the writer, so that a folder that
    // refuses it is told apart from a failure of the writing itself.
    void createNamed() {
        const int fd = ::open(named_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            const fs::path folder = fs::path(destination_).parent_path();
            refuseFolder(error, folder.empty() ? std::string(".") : folder.string());
            return; // any other reason is the writer's to meet and report
        }
        ::close(fd);
    }

    static void syncFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw PlatformError::fromErrno(errno, path);
        const int ret = ::fsync(fd);
        const int err = errno;
        ::close(fd);
        if (ret != 0)
            throw PlatformError::fromErrno(err, path);
    }

    std::string destination_;
    std::string named_;    // the hidden name beside the destination
    int fd_{-1};           // the unnamed file, when there is one
    std::string procPath_; // its path through /proc
    bool kept_{false};
};

// Enough of a file's identity to tell that it was replaced, shortened or rewritten.
struct FileIdentity {
    dev_t device{0};
    ino_t inode{0};
    off_t size{0};
    struct timespec modified {};
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// How far after the in mark the first picture may lie and still be where the cut starts;
// a picture that starts later than this is shown from the mark on instead.
constexpr double kLongestLead = 0.25;

// The rate the output states and the encoder plans its bits by (each picture keeps its own
// time): the source's own frame duration where it has a steady rate; else the nearest
// 1/600 s to its average rate.
MediaTime frameDurationOf(const Track& picture) {
    if (picture.frameDuration.isValid() && picture.frameDuration.value > 0)
        return picture.frameDuration;
    const double rate = static_cast<double>(picture.nominalFrameRate);
    MediaTime d = rate > 1 && std::isfinite(rate) ? MediaTime::fromSeconds(1 / rate, 600)
                                                  : MediaTime::make(20, 600);
    if (d.value < 1) // beyond 1200 frames a second: one tick is the finest step
        d = MediaTime::make(1, 600);
    return d;
}

// The shortest stretch the writer makes of either track, in seconds: below it a cut is
// refused, and a sound track is left out.
constexpr double kShortestTrack = 0.05;

// Where a cut whose marks are given ends. A file whose last picture is shown for a sliver
// of its time reads as a variable rate to every other program, so the cut ends on the
// source picture boundary (a picture's start, or the end of the last one) nearest the
// out mark, when one lies within half a picture of it; a cut with no boundary that near
// (a still, a long pause in a screen recording) ends at the mark. It never becomes too
// short to save, nor runs past what the source covers.
MediaTime endOnPictureBoundary(const Asset& asset, const Track& picture, const TimeRange& cut) {
    const MediaTime out = cut.end();
    if (picture.isStill)
        return out;
    const MediaTime frame = frameDurationOf(picture);
    const MediaTime half = MediaTime::make(frame.value, frame.timescale * 2);
    const MediaTime earliest = cut.start + MediaTime::fromSeconds(kShortestTrack, 600);
    std::vector<MediaTime> boundaries{picture.timeRange.end()};
    // The first picture from half a picture before the mark is the nearest one before it at
    // a steady rate; the first from the mark on, the nearest one after it.
    const MediaTime before = asset.firstPictureTimeAtOrAfter(picture, out - half);
    boundaries.push_back(before);
    if (before.isValid() && before < out)
        boundaries.push_back(asset.firstPictureTimeAtOrAfter(picture, out));
    // A mark halfway between two boundaries keeps the picture it falls in.
    std::sort(boundaries.begin(), boundaries.end(), [](const MediaTime& a, const MediaTime& b) {
        return a.isValid() && (!b.isValid() || a < b);
    });
    MediaTime best = out;
    MediaTime bestDistance = MediaTime::invalid();
    for (const MediaTime& b : boundaries) {
        if (!b.isValid() || b <= earliest || b > picture.timeRange.end())
            continue;
        const MediaTime distance = b < out ? out - b : b - out;
        if (distance <= half && (!bestDistance.isValid() || distance <= bestDistance)) {
            best = b;
            bestDistance = distance;
        }
    }
    return best;
}

struct Counts {
    std::int64_t video{0};
    std::int64_t audio{0};
};

struct Export {
    std::shared_ptr<StopFlag> stop;
    std::function<void(double)> onProgress;
    std::shared_ptr<Reader> reader;
    std::shared_ptr<Writer> writer;
    std::shared_ptr<ReaderOutput> videoOutput;
    std::shared_ptr<WriterInput> videoInput;
    std::shared_ptr<ReaderOutput> audioOutput; // with audioInput: both or neither
    std::shared_ptr<WriterInput> audioInput;
    double total{0};
};

// The highest fraction the pumps report: the index and the file's move into place are
// still to come when the encoders have given out their last pictures.
constexpr double kLastReportBeforeTheEnd = 0.99;

// Tells how far the save is, half by the samples read and half by the pictures the encoder
// has given out: x264 holds back a second or so of pictures, and at large sizes working
// through them at the end takes many seconds, so the reading alone would reach its end and
// then stand still. The encoder's part is the share of the pictures read so far that it has
// given out, scaled by how far the reading got: counted in pictures, not by their times, it
// takes no leap when a picture that stays on screen for seconds comes out, and the reading
// keeps the report moving while such a picture holds the encoder. Only moves on.
void reportProgress(const Export& x, PumpBook& book, double readTime) {
    if (!(x.total > 0) || !x.onProgress)
        return;
    const double encoded = x.videoInput->encodedShare();
    double f = 0;
    {
        std::lock_guard guard(book.lock);
        if (std::isfinite(readTime))
            book.furthestRead = std::max(book.furthestRead, std::min(readTime, x.total));
        // 1 is said only once the file is in place.
        f = std::clamp(book.furthestRead / x.total * (1 + encoded) / 2, 0.0,
                       kLastReportBeforeTheEnd);
        if (f - book.lastReport < 0.02 && !(f >= kLastReportBeforeTheEnd && book.lastReport < f))
            return;
        book.lastReport = f;
    }
    x.onProgress(f);
}

// Moves samples from one reader output to its writer input until the end, a failure or
// a stop; called again and again on its own queue while the input is ready.
void pumpSamples(const Export& x, const std::shared_ptr<PumpBook>& book,
                 const std::shared_ptr<DispatchGroup>& group, bool video) {
    ReaderOutput& output = video ? *x.videoOutput : *x.audioOutput;
    WriterInput& input = video ? *x.videoInput : *x.audioInput;
    auto close = [&] {
        if (book->close(video))
            group->leave();
    };
    auto recordFrom = [&](const std::optional<PlatformError>& error) {
        book->recordFailure(explain(error));
    };
    auto stopHere = [&] {
        {
            std::lock_guard guard(book->lock);
            book->cancelled = true;
        }
        x.reader->cancelReading();
        x.writer->cancelWriting();
        input.markAsFinished();
        close();
    };
    if (!input.isReadyForMoreMediaData())
        return;
    for (;;) {
        if (x.stop->isStopped()) {
            stopHere();
            return;
        }
        std::optional<SampleBuffer> sample = output.copyNextSampleBuffer();
        if (!sample) {
            if (x.reader->status() == Reader::Status::failed) {
                recordFrom(x.reader->error());
                x.writer->cancelWriting();
            } else {
                // The encoder's held-back pictures one at a time, looking for a stop and
                // telling progress between them: at large sizes they take many seconds.
                while (input.finishStep()) {
                    if (x.stop->isStopped()) {
                        stopHere();
                        return;
                    }
                    reportProgress(x, *book, x.total);
                }
            }
            input.markAsFinished();
            close();
            return;
        }
        if (!input.appendSampleBuffer(*sample)) {
            recordFrom(x.writer->error());
            x.reader->cancelReading();
            x.writer->cancelWriting();
            input.markAsFinished();
            close();
            return;
        }
        {
            std::lock_guard guard(book->lock);
            ++(video ? book->videoSamples : book->audioSamples);
        }
        // Both sides tell how far they are, and the report only moves on: a picture may
        // stay on screen for seconds (a still, a screen recording that did not change)
        // while the sound is worked through.
        reportProgress(x, *book, sampleBufferPresentationTime(*sample).seconds());
        if (!input.isReadyForMoreMediaData())
            return;
    }
}

// Runs one pump's step; whatever it throws ends the save as a failure that says what failed,
// and this side's input is closed as on any other way out.
void pump(const Export& x, const std::shared_ptr<PumpBook>& book,
          const std::shared_ptr<DispatchGroup>& group, bool video) {
    try {
        pumpSamples(x, book, group, video);
        return;
    } catch (...) {
        book->recordCurrentFailure(video ? "Saving the picture" : "Saving the sound");
    }
    // Each step on its own: the side must close even when memory has run out.
    try {
        x.reader->cancelReading();
    } catch (...) {
    }
    try {
        x.writer->cancelWriting();
    } catch (...) {
    }
    (video ? *x.videoInput : *x.audioInput).markAsFinished();
    if (book->close(video))
        group->leave();
}

// Hands the export's end to the waiting thread once; a second end changes nothing.
void settle(const std::shared_ptr<std::promise<Counts>>& done, std::exception_ptr error) {
    try {
        done->set_exception(std::move(error));
    } catch (const std::future_error&) {
    }
}

// Once both pumps have closed: the export's end, or the writer told to finish the file.
void finish(const std::shared_ptr<const Export>& x, const std::shared_ptr<PumpBook>& book,
            const std::shared_ptr<std::promise<Counts>>& done) {
    bool cancelled = false;
    std::optional<std::string> failure;
    {
        std::lock_guard guard(book->lock);
        cancelled = book->cancelled;
        failure = book->failure;
    }
    // A stop that came while the encoders finished (no pump looked then) still stops the save.
    if (cancelled || x->stop->isStopped()) {
        if (x->writer->status() == Writer::Status::writing)
            x->writer->cancelWriting();
        settle(done, std::make_exception_ptr(ClipError::cancelled()));
        return;
    }
    if (failure) {
        if (x->writer->status() == Writer::Status::writing)
            x->writer->cancelWriting();
        settle(done, std::make_exception_ptr(
                         ClipError::failed(failure->empty() ? "The save stopped." : *failure)));
        return;
    }
    x->writer->finishWriting([x, book, done] {
        try {
            const Writer::Status status = x->writer->status();
            const std::optional<PlatformError> error = x->writer->error();
            Counts counts;
            {
                std::lock_guard guard(book->lock);
                counts = {book->videoSamples, book->audioSamples};
            }
            if (status == Writer::Status::completed)
                done->set_value(counts);
            else if (x->stop->isStopped())
                settle(done, std::make_exception_ptr(ClipError::cancelled()));
            else
                settle(done, std::make_exception_ptr(ClipError::failed(explain(error))));
        } catch (...) {
            settle(done, std::current_exception());
        }
    });
}

// Waits until every task queued on queue so far has run and been let go of.
void drain(SerialQueue& queue) {
    auto ran = std::make_shared<std::promise<void>>();
    std::future<void> ranFuture = ran->get_future();
    queue.async([ran] { ran->set_value(); });
    ranFuture.wait();
}

// Runs both pumps to their end and finishes the file; throws what ended the export.
// Returns only once nothing of the export runs any more: its end is known before the last
// task that carried it has let go, and that task may own the encoders and their threads.
Counts runPumps(Export&& exported) {
    // Every thread made before any pump runs: threads that cannot start fail the save
    // before it began.
    Queue* threads = nullptr;
    std::shared_ptr<SerialQueue> videoQueue, audioQueue;
    try {
        threads = &globalQueue();
        videoQueue = SerialQueue::make("trimwell.video");
        if (exported.audioInput)
            audioQueue = SerialQueue::make("trimwell.audio");
    } catch (const std::system_error&) {
        throw ClipError::failed(explain(PlatformError::fromCurrentException("Starting the save")));
    }
    Queue& pool = *threads;
    auto released = std::make_shared<std::promise<void>>();
    std::future<void> allReleased = released->get_future();
    // The export goes with its last holder, whichever thread that is; then the wait ends.
    std::shared_ptr<const Export> x(new Export(std::move(exported)), [released](const Export* p) {
        delete p;
        released->set_value();
    });
    auto book = std::make_shared<PumpBook>();
    auto done = std::make_shared<std::promise<Counts>>();
    std::future<Counts> result = done->get_future();
    auto group = std::make_shared<DispatchGroup>();

    group->enter();
    x->videoInput->requestMediaDataWhenReady(videoQueue,
                                             [x, book, group] { pump(*x, book, group, true); });
    if (x->audioInput) {
        group->enter();
        x->audioInput->requestMediaDataWhenReady(
            audioQueue, [x, book, group] { pump(*x, book, group, false); });
    }
    group->notify(pool, [x, book, done] {
        try {
            finish(x, book, done);
        } catch (...) {
            try {
                x->writer->cancelWriting();
                settle(done, std::make_exception_ptr(ClipError::failed(explain(
                                 PlatformError::fromCurrentException("Finishing the file")))));
            } catch (...) {
                settle(done, std::current_exception());
            }
        }
    });
    std::optional<Counts> counts;
    std::exception_ptr error;
    try {
        counts = result.get();
    } catch (...) {
        error = std::current_exception();
    }
    // Every pump has closed its input by now, so no input holds a task that holds the export.
    x.reset();
    allReleased.wait();
    drain(*videoQueue);
    if (audioQueue)
        drain(*audioQueue);
    if (error)
        std::rethrow_exception(error);
    return *counts;
}

} // namespace

std::string partialPathFor(const std::string& destination) {
    const fs::path dest(destination);
    std::string name = ".";
    name.append(dest.filename().string()).append(".trimwell-");
    name.append(std::to_string(::getpid())).append(".partial");
    return (dest.parent_path() / name).string();
}

void write(const std::string& source, const std::string& destination, double start, double end,
           std::int64_t videoBitsPerSecond, std::int64_t audioBitsPerSecond,
           std::shared_ptr<StopFlag> stop, std::function<void(double)> onProgress) {
    if (isSameFile(source, destination))
        throw ClipError::sameFile();
    if (!stop)
        stop = std::make_shared<StopFlag>();

    // Everything is written to a partial file in the destination's folder; the destination
    // itself is only ever replaced, in one rename, by a finished and checked movie.
    PartialFile partial(destination);
    {
        struct stat st {};
        if (::stat(destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw PlatformError::fromErrno(EISDIR, destination);
    }

    Asset asset(source);
    const double length = asset.loadDuration().seconds();
    const std::optional<FileIdentity> sourceBefore = identityOf(source);
    if (!std::isfinite(length) || length <= 0)
        throw ClipError::noLength();
    const std::vector<Track> pictures = asset.loadTracks(MediaType::video);
    if (pictures.empty())
        throw ClipError::noPicture();
    const std::vector<Track> sounds = asset.loadTracks(MediaType::audio);
    const Track& picture = pictures.front();
    const Track* sound = sounds.empty() ? nullptr : &sounds.front();

    const PictureFit fit = uprightEven(picture.naturalSize, picture.preferredTransform);

    const bool withSound = audioBitsPerSecond > 0 && sound;
    // The cut keeps everything between the marks that either track covers: where the
    // picture ends first, its last picture stays on screen while the sound goes on.
    // A still picture stays on screen as long as the movie lasts.
    TimeRange covered =
        picture.isStill ? TimeRange{MediaTime::zero(), asset.loadDuration()} : picture.timeRange;
    if (withSound && sound->timeRange.isValid() && !sound->timeRange.isEmpty()) {
        const MediaTime from = std::min(covered.start, sound->timeRange.start);
        const MediaTime to = std::max(covered.end(), sound->timeRange.end());
        covered = TimeRange::fromStartToEnd(from, to);
    }
    TimeRange cut = TimeRange::fromStartToEnd(MediaTime::fromSeconds(start, 600),
                                              MediaTime::fromSeconds(end, 600))
                        .intersection(covered);
    if (!cut.isValid() || cut.isEmpty() || cut.duration.seconds() <= kShortestTrack)
        throw ClipError::noLength();

    // The cut's first picture is the first one at or after the in mark; both tracks start
    // at that picture's own time, so a mark between two pictures (or a picture that starts
    // a little after its sound) cannot put the sound out of step.
    const MediaTime firstPicture = asset.firstPictureTimeAtOrAfter(picture, cut.start);
    if (firstPicture.isValid() && firstPicture > cut.start && firstPicture < cut.end() &&
        (firstPicture - cut.start).seconds() < kLongestLead)
        cut = TimeRange::fromStartToEnd(firstPicture, cut.end());
    cut = TimeRange::fromStartToEnd(cut.start, endOnPictureBoundary(asset, picture, cut));
    if (cut.duration.seconds() <= kShortestTrack)
        throw ClipError::noLength();

    auto composition = std::make_shared<Composition>();
    CompositionTrack* pictureTrack = composition->addMutableTrack(MediaType::video, 0);
    if (!pictureTrack)
        throw ClipError::failed("The picture could not be cut.");
    const TimeRange shown = cut.intersection(picture.timeRange);
    if (shown.isValid() && !shown.isEmpty() && !picture.isStill) {
        pictureTrack->insertTimeRange(shown, asset, picture, shown.start - cut.start);
    } else {
        // Only sound between the marks (or a still): the picture nearest to them stands in.
        const MediaTime still = std::min(frameDurationOf(picture), picture.timeRange.duration);
        const TimeRange nearest = cut.start >= picture.timeRange.end()
                                      ? TimeRange::fromStartToEnd(picture.timeRange.end() - still,
                                                                  picture.timeRange.end())
                                      : TimeRange{picture.timeRange.start, still};
        pictureTrack->insertTimeRange(nearest, asset, picture, MediaTime::zero());
    }

    CompositionTrack* soundTrack = nullptr;
    if (withSound) {
        const TimeRange heard = cut.intersection(sound->timeRange);
        if (heard.isValid() && !heard.isEmpty() && heard.duration.seconds() > kShortestTrack) {
            soundTrack = composition->addMutableTrack(MediaType::audio, 0);
            if (soundTrack)
                soundTrack->insertTimeRange(heard, asset, *sound, heard.start - cut.start);
        }
    }

    const MediaTime frameDuration = frameDurationOf(picture);
    auto videoComposition = std::make_shared<VideoComposition>();
    videoComposition->renderSize = fit.size;
    videoComposition->frameDuration = frameDuration;
    videoComposition->instructions.push_back(
        {{MediaTime::zero(), cut.duration},
         {{pictureTrack->trackID(), fit.transform, MediaTime::zero()}}});

    Export x;
    x.stop = stop;
    x.onProgress = std::move(onProgress);
    x.reader = std::make_shared<Reader>(composition);
    auto videoOutput = std::make_shared<VideoCompositionOutput>(
        std::vector<int>{pictureTrack->trackID()}, PixelBufferAttributes{kPixelFormat32BGRA, 0, 0});
    videoOutput->setVideoComposition(videoComposition);
    if (!x.reader->canAddOutput(videoOutput))
        throw ClipError::failed("The picture could not be read.");
    x.reader->addOutput(videoOutput);
    x.videoOutput = videoOutput;

    SoundForm form;
    if (soundTrack) {
        form = soundForm(*sound);
        auto audioOutput = std::make_shared<TrackOutput>(
            soundTrack->trackID(), pcmSettings(form.sampleRate, form.channels));
        if (x.reader->canAddOutput(audioOutput)) {
            x.reader->addOutput(audioOutput);
            x.audioOutput = audioOutput;
        }
    }

    x.writer = std::make_shared<Writer>(partial.path(), FileType::mpeg4);
    x.writer->setShouldOptimizeForNetworkUse(true);

    VideoSettings video;
    video.codec = VideoCodec::h264;
    video.width = static_cast<int>(fit.size.width);
    video.height = static_cast<int>(fit.size.height);
    video.averageBitRate = videoBitsPerSecond;
    video.profileLevel = ProfileLevel::h264HighAutoLevel;
    video.expectedSourceFrameRate = 1 / frameDuration.seconds();
    video.frameDuration = frameDuration;
    x.videoInput = WriterInput::makeVideo(video);
    if (!x.writer->canAddInput(x.videoInput))
        throw ClipError::failed("The picture settings were refused.");
    x.writer->addInput(x.videoInput);

    if (x.audioOutput) {
        AudioSettings audio;
        audio.formatID = kAudioFormatMPEG4AAC;
        audio.sampleRate = form.sampleRate;
        audio.channels = form.channels;
        audio.encoderBitRate = audioBitsPerSecond;
        x.audioInput = WriterInput::makeAudio(audio);
        if (!x.writer->canAddInput(x.audioInput))
            throw ClipError::failed("The sound settings were refused.");
        x.writer->addInput(x.audioInput);
    }

    if (!x.writer->startWriting())
        throw ClipError::failed(explain(x.writer->error()));
    x.writer->startSessionAtSourceTime(MediaTime::zero());
    if (!x.reader->startReading()) {
        x.writer->cancelWriting();
        throw ClipError::failed(explain(x.reader->error()));
    }
    x.total = cut.duration.seconds();

    const bool soundWritten = x.audioInput != nullptr;
    const std::function<void(double)> onProgressAtEnd = x.onProgress;
    const Counts counts = runPumps(std::move(x));
    if (counts.video <= 0)
        throw ClipError::failed("The cut had no frames.");
    if (soundWritten && counts.audio == 0)
        throw ClipError::failed("The cut had no sound.");

    // A source that was deleted, shortened or rewritten while it was read may have given
    // a cut that is not the one the user chose.
    if (!sourceBefore || identityOf(source) != sourceBefore)
        throw ClipError::failed("The movie changed while it was being saved.");

    // Past here the file is put in place, which is not stopped halfway: a stop that came
    // first ends the save, and one that comes later is refused.
    if (!stop->beginFinishing())
        throw ClipError::cancelled();
    partial.replaceDestination();
    if (onProgressAtEnd)
        onProgressAtEnd(1);
}

} // namespace trimwell::ClipWriter
