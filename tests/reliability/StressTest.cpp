// Repetition: saves stopped at random moments and opens in quick succession leave no file,
// no thread and no late message behind.
#include "Reliability.h"
#include "model/ModelTesting.h"

#include <QSignalSpy>
#include <QStringList>

#include <filesystem>
#include <optional>
#include <random>

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

namespace {

const char* kCancelled = "The save was cancelled. The partial file was removed.";

// Worker threads that end on their own (decoders, encoders, a queue released on its own
// thread) are given this long to go.
constexpr int kGraceMs = 10000;

} // namespace

TEST(Stress, FiftySavesStoppedAtRandomMomentsEndCancelled) {
    const std::string dir = freshFolder("rel-stops");
    const std::string destination = dir + "/cut.mp4";
    Rig rig;
    TrimwellModel& m = *rig.model;
    ASSERT_EQ(rig.open(busyMovie()), "Ready.");

    // One whole save first: what stays for the process (the worker pool) is then running.
    rig.panels.saveReplies = {destination};
    m.pickSave();
    ASSERT_TRUE(waitUntil([&] { return !m.busy(); }, 100000));
    ASSERT_EQ(m.status(), "Saved.");
    writeFile(destination, kOldFile);
    const int before = threadCountSettling(0, 300);

    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> delayMs(0, 400); // a whole save takes seconds
    for (int i = 0; i < 50; ++i) {
        const int delay = delayMs(rng);
        SCOPED_TRACE(::testing::Message() << "save " << i << ", stopped after " << delay << " ms");
        const Deadline deadline("a stopped save", std::chrono::seconds(60));
        rig.panels.saveReplies = {destination};
        m.pickSave();
        ASSERT_TRUE(m.busy());
        runFor(delay);
        ASSERT_TRUE(m.busy()) << "the save ended before Stop";
        m.stop();
        ASSERT_TRUE(waitUntil([&] { return !m.busy(); }, 60000));
        EXPECT_EQ(m.status(), kCancelled);
        EXPECT_EQ(m.progress(), 0);
        EXPECT_EQ(partialFilesIn(dir), 0);
        EXPECT_EQ(readFile(destination), kOldFile);
    }
    EXPECT_LE(threadCountSettling(before, kGraceMs), before);
}

TEST(Stress, AHundredOpensLeaveTheLastMovieOnly) {
    const std::string dir = freshFolder("rel-opens");
    writeFile(dir + "/noise.mp4", std::string(30000, '\x5a'));
    writeFile(dir + "/empty.mp4", "");
    fs::create_directory(dir + "/folder.mp4");
    const std::vector<std::string> others = {
        tenSecondMovie(),    silentMovie("model-2s-silent.mp4", 2),
        dir + "/noise.mp4",  dir + "/empty.mp4",
        dir + "/folder.mp4", busyMovie(),
    };
    const std::string last = smallMovie(true);
    struct Case {
        const char* name;
        std::string last;
        const char* status;
        double duration;
        bool hasAudio;
    };
    const Case cases[] = {
        {"the last is a movie", last, "Ready.", 2.0, true},
        {"the last cannot be read", dir + "/noise.mp4", "That movie could not be read.", 0, false},
    };
    {
        Rig warm; // the first read sets up what stays for the process
        ASSERT_EQ(warm.open(last), "Ready.");
    }
    const int before = threadCountSettling(0, 300);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Deadline> deadline;
        deadline.emplace(c.name, std::chrono::seconds(120));
        Rig rig;
        TrimwellModel& m = *rig.model;
        QStringList seen;
        QObject::connect(&m, &TrimwellModel::statusChanged, [&] { seen << m.status(); });
        QSignalSpy durations(&m, &TrimwellModel::durationChanged);
        for (int i = 0; i < 99; ++i)
            m.open(others[i % others.size()]);
        m.open(c.last);
        EXPECT_EQ(ModelInternals::loadTicket(m), 100);
        ASSERT_TRUE(waitUntil([&] { return m.status() != "Reading the movie."; }, 100000));
        // Every older read ends in this time, and none of them may show.
        runFor(1500);
        EXPECT_EQ(seen, (QStringList{"Reading the movie.", c.status}));
        EXPECT_EQ(m.sourceURL().value_or(""), c.duration > 0 ? c.last : "");
        EXPECT_EQ(rig.player->item.value_or(""), c.duration > 0 ? c.last : "");
        EXPECT_NEAR(m.duration(), c.duration, 0.05);
        EXPECT_EQ(durations.count(), c.duration > 0 ? 1 : 0);
        EXPECT_EQ(m.hasAudio(), c.hasAudio);
        EXPECT_DOUBLE_EQ(m.outPoint(), m.duration());
        deadline.reset(); // its own thread is not one of the model's
        // One thread reads for the model while it lives; none is left once it is gone.
        EXPECT_LE(threadCountSettling(before + 1, kGraceMs), before + 1);
        rig.model.reset();
        EXPECT_LE(threadCountSettling(before, kGraceMs), before);
    }
}
