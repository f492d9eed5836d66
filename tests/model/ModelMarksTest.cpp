#include "ModelTesting.h"

#include <QSignalSpy>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

class Marks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.open(silentMovie("model-10s-silent.mp4", 10)), "Ready.");
        ASSERT_DOUBLE_EQ(m.duration(), 10);
        p.seeks.clear();
    }

    Rig rig;
    TrimwellModel& m{*rig.model};
    FakePlayer& p{*rig.player};
};

enum class Button { setIn, setOut };

// Presses Play unless the model already plays.
void play(TrimwellModel& m) {
    if (!m.playing())
        m.togglePlay();
}

} // namespace

TEST_F(Marks, SetInAndSetOutPullTheOtherMarkAlong) {
    struct Case {
        const char* name;
        double in, out, playhead;
        Button button;
        double expectIn, expectOut;
    };
    const Case cases[] = {
        {"in inside the cut", 0, 10, 4, Button::setIn, 4, 10},
        {"in too close to out", 0, 4.05, 4, Button::setIn, 4, 4.1},
        {"out too close to in", 3, 10, 3.02, Button::setOut, 2.92, 3.02},
        {"in near the end: out held", 0, 10, 9.97, Button::setIn, 9.9, 10},
        {"out near the start: in held", 0, 10, 0.03, Button::setOut, 0, 0.1},
        {"in before the start", 2, 5, -1, Button::setIn, 0, 5},
        {"out past the end", 2, 5, 11, Button::setOut, 2, 10},
        {"in past the end", 2, 5, 11, Button::setIn, 9.9, 10},
        {"out before the start", 2, 5, -1, Button::setOut, 0, 0.1},
        {"in past out", 2, 5, 7, Button::setIn, 7, 7.1},
        {"marks outside the movie are brought back", -4, 14, 3, Button::setIn, 3, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m.setInPoint(c.in);
        m.setOutPoint(c.out);
        play(m);
        m.setPlayhead(c.playhead);
        p.seeks.clear();
        c.button == Button::setIn ? m.setInFromPlayhead() : m.setOutFromPlayhead();
        EXPECT_DOUBLE_EQ(m.inPoint(), c.expectIn);
        EXPECT_DOUBLE_EQ(m.outPoint(), c.expectOut);
        // Exactly, not merely up to rounding: the cut just made must be saveable.
        EXPECT_GE(m.outPoint() - m.inPoint(), m.shortest());
        EXPECT_TRUE(m.canSave());
        EXPECT_FALSE(ModelInternals::inside(m));
        // Playback stops at the new out mark; the buttons neither seek nor pause.
        EXPECT_NEAR(p.boundaryTime(), m.outPoint(), 1.0 / 1200);
        EXPECT_TRUE(p.seeks.empty());
        EXPECT_TRUE(m.playing());
    }
}

TEST_F(Marks, ADraggedMarkCarriesTheOtherAlongAndThePreviewFollows) {
    struct Case {
        const char* name;
        Button mark;
        double in, out, to;
        double expectIn, expectOut;
    };
    const Case cases[] = {
        {"in dragged past out", Button::setIn, 2, 5, 7, 7, 7.1},
        {"in dragged to the end", Button::setIn, 2, 5, 9.97, 9.9, 10},
        {"out dragged before in", Button::setOut, 3, 8, 1, 0.9, 1},
        {"out dragged to the start", Button::setOut, 3, 8, 0.04, 0, 0.1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m.setInPoint(c.in);
        m.setOutPoint(c.out);
        play(m);
        const bool in = c.mark == Button::setIn;
        in ? m.beginInDrag() : m.beginOutDrag();
        // Pressing pauses.
        EXPECT_FALSE(m.playing());
        EXPECT_EQ(p.status, TimeControlStatus::paused);
        p.seeks.clear();
        in ? m.setInPoint(c.to) : m.setOutPoint(c.to); // the slider writes; the wiring reports
        EXPECT_DOUBLE_EQ(m.inPoint(), c.expectIn);
        EXPECT_DOUBLE_EQ(m.outPoint(), c.expectOut);
        EXPECT_GE(m.outPoint() - m.inPoint(), m.shortest());
        // One exact seek to the dragged mark, however the model's own corrections echo back.
        const double mark = in ? c.expectIn : c.expectOut;
        ASSERT_EQ(p.seeks.size(), 1u);
        EXPECT_NEAR(p.seeks[0], mark, 1.0 / 1200);
        EXPECT_DOUBLE_EQ(m.playhead(), mark);

        in ? m.endInDrag() : m.endOutDrag();
        EXPECT_FALSE(m.drag());
        EXPECT_FALSE(m.playing()); // releasing does not resume
        EXPECT_EQ(p.playCalls, static_cast<int>(&c - cases) + 1);
        EXPECT_NEAR(p.boundaryTime(), m.outPoint(), 1.0 / 1200);
    }
}

TEST_F(Marks, ChangesThatAreNotTheDraggedMarkAreIgnored) {
    // Nothing held: a crossing written from outside stays until the next mark operation.
    m.setInPoint(7);
    m.setOutPoint(5);
    EXPECT_EQ(m.inPoint(), 7);
    EXPECT_EQ(m.outPoint(), 5);
    EXPECT_TRUE(p.seeks.empty());
    // Holding the out mark: an in mark change is not the drag.
    m.beginOutDrag();
    m.setInPoint(6);
    EXPECT_EQ(m.outPoint(), 5);
    EXPECT_TRUE(p.seeks.empty());
    m.endOutDrag();
    EXPECT_DOUBLE_EQ(m.inPoint(), 4.9);
    EXPECT_EQ(m.outPoint(), 5);
}

TEST_F(Marks, PlayheadDragSeeksWithoutWritingBack) {
    play(m);
    m.beginPlayheadDrag();
    EXPECT_FALSE(m.playing());
    QSignalSpy spy(&m, &TrimwellModel::playheadChanged);
    m.setPlayhead(6.5);
    EXPECT_EQ(p.seeks, std::vector<double>{6.5});
    EXPECT_EQ(spy.count(), 1);
    m.endPlayheadDrag();
    EXPECT_EQ(p.seeks, (std::vector<double>{6.5, 6.5}));
    EXPECT_FALSE(m.drag());
    EXPECT_EQ(p.playCalls, 1);
}

TEST(MarksRefused, NothingMovesWithATinyMovieNoMovieOrASave) {
    {
        Rig rig;
        ASSERT_EQ(rig.open(silentMovie("model-0.1s.mp4", 0.1)), "Ready.");
        TrimwellModel& m = *rig.model;
        m.setPlayhead(0.05);
        m.setInFromPlayhead();
        m.setOutFromPlayhead();
        EXPECT_EQ(m.inPoint(), 0);
        EXPECT_DOUBLE_EQ(m.outPoint(), 0.1);
    }
    {
        Rig rig;
        TrimwellModel& m = *rig.model;
        m.setPlayhead(3);
        m.setInFromPlayhead();
        m.beginInDrag();
        m.setInPoint(3);
        m.endInDrag();
        EXPECT_EQ(m.inPoint(), 3); // the slider's value, untouched by the model
        EXPECT_EQ(m.outPoint(), 0);
        EXPECT_TRUE(rig.player->seeks.empty());
        EXPECT_TRUE(rig.player->boundaries.empty());
    }
    {
        Rig rig;
        ASSERT_EQ(rig.open(silentMovie("model-10s-silent.mp4", 10)), "Ready.");
        TrimwellModel& m = *rig.model;
        rig.panels.saveReplies = {freshFolder("marks-during-save") + "/cut.mp4"};
        m.pickSave();
        ASSERT_TRUE(m.busy());
        m.setPlayhead(4);
        m.setInFromPlayhead();
        m.setOutFromPlayhead();
        EXPECT_EQ(m.inPoint(), 0);
        EXPECT_EQ(m.outPoint(), 10);
    }
}
