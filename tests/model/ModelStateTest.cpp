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
    EXPECT_EQ(m.loadTicket(), 0);
    EXPECT_FALSE(m.drag());
    EXPECT_FALSE(m.inside());
    EXPECT_FALSE(m.stopFlag());
    EXPECT_FALSE(m.progressBox());
    EXPECT_EQ(m.progressTimer(), nullptr);
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
        void (TrimwellModel::*set)(double);
    };
    const Field fields[] = {
        {"duration", &TrimwellModel::durationChanged, &TrimwellModel::setDuration},
        {"inPoint", &TrimwellModel::inPointChanged, &TrimwellModel::setInPoint},
        {"outPoint", &TrimwellModel::outPointChanged, &TrimwellModel::setOutPoint},
        {"playhead", &TrimwellModel::playheadChanged, &TrimwellModel::setPlayhead},
        {"megabits", &TrimwellModel::megabitsChanged, &TrimwellModel::setMegabits},
        {"progress", &TrimwellModel::progressChanged, &TrimwellModel::setProgress},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        Rig rig;
        TrimwellModel& m = *rig.model;
        QSignalSpy spy(&m, f.changed);
        (m.*f.set)(3.5);
        (m.*f.set)(3.5);
        EXPECT_EQ(spy.count(), 1);
        // Equality is numeric: the two zeros are the same number.
        (m.*f.set)(0.0);
        (m.*f.set)(-0.0);
        EXPECT_EQ(spy.count(), 2);
        // A stored NaN equals nothing, itself included.
        (m.*f.set)(std::nan(""));
        (m.*f.set)(std::nan(""));
        EXPECT_EQ(spy.count(), 4);
    }
}

TEST(ModelState, TruthTextAndLocationNotifyOnlyOnARealChange) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    struct Flag {
        const char* name;
        void (TrimwellModel::*changed)();
        void (TrimwellModel::*set)(bool);
    };
    for (const Flag& f :
         {Flag{"hasAudio", &TrimwellModel::hasAudioChanged, &TrimwellModel::setHasAudio},
          Flag{"busy", &TrimwellModel::busyChanged, &TrimwellModel::setBusy},
          Flag{"playing", &TrimwellModel::playingChanged, &TrimwellModel::setPlaying}}) {
        SCOPED_TRACE(f.name);
        QSignalSpy spy(&m, f.changed);
        (m.*f.set)(false);
        (m.*f.set)(true);
        (m.*f.set)(true);
        (m.*f.set)(false);
        EXPECT_EQ(spy.count(), 2);
    }

    QSignalSpy status(&m, &TrimwellModel::statusChanged);
    m.setStatus("Open a movie.");
    m.setStatus("Ready.");
    m.setStatus(QString::fromStdString("Ready."));
    EXPECT_EQ(status.count(), 1);

    QSignalSpy source(&m, &TrimwellModel::sourceURLChanged);
    m.setSourceURL(std::nullopt);
    m.setSourceURL("/movies/a.mov");
    m.setSourceURL("/movies/a.mov");
    m.setSourceURL("/movies/b.mov");
    m.setSourceURL(std::nullopt);
    m.setSourceURL(std::nullopt);
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
            m.setSourceURL("/movies/clip.mov");
        m.setDuration(c.duration);
        m.setInPoint(c.in);
        m.setOutPoint(c.out);
        m.setBusy(c.busy);
        EXPECT_EQ(m.canSave(), c.canSave);
        // The derived value tells its observers exactly when it flips.
        EXPECT_EQ(spy.count(), c.flips);
    }
}

TEST(ModelState, SizeEstimateFollowsMarksRateAndSound) {
    Rig rig;
    TrimwellModel& m = *rig.model;
    QSignalSpy spy(&m, &TrimwellModel::aboutTextChanged);
    m.setDuration(20);
    m.setInPoint(5);
    m.setOutPoint(15);
    m.setHasAudio(true);
    EXPECT_EQ(m.aboutText(), "About 5.2 MB");
    m.setHasAudio(false);
    EXPECT_EQ(m.aboutText(), "About 5.0 MB");
    m.setMegabits(8);
    EXPECT_EQ(m.aboutText(), "About 10 MB");
    m.setOutPoint(4);
    EXPECT_EQ(m.aboutText(), "About 0 MB");
    const int before = spy.count();
    m.setInPoint(6); // still crossed: the text stays, so no notification
    EXPECT_EQ(spy.count(), before);
}
