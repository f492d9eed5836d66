// Frame steps from the time sliders' keys, in the real window with the real player: each key
// lands on the next or previous picture's own time, and the picture shown is that one.
#include "PlayerTesting.h"
#include "model/FakePanels.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"
#include "support/TestMovies.h"
#include "window/PreviewPane.h"
#include "window/SecondsSlider.h"
#include "window/TrimwellApp.h"
#include "window/TrimwellWindow.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// The player reports a landing seek's target on the model's 1/600 s grid.
constexpr double kSameTime = 0.001;
// ffprobe prints times to the microsecond.
constexpr double kPrinted = 1e-5;

struct Stepping {
    FakePanels panels;
    std::unique_ptr<TrimwellApp> app = std::make_unique<TrimwellApp>(
        std::make_unique<TrimwellModel>(std::make_unique<MpvPlayer>()), &panels);
    TrimwellModel& model = app->model();

    Stepping() { app->show(); }
    bool open(const std::string& path) {
        model.open(path);
        return waitUntil([&] { return model.status() != "Reading the movie."; }, 20) &&
               model.status() == "Ready.";
    }
    SecondsSlider* slider(const char* name) const {
        return app->content().findChild<SecondsSlider*>(QString::fromLatin1(name));
    }
    int shownFrame() const {
        const auto* pane = app->content().findChild<PreviewPane*>(QStringLiteral("preview"));
        return frameIndexAtCentre(pane->view().picture());
    }
    // The preview shows frame and the playhead stands at time.
    bool shows(int frame, double time) {
        return waitUntil(
            [&] { return shownFrame() == frame && std::abs(model.playhead() - time) < kSameTime; },
            10);
    }
    void press(const char* name, Qt::Key key) { QTest::keyClick(slider(name), key); }
    void dragIn(double t) {
        model.beginInDrag();
        model.setInPoint(t);
        model.endInDrag();
    }
    void dragOut(double t) {
        model.beginOutDrag();
        model.setOutPoint(t);
        model.endOutDrag();
    }
};

} // namespace

TEST(Stepping, ArrowKeysWalkThePicturesOneByOneForwardAndBack) {
    const std::string movies[] = {codedFramesMovie(), codedFramesNtscTransportStream(),
                                  codedFramesVariableRate(), codedFramesScreenRecording()};
    for (const std::string& movie : movies) {
        SCOPED_TRACE(movie);
        const std::vector<double> times = pictureTimes(movie);
        ASSERT_GE(times.size(), 41u);
        Stepping s;
        ASSERT_TRUE(s.open(movie));
        ASSERT_TRUE(waitUntil([&] { return s.shownFrame() == 0; }, 10));
        s.slider("playhead")->setFocus();
        for (int i = 1; i < 40; ++i)
            ASSERT_TRUE((s.press("playhead", Qt::Key_Right), s.shows(i, times[i])))
                << "forward to " << i << ": shows " << s.shownFrame() << " at "
                << s.model.playhead();
        for (int i = 38; i >= 0; --i)
            ASSERT_TRUE((s.press("playhead", Qt::Key_Left), s.shows(i, times[i])))
                << "back to " << i << ": shows " << s.shownFrame() << " at " << s.model.playhead();
        EXPECT_FALSE(s.model.drag().has_value());
        EXPECT_FALSE(s.model.playing());

        // A page is one second; Home and End are the movie's ends.
        const double before = s.model.playhead();
        s.press("playhead", Qt::Key_PageUp);
        EXPECT_DOUBLE_EQ(s.model.playhead(), before + 1);
        s.press("playhead", Qt::Key_End);
        EXPECT_EQ(s.model.playhead(), s.model.duration());
        s.press("playhead", Qt::Key_Home);
        EXPECT_EQ(s.model.playhead(), 0);
    }
}

TEST(Stepping, SetInAfterThreeStepsCutsFromThatPicture) {
    // 29.97 frames a second after a start offset: no picture lies on the 1/600 s grid.
    const std::string movie = codedFramesNtscTransportStream();
    const std::vector<double> times = pictureTimes(movie);
    Stepping s;
    ASSERT_TRUE(s.open(movie));
    s.dragOut(2.5);
    s.dragIn(1.0); // picture 30 is the first from there on
    ASSERT_TRUE(waitUntil([&] { return s.shownFrame() == 30; }, 10));
    s.slider("playhead")->setFocus();
    for (int i = 0; i < 3; ++i)
        s.press("playhead", Qt::Key_Right);
    ASSERT_TRUE(s.shows(33, times[33]));
    QTest::mouseClick(s.app->content().findChild<QPushButton*>(QStringLiteral("inSet")),
                      Qt::LeftButton);
    EXPECT_NEAR(s.model.inPoint(), times[33], kSameTime);

    const std::string out = freshFolder("step-set-in") + "/cut.mp4";
    s.panels.saveReplies.push_back(out);
    s.model.pickSave();
    ASSERT_TRUE(s.model.busy());
    ASSERT_TRUE(waitUntil([&] { return !s.model.busy(); }, 60));
    ASSERT_EQ(s.model.status(), "Saved.");
    const Rgb first = pixelAt(out, 0, 80, 60);
    EXPECT_EQ(frameIndexOf(QColor(first.r, first.g, first.b)), 33);
}

TEST(Stepping, AMarkStepsOnePictureAndThePullApartKeepsTheGap) {
    const std::string movie = codedFramesMovie();
    const std::vector<double> times = pictureTimes(movie);
    Stepping s;
    ASSERT_TRUE(s.open(movie));
    s.dragOut(times[33]);
    s.dragIn(times[30]);
    ASSERT_NEAR(s.model.outPoint() - s.model.inPoint(), 0.1, 1e-9);

    // The in mark steps onto the out mark's gap: the out mark is carried along.
    s.slider("inSlider")->setFocus();
    s.press("inSlider", Qt::Key_Right);
    EXPECT_NEAR(s.model.inPoint(), times[31], kPrinted);
    EXPECT_GE(s.model.outPoint() - s.model.inPoint(), s.model.shortest());
    EXPECT_NEAR(s.model.outPoint(), s.model.inPoint() + 0.1, 1e-9);
    EXPECT_TRUE(s.shows(31, times[31])); // the preview follows the mark

    // Back on the out mark, two pictures: the in mark gives way.
    s.slider("outSlider")->setFocus();
    s.press("outSlider", Qt::Key_Left); // from 1.1333, the picture shown there is 34
    s.press("outSlider", Qt::Key_Left);
    EXPECT_NEAR(s.model.outPoint(), times[32], kPrinted);
    EXPECT_GE(s.model.outPoint() - s.model.inPoint(), s.model.shortest());
    EXPECT_NEAR(s.model.inPoint(), s.model.outPoint() - 0.1, 1e-9);
    EXPECT_TRUE(s.shows(32, times[32]));

    // The wheel moves a mark one picture per notch.
    auto* out = s.slider("outSlider");
    const QPointF centre(out->width() / 2.0, out->height() / 2.0);
    QWheelEvent notch(centre, out->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(out, &notch);
    EXPECT_NEAR(s.model.outPoint(), times[33], kPrinted);
    EXPECT_FALSE(s.model.drag().has_value());
}

TEST(Stepping, TwentyQueuedRepeatsEndOnTheTwentiethPicture) {
    const std::string movie = codedFramesMovie();
    const std::vector<double> times = pictureTimes(movie);
    Stepping s;
    ASSERT_TRUE(s.open(movie));
    ASSERT_TRUE(waitUntil([&] { return s.shownFrame() == 0; }, 10));
    SecondsSlider* playhead = s.slider("playhead");
    playhead->setFocus();
    // A held key: the repeats arrive faster than pictures can be shown.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::postEvent(playhead, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right,
                                                            Qt::NoModifier, QString(), i > 0));
    ASSERT_TRUE(s.shows(20, times[20]))
        << "shows " << s.shownFrame() << " at " << s.model.playhead();
    spin(0.3);
    EXPECT_EQ(s.shownFrame(), 20);
    EXPECT_NEAR(s.model.playhead(), times[20], kSameTime);
}

TEST(Stepping, AClickedButtonLeavesTheArrowKeysWithThePlayhead) {
    const std::string movie = codedFramesMovie();
    const std::vector<double> times = pictureTimes(movie);
    Stepping s;
    ASSERT_TRUE(s.open(movie));
    ASSERT_TRUE(waitUntil([&] { return s.shownFrame() == 0; }, 10));
    TrimwellWindow& window = s.app->content();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
    auto click = [&](const char* name) {
        QTest::mouseClick(window.findChild<QPushButton*>(QString::fromLatin1(name)),
                          Qt::LeftButton);
    };
    // Keys as the user types them: to whatever has the focus, through the window's table.
    auto press = [&](Qt::Key key, int times) {
        for (int i = 0; i < times; ++i)
            QTest::keyClick(window.window(), key);
    };
    const double rate = s.model.megabits();

    press(Qt::Key_Right, 10);
    ASSERT_TRUE(s.shows(10, times[10])) << "shows " << s.shownFrame();
    click("inSet");
    EXPECT_NEAR(s.model.inPoint(), times[10], kSameTime);
    // One picture a press, from the first press on.
    for (int frame = 11; frame <= 15; ++frame)
        ASSERT_TRUE((press(Qt::Key_Right, 1), s.shows(frame, times[frame])))
            << "after Set In, to " << frame << ": shows " << s.shownFrame();
    click("outSet");
    EXPECT_NEAR(s.model.outPoint(), times[15], kSameTime);
    ASSERT_TRUE((press(Qt::Key_Left, 1), s.shows(14, times[14]))) << s.shownFrame();
    ASSERT_TRUE((press(Qt::Key_Right, 2), s.shows(16, times[16]))) << s.shownFrame();
    EXPECT_EQ(s.model.megabits(), rate);
    EXPECT_NEAR(s.model.inPoint(), times[10], kSameTime);
    EXPECT_NEAR(s.model.outPoint(), times[15], kSameTime);

    // While a slider is held the arrows leave the playhead alone; a drag of the rate does not
    // take them either.
    auto* megabits = s.slider("megabits");
    QTest::mousePress(megabits, Qt::LeftButton, {}, QPoint(megabits->width() / 3, 5));
    press(Qt::Key_Right, 1);
    spin(0.3);
    EXPECT_NEAR(s.model.playhead(), times[16], kSameTime);
    QTest::mouseRelease(megabits, Qt::LeftButton, {}, QPoint(megabits->width() / 3, 5));
    const double dragged = s.model.megabits();
    ASSERT_TRUE((press(Qt::Key_Right, 1), s.shows(17, times[17]))) << s.shownFrame();
    EXPECT_EQ(s.model.megabits(), dragged);

    // The cut holds exactly the pictures between the marks.
    const std::string out = freshFolder("step-clicked") + "/cut.mp4";
    s.panels.saveReplies.push_back(out);
    click("save");
    ASSERT_TRUE(waitUntil([&] { return !s.model.busy(); }, 60));
    ASSERT_EQ(s.model.status(), "Saved.");
    EXPECT_EQ(probe(out, "v:0", "nb_frames"), "5");
    for (const auto& [picture, frame] : {std::pair{0, 10}, {4, 14}}) {
        const Rgb colour = pixelAt(out, picture, 80, 60);
        EXPECT_EQ(frameIndexOf(QColor(colour.r, colour.g, colour.b)), frame) << picture;
    }
}

TEST(Stepping, TenStepsSetInFiveStepsSetOutCutsPicturesTenToFourteenInEveryContainer) {
    // Every container the player steps in, a DVD's program stream (a fifth of its pictures
    // untimed) and sources at 25 and 29.97 fps, all with sound, as the user does it: keys to
    // the window, clicks on the buttons.
    std::vector<CodedContainer> kinds = codedFramesInEveryContainer();
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p -g 30 -bf 2 -c:a aac ";
    kinds.push_back({"DVD program stream", codedFramesDvd()});
    kinds.push_back({"25 fps", codedFramesAtRate("steps-25.mp4", "25", h264), false, 75});
    kinds.push_back({"29.97 fps", codedFramesAtRate("steps-2997.mov", "30000/1001", h264)});
    const std::string folder = freshFolder("step-every-container");
    // A kind that fails stops there and the next is tried.
    const auto cutsTenToFourteen = [&](const CodedContainer& c, const std::string& out) {
        // The times the player shows the pictures at; a decode times the untimed ones.
        const std::vector<double> times =
            c.untimed ? aviShownTimes(c.path) : decodedPictureTimes(c.path);
        ASSERT_EQ(times.size(), c.pictures);
        Stepping s;
        ASSERT_TRUE(s.open(c.path)) << s.model.status().toStdString();
        ASSERT_TRUE(waitUntil([&] { return s.shownFrame() == 0; }, 10)) << s.shownFrame();
        TrimwellWindow& window = s.app->content();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
        auto click = [&](const char* name) {
            QTest::mouseClick(window.findChild<QPushButton*>(QString::fromLatin1(name)),
                              Qt::LeftButton);
        };
        auto right = [&](int presses) {
            for (int i = 0; i < presses; ++i)
                QTest::keyClick(window.window(), Qt::Key_Right);
        };

        const auto shown = [&] {
            const QImage picture =
                window.findChild<PreviewPane*>(QStringLiteral("preview"))->view().picture();
            return ::testing::Message()
                   << "shows " << s.shownFrame() << " ("
                   << picture.pixelColor(picture.width() / 2, picture.height() / 2)
                          .name()
                          .toStdString()
                   << ") at " << s.model.playhead();
        };
        // The preview of the DVD's MPEG-2 shows its small coded square up to 16 levels off
        // (seen on its B-pictures), too far to read the code by; the playhead's time and the
        // cut's pictures still say which picture the steps reached.
        const bool readable = std::string(c.kind) != "DVD program stream";
        const auto reaches = [&](int frame) {
            return readable
                       ? s.shows(frame, times[frame])
                       : waitUntil(
                             [&] {
                                 return std::abs(s.model.playhead() - times[frame]) < kSameTime;
                             },
                             10);
        };
        right(10);
        ASSERT_TRUE(reaches(10)) << shown();
        click("inSet");
        EXPECT_NEAR(s.model.inPoint(), times[10], kSameTime);
        right(5);
        ASSERT_TRUE(reaches(15)) << shown();
        click("outSet");
        EXPECT_NEAR(s.model.outPoint(), times[15], kSameTime);

        s.panels.saveReplies.push_back(out);
        click("save");
        ASSERT_TRUE(waitUntil([&] { return !s.model.busy(); }, 60));
        ASSERT_EQ(s.model.status(), "Saved.");
        // The cut holds the source's decoded pictures 10 to 14, each once.
        const std::vector<int> source = decodedFrameIndices(c.path);
        ASSERT_GE(source.size(), 15u);
        EXPECT_EQ(source[10], 10);
        EXPECT_EQ(source[14], 14);
        const std::vector<int> cut = decodedFrameIndices(out);
        EXPECT_EQ(cut, std::vector<int>(source.begin() + 10, source.begin() + 15));
    };
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        SCOPED_TRACE(kinds[i].kind);
        cutsTenToFourteen(kinds[i], folder + "/" + std::to_string(i) + ".mp4");
    }
}
