#include "ModelTesting.h"

#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <string>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// A 10 s movie open, marks at 2 and 5, the watch at the out mark, the clock armed.
class Keys : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.open(silentMovie("model-10s-silent.mp4", 10)), "Ready.");
        ASSERT_DOUBLE_EQ(m.duration(), 10);
        m.setInPoint(2);
        m.setOutPoint(5);
        m.endOutDrag();
        m.armClock();
        clearCalls();
    }
    void clearCalls() {
        p.seeks.clear();
        p.speeds.clear();
        p.playCalls = 0;
        p.pauseCalls = 0;
    }
    // Plays from the playhead at 3, inside the cut.
    void playFrom3() {
        m.goToTime(3);
        m.togglePlay();
        ASSERT_TRUE(m.playing());
        clearCalls();
    }
    // The player crosses seconds and the model's posted step runs.
    void cross(double seconds) {
        p.cross(seconds);
        runFor(30);
    }

    Rig rig;
    TrimwellModel& m{*rig.model};
    FakePlayer& p{*rig.player};
};

using Action = std::function<void(TrimwellModel&)>;

} // namespace

TEST_F(Keys, PlayheadKeysAreOneRoundOfThePlayheadSlider) {
    struct Case {
        const char* name;
        double pictureRate;
        Action key;
        double playhead;
    };
    const Case cases[] = {
        {"Home", 0, [](TrimwellModel& t) { t.goToStart(); }, 0},
        {"End", 0, [](TrimwellModel& t) { t.goToEnd(); }, 10},
        {"Shift+Right", 0, [](TrimwellModel& t) { t.moveBy(1); }, 4},
        {"Shift+Left", 0, [](TrimwellModel& t) { t.moveBy(-1); }, 2},
        {"Shift+Left held past the start", 0, [](TrimwellModel& t) { t.moveBy(-5); }, 0},
        {"Shift+Right held past the end", 0, [](TrimwellModel& t) { t.moveBy(9); }, 10},
        {"Shift+I", 0, [](TrimwellModel& t) { t.goToInMark(); }, 2},
        {"Shift+O", 0, [](TrimwellModel& t) { t.goToOutMark(); }, 5},
        {"go to 4", 0, [](TrimwellModel& t) { t.goToTime(4); }, 4},
        {"go past the end", 0, [](TrimwellModel& t) { t.goToTime(12); }, 10},
        {"go before the start", 0, [](TrimwellModel& t) { t.goToTime(-1); }, 0},
        {"go between pictures", 25, [](TrimwellModel& t) { t.goToTime(4.01); }, 4.04},
        {"go to a picture's time", 25, [](TrimwellModel& t) { t.goToTime(6.2); }, 6.2},
        {"go past the last picture", 25, [](TrimwellModel& t) { t.goToTime(99); }, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        p.pictureRate = c.pictureRate;
        playFrom3();
        const QString status = m.status();
        QSignalSpy drags(&m, &TrimwellModel::dragChanged);
        c.key(m);
        // The slider's press pauses playing, its move and release seek exactly there.
        EXPECT_FALSE(m.playing());
        EXPECT_EQ(p.status, TimeControlStatus::paused);
        EXPECT_DOUBLE_EQ(m.playhead(), c.playhead);
        ASSERT_FALSE(p.seeks.empty());
        EXPECT_NEAR(p.seeks.back(), c.playhead, 1.0 / 600);
        EXPECT_EQ(drags.count(), 2); // pressed, then released
        EXPECT_FALSE(m.drag().has_value());
        EXPECT_DOUBLE_EQ(m.inPoint(), 2);
        EXPECT_DOUBLE_EQ(m.outPoint(), 5);
        EXPECT_EQ(m.status(), status);
    }
}

TEST_F(Keys, TypedMarksAreOneRoundOfTheMarkSliderSoTheMarksStayApart) {
    enum class Mark { in, out };
    struct Case {
        const char* name;
        double pictureRate;
        Mark mark;
        double at;
        double expectIn, expectOut;
    };
    const Case cases[] = {
        {"in inside the cut", 0, Mark::in, 4, 4, 5},
        {"in past out carries out", 0, Mark::in, 7, 7, 7.1},
        {"out before in carries in", 0, Mark::out, 1, 0.9, 1},
        {"out near the start: in held", 0, Mark::out, 0.03, 0, 0.1},
        {"in near the end: out held", 0, Mark::in, 9.97, 9.9, 10},
        {"out past the end", 0, Mark::out, 30, 2, 10},
        {"in between pictures takes the next", 25, Mark::in, 4.01, 4.04, 5},
        {"out on a picture", 25, Mark::out, 6.2, 2, 6.2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        p.pictureRate = c.pictureRate;
        m.setInPoint(2);
        m.setOutPoint(5);
        m.endOutDrag();
        playFrom3();
        const QString status = m.status();
        c.mark == Mark::in ? m.setInAt(c.at) : m.setOutAt(c.at);
        EXPECT_DOUBLE_EQ(m.inPoint(), c.expectIn);
        EXPECT_DOUBLE_EQ(m.outPoint(), c.expectOut);
        EXPECT_GE(m.outPoint() - m.inPoint(), m.shortest());
        // The preview follows the placed mark, as in a drag, and the watch the out mark.
        EXPECT_DOUBLE_EQ(m.playhead(), c.mark == Mark::in ? c.expectIn : c.expectOut);
        EXPECT_NEAR(p.boundaryTime(), c.expectOut, 1.0 / 600);
        EXPECT_FALSE(m.playing());
        EXPECT_FALSE(m.drag().has_value());
        EXPECT_EQ(m.status(), status);
    }
}

TEST_F(Keys, GoingToATimeThenIOrOMarksWhatSetInAndSetOutMark) {
    p.pictureRate = 25;
    m.goToTime(4);
    m.setInFromPlayhead();
    m.goToTime(6.2);
    m.setOutFromPlayhead();
    EXPECT_DOUBLE_EQ(m.inPoint(), 4);
    EXPECT_DOUBLE_EQ(m.outPoint(), 6.2);
    // Ten pictures on from the start, then fifteen more: pictures 10 and 25.
    m.goToStart();
    m.setPlayhead(m.pictureTimeFrom(m.playhead(), 10));
    m.setInFromPlayhead();
    m.setPlayhead(m.pictureTimeFrom(m.playhead(), 15));
    m.setOutFromPlayhead();
    EXPECT_DOUBLE_EQ(m.inPoint(), 10 / 25.0);
    EXPECT_DOUBLE_EQ(m.outPoint(), 25 / 25.0);
}

TEST_F(Keys, PlayTheCutStartsAtTheInMarkAndStopsAtTheOutMark) {
    for (double from : {3.0, 7.0, 0.0}) {
        SCOPED_TRACE(from);
        m.goToTime(from);
        clearCalls();
        m.playCut();
        EXPECT_EQ(p.seeks, std::vector<double>{2});
        EXPECT_TRUE(m.playing());
        EXPECT_EQ(p.speed, 1);
        cross(5);
        EXPECT_FALSE(m.playing());
        EXPECT_EQ(p.status, TimeControlStatus::paused);
        EXPECT_EQ(p.seeks, std::vector<double>{2});
    }
}

TEST_F(Keys, TheLoopStartsAgainAtTheInMarkUntilPaused) {
    QSignalSpy loops(&m, &TrimwellModel::loopCutChanged);
    m.setLoopCut(true);
    m.setLoopCut(true);
    EXPECT_EQ(loops.count(), 1);
    m.playCut();
    p.seeks.clear();
    for (int round = 0; round < 3; ++round) {
        cross(5);
        EXPECT_TRUE(m.playing());
        EXPECT_EQ(p.status, TimeControlStatus::playing);
        EXPECT_EQ(p.seeks.size(), static_cast<std::size_t>(round + 1));
        EXPECT_DOUBLE_EQ(m.playhead(), 2);
    }
    // The Play button's pause ends it; the stop posted after it changes nothing.
    m.togglePlay();
    p.seeks.clear();
    cross(5);
    EXPECT_FALSE(m.playing());
    EXPECT_TRUE(p.seeks.empty());
    // Play loops as well, and turning the loop off brings the stop back.
    m.togglePlay();
    cross(5);
    EXPECT_TRUE(m.playing());
    m.setLoopCut(false);
    cross(5);
    EXPECT_FALSE(m.playing());
}

TEST_F(Keys, TheShuttleDoublesItsPaceEachWayAndPausesBackToTheNormalPace) {
    struct Case {
        const char* keys;
        double speed;
        bool playing;
    };
    const Case cases[] = {
        {"L", 1, true},       {"LL", 2, true},   {"LLL", 4, true},  {"LLLL", 8, true},
        {"LLLLLL", 8, true},  {"J", -1, true},   {"JJ", -2, true},  {"JJJ", -4, true},
        {"JJJJJJ", -8, true}, {"LLJ", -1, true}, {"JJJL", 1, true}, {"LLK", 1, false},
        {"JJK", 1, false},    {"K", 1, false},   {"LLKL", 1, true}, {"JJP", 1, true},
        {"LL ", 1, false},    {"LL  ", 1, true}, {"JJ ", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        m.shuttlePause();
        m.goToTime(3);
        clearCalls();
        for (const char* k = c.keys; *k; ++k) {
            switch (*k) {
            case 'L':
                m.shuttleForward();
                break;
            case 'J':
                m.shuttleBackward();
                break;
            case 'K':
                m.shuttlePause();
                break;
            case 'P':
                m.playCut();
                break;
            case ' ':
                m.togglePlay();
                break;
            }
        }
        EXPECT_DOUBLE_EQ(m.speed(), c.speed);
        EXPECT_EQ(m.playing(), c.playing);
        EXPECT_EQ(p.status == TimeControlStatus::playing, c.playing);
        // The player was told every pace it plays at before it played.
        if (c.playing) {
            ASSERT_FALSE(p.speeds.empty());
            EXPECT_DOUBLE_EQ(p.speeds.back(), c.speed);
            EXPECT_DOUBLE_EQ(p.rate(), c.speed);
        }
    }
}

TEST_F(Keys, TheShuttleForwardFromAStopPlaysTheCutAsPlayDoes) {
    m.goToTime(7);
    clearCalls();
    m.shuttleForward();
    EXPECT_EQ(p.seeks, std::vector<double>{2});
    // Backward goes back from where the playhead stands.
    m.shuttlePause();
    m.goToTime(7);
    clearCalls();
    m.shuttleBackward();
    EXPECT_TRUE(p.seeks.empty());
    EXPECT_TRUE(m.playing());
    // A player that stopped by itself (at the start) brings the pace back to normal.
    p.status = TimeControlStatus::paused;
    p.currentRate = 0;
    p.tick(0);
    runFor(30);
    EXPECT_FALSE(m.playing());
    EXPECT_DOUBLE_EQ(m.speed(), 1);
}

TEST_F(Keys, NothingAnswersWhileSavingWithoutAMovieOrWhileASliderIsHeld) {
    const std::vector<std::pair<const char*, Action>> keys = {
        {"go to", [](TrimwellModel& t) { t.goToTime(4); }},
        {"in at", [](TrimwellModel& t) { t.setInAt(4); }},
        {"out at", [](TrimwellModel& t) { t.setOutAt(8); }},
        {"to in", [](TrimwellModel& t) { t.goToInMark(); }},
        {"to out", [](TrimwellModel& t) { t.goToOutMark(); }},
        {"start", [](TrimwellModel& t) { t.goToStart(); }},
        {"end", [](TrimwellModel& t) { t.goToEnd(); }},
        {"a second on", [](TrimwellModel& t) { t.moveBy(1); }},
        {"play the cut", [](TrimwellModel& t) { t.playCut(); }},
        {"L", [](TrimwellModel& t) { t.shuttleForward(); }},
        {"J", [](TrimwellModel& t) { t.shuttleBackward(); }},
        {"K", [](TrimwellModel& t) { t.shuttlePause(); }},
    };
    Rig empty;
    const std::vector<std::pair<const char*, std::function<void()>>> states = {
        {"saving", [&] { ModelInternals::setBusy(m, true); }},
        {"the playhead slider held", [&] { m.beginPlayheadDrag(); }},
    };
    const auto checkUntouched = [](TrimwellModel& t, FakePlayer& player, double in, double out,
                                   double playhead, const QString& status) {
        EXPECT_DOUBLE_EQ(t.inPoint(), in);
        EXPECT_DOUBLE_EQ(t.outPoint(), out);
        EXPECT_DOUBLE_EQ(t.playhead(), playhead);
        EXPECT_EQ(t.status(), status);
        EXPECT_TRUE(player.seeks.empty());
        EXPECT_TRUE(player.speeds.empty());
        EXPECT_EQ(player.playCalls, 0);
    };
    for (const auto& [state, enter] : states) {
        SCOPED_TRACE(state);
        m.goToTime(3);
        enter();
        clearCalls();
        const QString status = m.status();
        for (const auto& [name, key] : keys) {
            SCOPED_TRACE(name);
            key(m);
            checkUntouched(m, p, 2, 5, 3, status);
        }
        ModelInternals::setBusy(m, false);
        m.endPlayheadDrag();
    }
    // The loop is a choice, not a move: only a save holds it where it is.
    ModelInternals::setBusy(m, true);
    m.setLoopCut(true);
    EXPECT_FALSE(m.loopCut());
    ModelInternals::setBusy(m, false);
    m.setLoopCut(true);
    ModelInternals::setBusy(m, true);
    m.setLoopCut(false);
    EXPECT_TRUE(m.loopCut());
    ModelInternals::setBusy(m, false);

    for (const auto& [name, key] : keys) {
        SCOPED_TRACE(std::string("no movie: ") + name);
        key(*empty.model);
        checkUntouched(*empty.model, *empty.player, 0, 0, 0, "Open a movie.");
    }
}
