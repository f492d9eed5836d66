#include "ModelTesting.h"

#include <QSignalSpy>

#include <cmath>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// A model with a 10 s movie open, marks at 2 and 5, the clock armed.
class Clock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.open(silentMovie("model-10s-silent.mp4", 10)), "Ready.");
        ASSERT_DOUBLE_EQ(m.duration(), 10);
        m.setInPoint(2);
        m.setOutPoint(5);
        m.endOutDrag(); // a release reinstalls the watch at the new out mark
        m.armClock();
        p.seeks.clear();
        p.removed.clear();
    }
    // One tick of the player's clock, delivered as the model's posted step.
    void tick(double t) {
        p.tick(t);
        runFor(30);
    }

    Rig rig;
    TrimwellModel& m{*rig.model};
    FakePlayer& p{*rig.player};
};

} // namespace

TEST_F(Clock, PlayStartsFromTheInMarkUnlessInsideTheCut) {
    const double nan = std::nan("");
    struct Case {
        const char* name;
        TimeControlStatus status;
        double time;
        std::vector<double> seeks;
        bool playing;
    };
    const Case cases[] = {
        {"before the cut", TimeControlStatus::paused, 1, {2}, true},
        {"inside the cut", TimeControlStatus::paused, 3, {}, true},
        {"just inside the end slack", TimeControlStatus::paused, 4.97, {}, true},
        {"within 0.02 s of the out mark", TimeControlStatus::paused, 4.99, {2}, true},
        {"at the out mark", TimeControlStatus::paused, 5, {2}, true},
        {"past the cut", TimeControlStatus::paused, 7, {2}, true},
        {"no time yet", TimeControlStatus::paused, nan, {2}, true},
        {"playing pauses", TimeControlStatus::playing, 3, {}, false},
        {"waiting to play is asked again", TimeControlStatus::waitingToPlay, 3, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The clock brings the player's state into the model.
        p.status = c.status;
        p.currentRate = c.status == TimeControlStatus::paused ? 0 : 1;
        tick(c.time);
        p.seeks.clear();
        m.togglePlay();
        EXPECT_EQ(p.seeks, c.seeks);
        EXPECT_EQ(m.playing(), c.playing);
        EXPECT_EQ(p.status == TimeControlStatus::playing, c.playing);
    }
}

TEST_F(Clock, PlayDoesNothingWithoutAMovieOrDuringASave) {
    rig.panels.saveReplies = {freshFolder("clock-during-save") + "/cut.mp4"};
    m.pickSave();
    ASSERT_TRUE(m.busy());
    m.togglePlay();
    EXPECT_EQ(p.playCalls, 0);
    m.stop();
    ASSERT_TRUE(waitUntil([&] { return !m.busy(); }));

    Rig empty;
    empty.model->togglePlay();
    EXPECT_EQ(empty.player->playCalls, 0);
    EXPECT_TRUE(empty.player->seeks.empty());
    EXPECT_FALSE(empty.model->playing());
}

TEST_F(Clock, PlaybackPausesAtTheOutMarkAndTheNextPlayStartsOver) {
    p.time = 1;
    m.togglePlay();
    ASSERT_TRUE(m.playing());
    tick(4.5);
    EXPECT_DOUBLE_EQ(m.playhead(), 4.5);
    p.cross(5);
    runFor(30);
    EXPECT_FALSE(m.playing());
    EXPECT_EQ(p.status, TimeControlStatus::paused);
    // Only playback stops: the marks stay, the clock shows where it stopped.
    EXPECT_EQ(m.inPoint(), 2);
    EXPECT_EQ(m.outPoint(), 5);
    tick(5);
    EXPECT_DOUBLE_EQ(m.playhead(), 5);
    p.seeks.clear();
    m.togglePlay();
    EXPECT_EQ(p.seeks, std::vector<double>{2});
    EXPECT_TRUE(m.playing());
}

TEST_F(Clock, MovingTheOutMarkMovesTheWatch) {
    p.time = 3;
    m.togglePlay();
    const auto old = m.boundaryToken();
    m.setPlayhead(7);
    m.setOutFromPlayhead();
    EXPECT_EQ(m.outPoint(), 7);
    ASSERT_TRUE(old);
    EXPECT_EQ(p.removed, std::vector<std::uint64_t>{old->id});
    EXPECT_DOUBLE_EQ(p.boundaryTime(), 7);
    p.cross(5);
    runFor(30);
    EXPECT_TRUE(m.playing());
}

TEST_F(Clock, TheClockOwnsThePlayheadUnlessThePlayheadSliderIsHeld) {
    tick(3.3);
    EXPECT_DOUBLE_EQ(m.playhead(), 3.3);
    tick(12);
    EXPECT_EQ(m.playhead(), 10);
    tick(-1);
    EXPECT_EQ(m.playhead(), 0);
    tick(std::nan(""));
    EXPECT_EQ(m.playhead(), 0);

    // Holding the playhead slider: only the slider writes the playhead.
    m.beginPlayheadDrag();
    m.setPlayhead(6);
    EXPECT_EQ(p.seeks, std::vector<double>{6});
    tick(3.5);
    EXPECT_EQ(m.playhead(), 6);
    m.setPlayhead(12);
    EXPECT_EQ(p.seeks.back(), 10); // the seek is clamped, the slider's value stands
    EXPECT_EQ(m.playhead(), 12);
    m.setPlayhead(-3);
    m.endPlayheadDrag();
    EXPECT_EQ(p.seeks.back(), 0);
    EXPECT_FALSE(m.drag());
    tick(4);
    EXPECT_EQ(m.playhead(), 4);

    // Holding a mark slider: the seek to the mark and the clock both write it.
    m.beginInDrag();
    m.setInPoint(2.5);
    EXPECT_EQ(p.seeks.back(), 2.5);
    EXPECT_EQ(m.playhead(), 2.5);
    tick(2.6);
    EXPECT_DOUBLE_EQ(m.playhead(), 2.6);
    m.endInDrag();
}

TEST_F(Clock, ATickReadBeforeAStepDoesNotUndoIt) {
    tick(3);
    // The player reads 3 s; before the model takes that time, the user steps a picture on.
    p.tick(3);
    m.beginPlayheadDrag();
    m.setPlayhead(3.1);
    m.endPlayheadDrag();
    runFor(30);
    EXPECT_DOUBLE_EQ(m.playhead(), 3.1);
    // Times read after the step count again.
    tick(3.2);
    EXPECT_DOUBLE_EQ(m.playhead(), 3.2);
}

TEST_F(Clock, TheClockCopiesThePlayersStateIntoPlaying) {
    struct Case {
        TimeControlStatus status;
        double rate;
        bool playing;
    };
    const Case cases[] = {
        {TimeControlStatus::playing, 1, true},
        {TimeControlStatus::paused, 0, false},
        {TimeControlStatus::waitingToPlay, 1, true}, // buffering still counts as playing
        {TimeControlStatus::waitingToPlay, 0, false},
    };
    for (const Case& c : cases) {
        p.status = c.status;
        p.currentRate = c.rate;
        tick(3);
        EXPECT_EQ(m.playing(), c.playing) << static_cast<int>(c.status) << " " << c.rate;
    }
}

TEST_F(Clock, TheClockIsInstalledOnce) {
    QSignalSpy spy(&m, &TrimwellModel::timeTokenChanged);
    m.armClock();
    m.armClock();
    EXPECT_EQ(spy.count(), 0);
    ASSERT_EQ(p.periodic.size(), 1u);
    EXPECT_DOUBLE_EQ(p.periodic.begin()->second.interval, 0.05);
    EXPECT_TRUE(m.timeToken());

    // A new movie keeps the same clock.
    ASSERT_EQ(rig.open(silentMovie("model-2s-silent.mp4", 2)), "Ready.");
    EXPECT_EQ(p.periodic.size(), 1u);
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(Clock, TicksAfterTheModelIsGoneDoNothing) {
    // The player (owned by the model) goes with it; take its observers first.
    const auto periodic = p.periodic;
    const auto boundaries = p.boundaries;
    rig.model.reset();
    for (const auto& [id, o] : periodic)
        o.block(3);
    for (const auto& [id, o] : boundaries)
        o.block();
    Rig next;
    runFor(100);
    EXPECT_EQ(next.model->playhead(), 0);
    EXPECT_EQ(next.player->pauseCalls, 0);
}
