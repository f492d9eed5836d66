// The timeline's background reads on generated movies: what lands in the model, what is
// dropped, and that no reading thread is left behind.
#include "ModelTesting.h"

#include "model/TimelineModel.h"

#include <QSignalSpy>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

constexpr double kStripWidth = 800;
constexpr double kRowHeight = 40;

// 20 s: a key frame each second, sound silent but for a loud stretch from 8 s to 14 s.
std::string loudMiddleMovie() {
    return makeMovie("timeline-loud-middle.mp4",
                     "-f lavfi -i testsrc2=size=160x90:rate=30:duration=20 "
                     "-f lavfi -i \"aevalsrc=if(between(t\\,8\\,14)\\,0.8*sin(2*PI*440*t)\\,0)"
                     ":s=48000:d=20\" "
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p -c:a aac -shortest "
                     "-movflags +faststart");
}

std::string colourMovie(const std::string& colour, int seconds, bool sound) {
    const std::string length = std::to_string(seconds);
    return makeMovie("timeline-" + colour + ".mp4",
                     "-f lavfi -i color=c=" + colour + ":size=160x90:rate=30:duration=" + length +
                         (sound ? " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" +
                                      length + " -c:a aac"
                                : "") +
                         " -c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p");
}

// A screen recording that stood still from 2 s to 20 s: no pictures at all in between.
std::string pausedRecording() {
    return makeMovie("timeline-paused.mp4",
                     "-f lavfi -i testsrc2=size=160x90:rate=30:duration=30 "
                     "-vf \"select='lt(t\\,2)+gte(t\\,20)'\" -fps_mode passthrough "
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p");
}

// The first part of a movie, as a copy that stopped half way leaves it.
std::string truncatedMovie() {
    const std::string whole = loudMiddleMovie();
    const std::string path = freshFolder("timeline-truncated") + "/half.mp4";
    const std::string bytes = readFile(whole);
    writeFile(path, bytes.substr(0, bytes.size() / 2));
    return path;
}

std::string randomBytes() {
    const std::string path = freshFolder("timeline-random") + "/random.mp4";
    std::mt19937 rng(7);
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 100000; ++i)
        out.put(static_cast<char>(rng()));
    return path;
}

bool settled(const TimelineModel& t) {
    return t.pending().empty() && t.peaksDone();
}

// The loudest peak over a stretch of the movie.
float loudest(const TimelineModel& t, double from, double to) {
    float most = 0;
    const auto first = static_cast<std::size_t>(from / TimelineModel::kSecondsPerPeak);
    const auto last = static_cast<std::size_t>(to / TimelineModel::kSecondsPerPeak);
    for (std::size_t i = first; i < last && i < t.peaks().size(); ++i)
        most = std::max(most, t.peaks()[i]);
    return most;
}

// The colour in the middle of a picture, as red, green, blue.
Rgb middle(const TimelinePicture& p) {
    const std::size_t at = (static_cast<std::size_t>(p.height / 2) * p.width + p.width / 2) * 4;
    return {p.bgra[at + 2], p.bgra[at + 1], p.bgra[at]};
}

int threadsOfThisProcess() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                          std::filesystem::directory_iterator()));
}

} // namespace

TEST(TimelineModel, PicturesAndPeaksOfAMovieLandAsTheyAreRead) {
    for (double ratio : {1.0, 2.0}) {
        SCOPED_TRACE(::testing::Message() << "pixel ratio " << ratio);
        Rig rig;
        TimelineModel& t = rig.model->timeline();
        t.setStrip(kStripWidth, kRowHeight, ratio);
        QSignalSpy pictures(&t, &TimelineModel::picturesChanged);
        ASSERT_EQ(rig.open(loudMiddleMovie()), "Ready.");
        EXPECT_EQ(t.view().duration(), rig.model->duration());
        EXPECT_TRUE(t.view().whole());
        ASSERT_TRUE(waitUntil([&] { return settled(t); }));

        // Every wanted time was answered by a picture of the asked-for height, at the
        // movie's own shape, each at its key frame's time inside the movie.
        EXPECT_EQ(t.hasPictures(), true);
        ASSERT_FALSE(t.pictures().empty());
        // A key frame each second: every wanted time has the picture of its own second.
        for (double wanted : t.view().wantedTimes()) {
            const auto at = t.pictures().upper_bound(wanted + 1e-6);
            ASSERT_NE(at, t.pictures().begin()) << wanted;
            EXPECT_NEAR(std::prev(at)->first, wanted, 0.02) << wanted;
        }
        EXPECT_EQ(t.pictures().size(), t.view().wantedTimes().size());
        for (const auto& [seconds, picture] : t.pictures()) {
            EXPECT_EQ(seconds, picture->seconds);
            EXPECT_GE(seconds, 0);
            EXPECT_LT(seconds, 20);
            EXPECT_EQ(picture->height, static_cast<int>(kRowHeight * ratio));
            EXPECT_NEAR(picture->width, picture->height * 16.0 / 9, 2);
            EXPECT_EQ(picture->bgra.size(),
                      static_cast<std::size_t>(picture->width) * picture->height * 4);
        }
        // They arrived one by one rather than all at the end.
        EXPECT_GE(pictures.count(), 3);

        // The sound: one peak per 10 ms over the whole movie, loud only where it was loud.
        EXPECT_EQ(t.hasSound(), true);
        EXPECT_NEAR(t.peaks().size() * TimelineModel::kSecondsPerPeak, 20, 0.1);
        EXPECT_GT(loudest(t, 8.2, 13.8), 0.5);
        EXPECT_LT(loudest(t, 0.2, 7.8), 0.05);
        EXPECT_LT(loudest(t, 14.2, 19.8), 0.05);
    }
}

TEST(TimelineModel, APausedRecordingShowsItsOnePictureAcrossThePause) {
    TimelineModel t;
    t.setStrip(kStripWidth, kRowHeight, 1);
    t.showMovie(pausedRecording(), 30);
    ASSERT_TRUE(waitUntil([&] { return settled(t); }));
    EXPECT_EQ(t.hasSound(), false);
    EXPECT_TRUE(t.peaks().empty());
    ASSERT_FALSE(t.pictures().empty());
    // Times inside the pause were answered with the picture shown before it, so nothing is
    // drawn from inside the pause and the picture before it runs on to the next one.
    for (const auto& [seconds, picture] : t.pictures())
        EXPECT_TRUE(seconds < 2 || seconds >= 19.99) << seconds;
    EXPECT_EQ(t.pictures().count(0), 1u);
    EXPECT_TRUE(std::any_of(t.pictures().begin(), t.pictures().end(),
                            [](const auto& p) { return p.first >= 19.99; }));
    // The row: one picture from before the pause until the pause ends, and the row covers
    // the whole view without gaps or placeholders.
    const auto row = t.stretches();
    ASSERT_FALSE(row.empty());
    EXPECT_LE(row.front().from, 0);
    EXPECT_EQ(row.back().to, 30);
    for (std::size_t i = 0; i + 1 < row.size(); ++i)
        EXPECT_EQ(row[i].to, row[i + 1].from);
    const auto pause = std::find_if(row.begin(), row.end(),
                                    [](const auto& s) { return s.from <= 10 && 10 < s.to; });
    ASSERT_NE(pause, row.end());
    ASSERT_TRUE(pause->picture);
    EXPECT_FALSE(pause->pending);
    EXPECT_LT(pause->picture->seconds, 2);
    EXPECT_LE(pause->from, 2);
    EXPECT_GE(pause->to, 19.99);
    EXPECT_TRUE(std::none_of(row.begin(), row.end(), [](const auto& s) { return s.pending; }));
}

TEST(TimelineModel, ZoomingReadsOnlyWhatIsNewAndKeepsWhatWasRead) {
    TimelineModel t;
    t.setStrip(kStripWidth, kRowHeight, 1);
    t.showMovie(loudMiddleMovie(), 20);
    ASSERT_TRUE(waitUntil([&] { return settled(t); }));
    const auto whole = t.pictures();
    const int readForWhole = t.picturesRead();
    EXPECT_GT(readForWhole, 0);

    // Zoomed all the way in: a picture a second over the visible stretch, the earlier ones
    // kept; times answered before are not asked for again.
    for (int i = 0; i < 10; ++i)
        t.zoomAround(10, 2, 0.5);
    EXPECT_LE(t.view().span(), 12);
    EXPECT_LE(t.pending().size(), t.view().wantedTimes().size());
    ASSERT_TRUE(waitUntil([&] { return settled(t); }));
    for (const auto& [seconds, picture] : whole)
        EXPECT_EQ(t.pictures().count(seconds), 1u) << seconds;
    const int readZoomed = t.picturesRead();

    // Scrolling there and back, and back to the whole movie, needs nothing read again.
    const double start = t.view().start();
    t.scrollTo(start + 3);
    ASSERT_TRUE(waitUntil([&] { return settled(t); }));
    const int readScrolled = t.picturesRead();
    t.scrollTo(start);
    t.showWhole();
    EXPECT_TRUE(t.pending().empty());
    runFor(200);
    EXPECT_EQ(t.picturesRead(), readScrolled);
    EXPECT_LE(readScrolled - readZoomed, 4); // three seconds of new pictures, one a second
}

TEST(TimelineModel, OpeningAnotherMovieDropsTheOldWork) {
    Rig rig;
    TimelineModel& t = rig.model->timeline();
    t.setStrip(kStripWidth, kRowHeight, 1);
    const std::string red = colourMovie("red", 300, true);
    const std::string blue = colourMovie("blue", 20, false);
    ASSERT_EQ(rig.open(red), "Ready.");
    // The red movie's pictures and its five minutes of sound are being read; another open
    // drops them at once.
    rig.model->open(blue);
    EXPECT_TRUE(t.pictures().empty());
    EXPECT_TRUE(t.peaks().empty());
    EXPECT_TRUE(t.pending().empty());
    EXPECT_EQ(t.view().duration(), 0);
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }));
    ASSERT_TRUE(waitUntil([&] { return settled(t) && !t.pictures().empty(); }));
    runFor(300);
    // Only the blue movie's pictures, and no sound though the red movie had some.
    for (const auto& [seconds, picture] : t.pictures()) {
        const Rgb c = middle(*picture);
        EXPECT_GT(c.b, 150) << seconds;
        EXPECT_LT(c.r, 60) << seconds;
        EXPECT_LT(seconds, 20);
    }
    EXPECT_EQ(t.hasSound(), false);
    EXPECT_TRUE(t.peaks().empty());
    EXPECT_EQ(t.view().duration(), rig.model->duration());

    // A refused movie leaves no timeline either.
    EXPECT_EQ(rig.open(randomBytes()), "That movie could not be read.");
    EXPECT_TRUE(t.pictures().empty());
    EXPECT_EQ(t.view().duration(), 0);
    EXPECT_TRUE(waitUntil([&] { return t.runningWork() == 0; }));
}

TEST(TimelineModel, TurningItOffStopsTheWorkUntilTurnedOnAgain) {
    TimelineModel t;
    t.setStrip(kStripWidth, kRowHeight, 1);
    QSignalSpy enabled(&t, &TimelineModel::enabledChanged);
    t.showMovie(colourMovie("red", 300, true), 300);
    EXPECT_GT(t.runningWork(), 0);
    t.setEnabled(false);
    EXPECT_FALSE(t.enabled());
    EXPECT_EQ(enabled.count(), 1);
    EXPECT_TRUE(t.pictures().empty());
    EXPECT_TRUE(t.pending().empty());
    ASSERT_TRUE(waitUntil([&] { return t.runningWork() == 0; }));
    runFor(200);
    EXPECT_TRUE(t.pictures().empty());
    EXPECT_TRUE(t.peaks().empty());
    // Zooming while off reads nothing.
    t.zoomAround(100, 4, 0.5);
    EXPECT_EQ(t.runningWork(), 0);

    t.setEnabled(true);
    EXPECT_EQ(enabled.count(), 2);
    ASSERT_TRUE(waitUntil([&] { return settled(t) && !t.pictures().empty(); }));
    EXPECT_EQ(t.hasSound(), true);
}

TEST(TimelineModel, NoReadingThreadOutlivesTheModel) {
    // Made once before counting, so the threads the process keeps (Qt's, the test tools')
    // are there already.
    const std::string movie = colourMovie("red", 300, true);
    {
        Rig warm;
        warm.open(movie);
    }
    const int before = threadsOfThisProcess();
    {
        Rig rig;
        rig.model->timeline().setStrip(kStripWidth, kRowHeight, 1);
        ASSERT_EQ(rig.open(movie), "Ready.");
        ASSERT_TRUE(waitUntil([&] { return !rig.model->timeline().pictures().empty(); }));
        // The sound of five minutes is still being read.
        EXPECT_GT(rig.model->timeline().runningWork(), 0);
        EXPECT_GT(threadsOfThisProcess(), before);
    }
    EXPECT_EQ(threadsOfThisProcess(), before);
}

TEST(TimelineModel, ABrokenFileShowsWhatCanBeRead) {
    {
        SCOPED_TRACE("cut off half way");
        TimelineModel t;
        t.setStrip(kStripWidth, kRowHeight, 1);
        t.showMovie(truncatedMovie(), 20);
        ASSERT_TRUE(waitUntil([&] { return settled(t); }));
        EXPECT_EQ(t.hasPictures(), true);
        ASSERT_FALSE(t.pictures().empty());
        for (const auto& [seconds, picture] : t.pictures())
            EXPECT_LT(seconds, 15);
        // Where the file's data has ended the row stays empty, settled, to the stated end:
        // the last picture read is not drawn on as if the movie paused.
        const auto row = t.stretches();
        ASSERT_FALSE(row.empty());
        for (const auto& stretch : row) {
            SCOPED_TRACE(stretch.from);
            EXPECT_FALSE(stretch.pending);
            if (stretch.picture) {
                EXPECT_LE(stretch.to, 15);
            }
        }
        EXPECT_FALSE(row.back().picture);
        EXPECT_EQ(row.back().to, 20);
        EXPECT_EQ(t.hasSound(), true);
        const double heard = t.peaks().size() * TimelineModel::kSecondsPerPeak;
        EXPECT_GT(heard, 3);
        EXPECT_LT(heard, 15);
    }
    {
        SCOPED_TRACE("no movie at all");
        TimelineModel t;
        t.setStrip(kStripWidth, kRowHeight, 1);
        t.showMovie(randomBytes(), 20);
        ASSERT_TRUE(waitUntil([&] { return t.hasPictures().has_value() && t.peaksDone(); }));
        EXPECT_EQ(t.hasPictures(), false);
        EXPECT_EQ(t.hasSound(), false);
        EXPECT_TRUE(t.pictures().empty());
        EXPECT_TRUE(t.pending().empty());
        EXPECT_TRUE(waitUntil([&] { return t.runningWork() == 0; }));
    }
}
