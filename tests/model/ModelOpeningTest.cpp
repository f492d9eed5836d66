#include "ModelTesting.h"

#include <QDir>
#include <QMimeDatabase>
#include <QSignalSpy>
#include <QStandardPaths>

#include <filesystem>
#include <fstream>
#include <random>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

std::string soundOnlyFile() {
    return makeMovie("model-sound-only.m4a",
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -c:a aac");
}

std::string randomBytesFile() {
    const std::string path = freshFolder("model-random") + "/random.mp4";
    std::mt19937 rng(11);
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 200000; ++i)
        out.put(static_cast<char>(rng()));
    return path;
}

void expectNoMovie(const Rig& rig) {
    const TrimwellModel& m = *rig.model;
    EXPECT_FALSE(m.sourceURL());
    EXPECT_EQ(m.duration(), 0);
    EXPECT_FALSE(m.hasAudio());
    EXPECT_EQ(m.inPoint(), 0);
    EXPECT_EQ(m.outPoint(), 0);
    EXPECT_EQ(m.playhead(), 0);
    EXPECT_FALSE(m.playing());
    EXPECT_FALSE(m.canSave());
    EXPECT_FALSE(rig.player->hasItem());
    EXPECT_TRUE(rig.player->boundaries.empty());
    EXPECT_FALSE(m.boundaryToken());
}

} // namespace

TEST(ModelOpening, AMovieOpensWithMarksAroundIt) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    const std::string path = tenSecondMovie();
    // The player plays and the clock tells the model so.
    rig.player->play();
    m.armClock();
    rig.player->tick(0);
    ASSERT_TRUE(waitUntil([&] { return m.playing(); }));

    m.open(path);
    // At once: the new item plays in the player and the reading is announced.
    EXPECT_EQ(m.status(), "Reading the movie.");
    EXPECT_EQ(rig.player->item, path);
    EXPECT_EQ(m.sourceURL(), path);
    EXPECT_FALSE(m.playing());
    EXPECT_EQ(rig.player->status, TimeControlStatus::paused);
    EXPECT_EQ(ModelInternals::loadTicket(m), 1);
    EXPECT_EQ(m.duration(), 0);

    ASSERT_TRUE(waitUntil([&] { return m.status() != "Reading the movie."; }));
    EXPECT_EQ(m.status(), "Ready.");
    EXPECT_NEAR(m.duration(), 10, 0.05);
    EXPECT_TRUE(m.hasAudio());
    EXPECT_EQ(m.inPoint(), 0);
    EXPECT_EQ(m.outPoint(), m.duration());
    EXPECT_EQ(m.playhead(), 0);
    EXPECT_FALSE(ModelInternals::inside(m));
    EXPECT_TRUE(m.canSave());
    ASSERT_FALSE(rig.player->seeks.empty());
    EXPECT_EQ(rig.player->seeks.back(), 0);
    // The watch stands at the new out mark, on the player's 1/600 s grid.
    EXPECT_NEAR(rig.player->boundaryTime(), m.duration(), 1.0 / 1200);
    EXPECT_TRUE(m.boundaryToken());
}

TEST(ModelOpening, NothingCanBeSavedWhileTheNextMovieIsRead) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    ASSERT_EQ(rig.open(tenSecondMovie()), "Ready.");
    m.setInPoint(2);
    m.setOutPoint(8);
    ASSERT_TRUE(m.canSave());
    const std::string next = silentMovie("model-2s-silent.mp4", 2);
    m.open(next);
    // The marks still belong to the previous movie; a save now would cut the new file there.
    EXPECT_EQ(m.outPoint(), 8);
    EXPECT_FALSE(m.canSave());
    m.pickSave();
    EXPECT_TRUE(rig.panels.saveRequests.empty());
    EXPECT_EQ(m.status(), "Reading the movie.");
    ASSERT_TRUE(waitUntil([&] { return m.status() == "Ready."; }));
    EXPECT_TRUE(m.canSave());
}

TEST(ModelOpening, APictureWithoutSoundIsAccepted) {
    Rig rig;
    EXPECT_EQ(rig.open(silentMovie("model-2s-silent.mp4", 2)), "Ready.");
    EXPECT_NEAR(rig.model->duration(), 2, 0.02);
    EXPECT_FALSE(rig.model->hasAudio());
}

TEST(ModelOpening, AStreamedRecordingOpensWithItsWholeLength) {
    // WebM as a browser's recorder writes it, to a stream: no length in its header.
    const std::string path =
        makeMovie("model-streamed.webm",
                  "-f lavfi -i testsrc2=size=160x120:rate=30:duration=6 -f lavfi -i "
                  "sine=frequency=440:sample_rate=48000:duration=6 -c:v libvpx -deadline realtime "
                  "-c:a libopus -f webm pipe:1 | sh -c 'cat > \"$0\"'");
    Rig rig;
    EXPECT_EQ(rig.open(path), "Ready.");
    EXPECT_NEAR(rig.model->duration(), 6, 0.05);
    EXPECT_DOUBLE_EQ(rig.model->outPoint(), rig.model->duration());
    EXPECT_TRUE(rig.model->hasAudio());
    EXPECT_TRUE(rig.model->canSave());
}

TEST(ModelOpening, AMovieOfExactlyTheShortestCutOpensButCannotBeSaved) {
    Rig rig;
    EXPECT_EQ(rig.open(silentMovie("model-0.1s.mp4", 0.1)), "Ready.");
    EXPECT_DOUBLE_EQ(rig.model->duration(), 0.1);
    EXPECT_EQ(rig.model->inPoint(), 0);
    EXPECT_DOUBLE_EQ(rig.model->outPoint(), 0.1);
    EXPECT_FALSE(rig.model->canSave());
}

TEST(ModelOpening, RefusedFilesClearThePreviousMovie) {
    const std::string folder = freshFolder("model-refusals");
    std::ofstream(folder + "/empty.mp4").close();
    std::filesystem::create_directory(folder + "/folder.mp4");
    struct Case {
        const char* name;
        std::string path;
        const char* status;
    };
    const Case cases[] = {
        {"0.05 s movie", silentMovie("model-0.05s.mp4", 0.05), "That movie is too short to cut."},
        {"sound only", soundOnlyFile(), "That file has no picture."},
        {"random bytes", randomBytesFile(), "That movie could not be read."},
        {"empty file", folder + "/empty.mp4", "That movie could not be read."},
        {"folder", folder + "/folder.mp4", "That movie could not be read."},
        {"missing file", folder + "/missing.mp4", "That movie could not be read."},
    };
    const std::string good = silentMovie("model-2s-silent.mp4", 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_EQ(rig.open(good), "Ready.");
        EXPECT_EQ(rig.open(c.path), c.status);
        expectNoMovie(rig);
        // The refused movie can be followed by a good one.
        EXPECT_EQ(rig.open(good), "Ready.");
    }
}

TEST(ModelOpening, OnlyTheNewestOfTwoOpensIsApplied) {
    const std::string longer = tenSecondMovie();
    const std::string shorter = silentMovie("model-2s-silent.mp4", 2);
    const std::string broken = randomBytesFile();
    struct Case {
        const char* name;
        std::string first, second;
        const char* status;
        double duration;
    };
    const Case cases[] = {
        {"two good movies", longer, shorter, "Ready.", 2},
        {"a stale failure leaves no message", broken, shorter, "Ready.", 2},
        {"the newest failure wins", longer, broken, "That movie could not be read.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        TrimwellModel& m = *rig.model;
        QStringList seen;
        QObject::connect(&m, &TrimwellModel::statusChanged, [&] { seen << m.status(); });
        QSignalSpy durations(&m, &TrimwellModel::durationChanged);
        m.open(c.first);
        m.open(c.second);
        EXPECT_EQ(ModelInternals::loadTicket(m), 2);
        ASSERT_TRUE(waitUntil([&] { return m.status() != "Reading the movie."; }));
        // Let the older read finish too, wherever it was.
        runFor(500);
        EXPECT_EQ(seen, (QStringList{"Reading the movie.", c.status}));
        EXPECT_NEAR(m.duration(), c.duration, 0.02);
        EXPECT_EQ(durations.count(), c.duration > 0 ? 1 : 0);
        EXPECT_EQ(m.sourceURL().value_or(""), c.duration > 0 ? c.second : "");
    }
}

TEST(ModelOpening, NothingOpensWhileASaveRuns) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    const std::string path = silentMovie("model-2s-silent.mp4", 2);
    ASSERT_EQ(rig.open(path), "Ready.");
    // The save stands still here: the test's own event loop would let a real one end.
    ModelInternals::setBusy(m, true);
    const std::string other = tenSecondMovie();

    ModelInternals::setStatus(m, "Saving.");
    m.open(other);
    EXPECT_EQ(m.status(), "A save is still running.");

    ModelInternals::setStatus(m, "Saving.");
    m.pick();
    EXPECT_EQ(m.status(), "A save is still running.");
    EXPECT_TRUE(rig.panels.openRequests.empty());

    ModelInternals::setStatus(m, "Saving.");
    EXPECT_FALSE(m.takeDrop({other}));
    runFor(100);
    EXPECT_EQ(m.status(), "Saving.");

    EXPECT_EQ(ModelInternals::loadTicket(m), 1);
    EXPECT_EQ(m.sourceURL(), path);
    EXPECT_EQ(rig.player->item, path);
    EXPECT_NEAR(m.duration(), 2, 0.02);
}

TEST(ModelOpening, ADropOpensOnlyItsFirstFile) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    const std::string first = silentMovie("model-2s-silent.mp4", 2);
    const std::string second = tenSecondMovie();
    EXPECT_FALSE(m.takeDrop({}));
    EXPECT_FALSE(m.takeDrop({""}));
    EXPECT_TRUE(m.takeDrop({first, second, second}));
    // Accepted before anything is opened.
    EXPECT_EQ(m.status(), "Open a movie.");
    ASSERT_TRUE(waitUntil([&] { return m.status() == "Ready."; }));
    runFor(200);
    EXPECT_EQ(ModelInternals::loadTicket(m), 1);
    EXPECT_EQ(m.sourceURL(), first);
}

TEST(ModelOpening, TheOpenPanelOffersMoviesAndOpensTheChoice) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    rig.panels.openReplies = {std::nullopt};
    m.pick();
    ASSERT_EQ(rig.panels.openRequests.size(), 1u);
    const OpenPanelRequest& request = rig.panels.openRequests[0];
    EXPECT_EQ(request.title, "Open a movie");
    EXPECT_EQ(request.prompt, "Open");
    EXPECT_EQ(request.mimeTypes, movieTypes().mimeTypes);
    // Nothing opened yet in this run: the videos folder, or home where there is none.
    const QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    EXPECT_EQ(request.folder, !movies.isEmpty() && QDir(movies).exists()
                                  ? movies.toStdString()
                                  : QDir::homePath().toStdString());
    // Cancel changes nothing.
    EXPECT_EQ(m.status(), "Open a movie.");
    EXPECT_EQ(ModelInternals::loadTicket(m), 0);

    const std::string path = silentMovie("model-2s-silent.mp4", 2);
    rig.panels.openReplies = {path};
    m.pick();
    ASSERT_TRUE(waitUntil([&] { return m.status() == "Ready."; }));
    EXPECT_EQ(m.sourceURL(), path);
    // The next panel opens where that movie was.
    rig.panels.openReplies = {std::nullopt};
    m.pick();
    ASSERT_EQ(rig.panels.openRequests.size(), 3u);
    EXPECT_EQ(rig.panels.openRequests[2].folder,
              std::filesystem::absolute(path).parent_path().string());
}

TEST(ModelOpening, MovieTypesComeGeneralFirstThenTheKnownSpecificOnes) {
    const MovieTypes types = movieTypes();
    std::vector<std::string> expected{"video/*", "video/mp4", "video/quicktime"};
    const QMimeDatabase db;
    for (const char* name : {"video/x-msvideo", "video/mpeg"})
        if (db.mimeTypeForName(name).isValid())
            expected.push_back(name);
    EXPECT_EQ(types.mimeTypes, expected);
    for (const char* suffix : {"mp4", "mov"})
        EXPECT_NE(std::find(types.extensions.begin(), types.extensions.end(), suffix),
                  types.extensions.end())
            << suffix;
    std::vector<std::string> sorted = types.extensions;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "repeated suffix";
}

TEST(ModelOpening, AReadThatEndsAfterTheModelIsGoneDoesNothing) {
    const std::string path = tenSecondMovie();
    { // The read and the drop are still pending when this model goes.
        Rig rig;
        rig.model->open(path);
        EXPECT_TRUE(rig.model->takeDrop({path}));
    }
    // A new model likely takes the old one's memory: late work aimed at the old model must not
    // land on it.
    Rig next;
    runFor(1000);
    EXPECT_EQ(next.model->status(), "Open a movie.");
    EXPECT_EQ(ModelInternals::loadTicket(*next.model), 0);
    EXPECT_FALSE(next.player->hasItem());
}
