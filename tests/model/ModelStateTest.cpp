#include "ModelTesting.h"

#include <QSignalSpy>

#include <cmath>

using namespace trimwell;
using namespace trimwell::testing;

TEST(ModelState, StartsEmpty) {
    Rig rig;
    const TrimwellModel& m = *rig.model;
    EXPECT_FALSE(m.sourceURL());
    EXPECT_EQ(m.duration(), 0);
    EXPECT_FALSE(m.hasAudio());
    EXPECT_EQ(m.inPoint(), 0);
    EXPECT_EQ(m.outPoint(), 0);
    EXPECT_EQ(m.playhead(), 0);
    EXPECT_EQ(m.megabits(), 4.0);
    EXPECT_EQ(m.status(), "Open a movie.");
    EXPECT_FALSE(m.busy());
    EXPECT_EQ(m.progress(), 0);
    EXPECT_FALSE(m.playing());
    EXPECT_EQ(m.shortest(), 0.1);
    EXPECT_FALSE(m.timeToken());
    EXPECT_FALSE(m.boundaryToken());
    EXPECT_EQ(ModelInternals::loadTicket(m), 0);
    EXPECT_FALSE(m.drag());
    EXPECT_FALSE(ModelInternals::inside(m));
    EXPECT_FALSE(ModelInternals::stopFlag(m));
    EXPECT_FALSE(ModelInternals::progressBox(m));
    EXPECT_EQ(ModelInternals::progressTimer(m), nullptr);
    EXPECT_FALSE(m.canSave());
    EXPECT_EQ(m.aboutText(), "Open a movie to see the size.");
    // Construction opens nothing and installs no observer.
    EXPECT_FALSE(rig.player->hasItem());
    EXPECT_TRUE(rig.player->periodic.empty());
    EXPECT_TRUE(rig.player->boundaries.empty());
}

TEST(ModelState, NumbersNotifyOnlyOnARealChange) {
    struct Field {
        const char* name;
        void (TrimwellModel::*changed)();
        void (*set)(TrimwellModel&, double);
    };
    const Field fields[] = {
        {"duration", &TrimwellModel::durationChanged, &ModelInternals::setDuration},
        {"inPoint", &TrimwellModel::inPointChanged,
         [](TrimwellModel& m, double v) { m.setInPoint(v); }},
        {"outPoint", &TrimwellModel::outPointChanged,
         [](TrimwellModel& m, double v) { m.setOutPoint(v); }},
        {"playhead", &TrimwellModel::playheadChanged,
         [](TrimwellModel& m, double v) { m.setPlayhead(v); }},
        {"megabits", &TrimwellModel::megabitsChanged,
         [](TrimwellModel& m, double v) { m.setMegabits(v); }},
        {"progress", &TrimwellModel::progressChanged, &ModelInternals::setProgress},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        Rig rig;
        TrimwellModel& m = *rig.model;
        QSignalSpy spy(&m, f.changed);
        f.set(m, 3.5);
        f.set(m, 3.5);
        EXPECT_EQ(spy.count(), 1);
        // Equality is numeric: the two zeros are the same number.
        f.set(m, 0.0);
        f.set(m, -0.0);
        EXPECT_EQ(spy.count(), 2);
        // A stored NaN equals nothing, itself included.
        f.set(m, std::nan(""));
        f.set(m, std::nan(""));
        EXPECT_EQ(spy.count(), 4);
    }
}

TEST(ModelState, TruthTextAndLocationNotifyOnlyOnARealChange) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    struct Flag {
        const char* name;
        void (TrimwellModel::*changed)();
        void (*set)(TrimwellModel&, bool);
    };
    for (const Flag& f :
         {Flag{"hasAudio", &TrimwellModel::hasAudioChanged, &ModelInternals::setHasAudio},
          Flag{"busy", &TrimwellModel::busyChanged, &ModelInternals::setBusy},
          Flag{"playing", &TrimwellModel::playingChanged, &ModelInternals::setPlaying}}) {
        SCOPED_TRACE(f.name);
        QSignalSpy spy(&m, f.changed);
        f.set(m, false);
        f.set(m, true);
        f.set(m, true);
        f.set(m, false);
        EXPECT_EQ(spy.count(), 2);
    }

    QSignalSpy status(&m, &TrimwellModel::statusChanged);
    ModelInternals::setStatus(m, "Open a movie.");
    ModelInternals::setStatus(m, "Ready.");
    ModelInternals::setStatus(m, QString::fromStdString("Ready."));
    EXPECT_EQ(status.count(), 1);

    QSignalSpy source(&m, &TrimwellModel::sourceURLChanged);
    ModelInternals::setSourceURL(m, std::nullopt);
    ModelInternals::setSourceURL(m, "/movies/a.mov");
    ModelInternals::setSourceURL(m, "/movies/a.mov");
    ModelInternals::setSourceURL(m, "/movies/b.mov");
    ModelInternals::setSourceURL(m, std::nullopt);
    ModelInternals::setSourceURL(m, std::nullopt);
    EXPECT_EQ(source.count(), 3);
}

TEST(ModelState, CanSaveNeedsAMovieALongEnoughCutAndNoSave) {
    struct Case {
        const char* name;
        bool source;
        double duration, in, out;
        bool busy;
        bool canSave;
        int flips; // how often canSave changed on the way
    };
    const Case cases[] = {
        {"no movie", false, 10, 0, 10, false, false, 0},
        {"whole movie", true, 10, 0, 10, false, true, 1},
        {"movie of exactly the shortest cut", true, 0.1, 0, 0.1, false, false, 0},
        {"cut of exactly the shortest cut", true, 0.2, 0, 0.1, false, true, 1},
        {"cut just shorter", true, 0.2, 0, 0.09, false, false, 0},
        {"marks crossed for a moment", true, 10, 5, 4.95, false, false, 0},
        {"a save runs", true, 10, 0, 10, true, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        TrimwellModel& m = *rig.model;
        QSignalSpy spy(&m, &TrimwellModel::canSaveChanged);
        if (c.source)
            ModelInternals::setSourceURL(m, "/movies/clip.mov");
        ModelInternals::setDuration(m, c.duration);
        m.setInPoint(c.in);
        m.setOutPoint(c.out);
        ModelInternals::setBusy(m, c.busy);
        EXPECT_EQ(m.canSave(), c.canSave);
        // The derived value tells its observers exactly when it flips.
        EXPECT_EQ(spy.count(), c.flips);
    }
}

TEST(ModelState, SizeEstimateFollowsMarksRateAndSound) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    QSignalSpy spy(&m, &TrimwellModel::aboutTextChanged);
    ModelInternals::setDuration(m, 20);
    m.setInPoint(5);
    m.setOutPoint(15);
    ModelInternals::setHasAudio(m, true);
    EXPECT_EQ(m.aboutText(), "About 5.2 MB");
    ModelInternals::setHasAudio(m, false);
    EXPECT_EQ(m.aboutText(), "About 5.0 MB");
    m.setMegabits(8);
    EXPECT_EQ(m.aboutText(), "About 10 MB");
    m.setOutPoint(4);
    EXPECT_EQ(m.aboutText(), "About 0 MB");
    const int before = spy.count();
    m.setInPoint(6); // still crossed: the text stays, so no notification
    EXPECT_EQ(spy.count(), before);
}
