// The timeline strip in the window, offscreen, over generated movies: pressing and dragging on
// it, zooming it, the View menu's switch, and the work it leaves behind.
#include "WindowRig.h"

#include "PlayerTesting.h"
#include "model/TimelineModel.h"
#include "support/TestMovies.h"
#include "window/SecondsSlider.h"
#include "window/TimelineStrip.h"
#include "window/TrimwellApp.h"

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// Half a tick of the model's 1/600 s media timescale.
constexpr double kGrid = 0.5 / 600;

std::string minuteWithSound() {
    return makeMovie("strip-minute.mp4",
                     "-f lavfi -i testsrc2=size=160x90:rate=30:duration=60 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 "
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p -c:a aac -shortest");
}

std::string minuteSilent() {
    return makeMovie("strip-minute-silent.mp4",
                     "-f lavfi -i testsrc2=size=160x90:rate=30:duration=60 "
                     "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p");
}

QWidget* canvasOf(const WindowRig& rig) {
    return rig.find<QWidget>("timeline");
}

// Opens path through the model as the Open button would, and waits for it to be read.
void openMovie(WindowRig& rig, const std::string& path) {
    rig.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.model->open(path);
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }, 20));
}

QPoint along(const QWidget& w, double fraction) {
    return {static_cast<int>(w.width() * fraction), TimelineStrip::kPictureRow / 2};
}

void wheel(QWidget* target, QPoint at, int notches, Qt::KeyboardModifiers modifiers = {}) {
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(),
                      QPoint(0, notches * QWheelEvent::DefaultDeltasPerStep), Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

TEST(TimelineStrip, SitsBetweenThePreviewAndThePlayRowAndDrawsAsItReads) {
    WindowRig rig;
    openMovie(rig, minuteWithSound());
    QWidget* strip = rig.find<QWidget>("timelineStrip");
    QWidget* canvas = canvasOf(rig);
    ASSERT_TRUE(strip && canvas);
    EXPECT_TRUE(strip->isVisible());
    // Full width of the content, under the preview and above the playhead row.
    const QWidget* preview = rig.find<QWidget>("preview");
    const QWidget* play = rig.find<QWidget>("play");
    EXPECT_GT(canvas->mapTo(rig.window.get(), QPoint()).y(), preview->geometry().bottom());
    EXPECT_LT(strip->geometry().bottom(), play->geometry().top());
    EXPECT_EQ(strip->width(), preview->width());
    EXPECT_EQ(canvas->accessibleName(), "Timeline");
    EXPECT_FALSE(canvas->accessibleDescription().isEmpty());

    TimelineModel& t = rig.model->timeline();
    EXPECT_EQ(t.view().width(), canvas->width());
    ASSERT_TRUE(waitUntil([&] { return t.pending().empty() && t.peaksDone(); }, 20));
    EXPECT_FALSE(t.pictures().empty());
    EXPECT_EQ(t.pictures().begin()->second->height,
              static_cast<int>(TimelineStrip::kPictureRow * canvas->devicePixelRatioF()));
    // A movie with sound has its waveform row; the strip draws without complaint.
    EXPECT_EQ(canvas->height(), TimelineStrip::kPictureRow + 2 + TimelineStrip::kSoundRow);
    const QImage drawn = canvas->grab().toImage();
    EXPECT_FALSE(drawn.isNull());

    // A movie without sound has no waveform row at all.
    rig.model->open(minuteSilent());
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }, 20));
    ASSERT_TRUE(waitUntil([&] { return t.peaksDone(); }, 20));
    EXPECT_EQ(canvas->height(), TimelineStrip::kPictureRow);
}

TEST(TimelineStrip, PressingAndDraggingMovesThePlayheadAsItsSliderDoes) {
    WindowRig rig;
    openMovie(rig, minuteWithSound());
    QWidget* canvas = canvasOf(rig);
    auto* slider = rig.find<SecondsSlider>("playhead");
    rig.model->togglePlay();
    ASSERT_TRUE(rig.model->playing());

    std::vector<std::string> drags;
    QObject::connect(rig.model.get(), &TrimwellModel::dragChanged,
                     [&] { drags.push_back(rig.model->drag() ? "playhead" : "none"); });
    QTest::mousePress(canvas, Qt::LeftButton, {}, along(*canvas, 0.25));
    EXPECT_EQ(rig.model->drag(), TrimwellModel::Drag::playhead);
    EXPECT_FALSE(rig.model->playing()); // a press pauses, as the slider's does
    EXPECT_NEAR(rig.model->playhead(), 15, 0.2);
    // The preview follows the pointer while it is held...
    QTest::mouseMove(canvas, along(*canvas, 0.5));
    const double held = rig.model->playhead();
    EXPECT_NEAR(held, 30, 0.2);
    ASSERT_FALSE(rig.player->seeks.empty());
    EXPECT_NEAR(rig.player->seeks.back(), held, kGrid);
    EXPECT_EQ(slider->value(), held);
    // ...and the clock does not fight the drag.
    rig.player->tick(40);
    spin(0.05);
    EXPECT_EQ(rig.model->playhead(), held);
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, along(*canvas, 0.5));
    EXPECT_FALSE(rig.model->drag().has_value());
    EXPECT_EQ(drags, (std::vector<std::string>{"playhead", "none"}));
    EXPECT_NEAR(rig.player->seeks.back(), held, kGrid);
    EXPECT_FALSE(rig.model->playing()); // the release does not resume

    // Zoomed in, the same press lands on the time under the pointer in the zoomed view.
    rig.model->timeline().zoomAround(40, 4, 0.5);
    const double under = rig.model->timeline().view().secondsAt(canvas->width() * 0.75);
    QTest::mouseClick(canvas, Qt::LeftButton, {}, along(*canvas, 0.75));
    EXPECT_NEAR(rig.model->playhead(), under, 0.1);

    // While a save runs the strip takes no press.
    ModelInternals::setBusy(*rig.model, true);
    const double before = rig.model->playhead();
    QTest::mouseClick(canvas, Qt::LeftButton, {}, along(*canvas, 0.1));
    EXPECT_EQ(rig.model->playhead(), before);
    EXPECT_FALSE(rig.model->drag().has_value());
}

TEST(TimelineStrip, WheelKeysAndButtonsZoomScrollAndComeBackToTheWholeMovie) {
    WindowRig rig;
    openMovie(rig, minuteWithSound());
    QWidget* canvas = canvasOf(rig);
    TimelineModel& t = rig.model->timeline();
    ASSERT_TRUE(t.view().whole());
    auto* whole = rig.find<QToolButton>("timelineWhole");
    EXPECT_FALSE(whole->isEnabled());

    // The wheel zooms around the pointer: the time under it stays under it.
    const QPoint at = along(*canvas, 0.3);
    const double pointed = t.view().secondsAt(at.x());
    wheel(canvas, at, 2);
    EXPECT_NEAR(t.view().span(), 30, 1e-6);
    EXPECT_NEAR(t.view().secondsAt(at.x()), pointed, 1e-6);
    EXPECT_TRUE(whole->isEnabled());
    wheel(canvas, at, -1);
    EXPECT_NEAR(t.view().span(), 60 / std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(t.view().secondsAt(at.x()), pointed, 1e-6);

    // Shift and the wheel scroll the zoomed view, and so does its scroll bar.
    const double start = t.view().start();
    wheel(canvas, at, -1, Qt::ShiftModifier);
    EXPECT_GT(t.view().start(), start);
    EXPECT_NEAR(t.view().span(), 60 / std::sqrt(2.0), 1e-6);

    // The keys zoom around the playhead, wherever the focus is in the window.
    rig.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.window.get()));
    rig.model->setPlayhead(20);
    QTest::keyClick(rig.window.get(), Qt::Key_0, Qt::ControlModifier);
    EXPECT_TRUE(t.view().whole());
    const double playheadX = t.view().xAt(20);
    QTest::keyClick(rig.window.get(), Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_NEAR(t.view().span(), 30, 1e-6);
    EXPECT_NEAR(t.view().xAt(20), playheadX, 1e-6);
    QTest::keyClick(rig.window.get(), Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_NEAR(t.view().span(), 15, 1e-6);
    QTest::keyClick(rig.window.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_NEAR(t.view().span(), 30, 1e-6);

    // Zoomed all the way in: about a picture per second, and no further.
    auto* zoomIn = rig.find<QToolButton>("timelineZoomIn");
    for (int i = 0; i < 10 && zoomIn->isEnabled(); ++i)
        QTest::mouseClick(zoomIn, Qt::LeftButton);
    EXPECT_FALSE(zoomIn->isEnabled());
    EXPECT_DOUBLE_EQ(t.view().step(), 1);

    // Playing on past the view's end brings the view along.
    rig.model->setPlayhead(t.view().end() + 5);
    EXPECT_LE(t.view().start(), rig.model->playhead());
    EXPECT_GE(t.view().end(), rig.model->playhead());

    QTest::mouseClick(whole, Qt::LeftButton);
    EXPECT_TRUE(t.view().whole());
    EXPECT_FALSE(whole->isEnabled());
}

TEST(TimelineStrip, ClosingTheWindowLeavesNoWorkRunning) {
    WindowRig rig;
    const std::string movie = makeMovie(
        "strip-five-minutes.mp4", "-f lavfi -i color=c=red:size=160x90:rate=30:duration=300 "
                                  "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=300 "
                                  "-c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p -c:a aac");
    openMovie(rig, movie);
    TimelineModel& t = rig.model->timeline();
    ASSERT_TRUE(waitUntil([&] { return !t.pictures().empty(); }, 20));
    ASSERT_GT(t.runningWork(), 0);
    rig.window.reset();
    // Without a strip nothing is read: the reads stop and their threads end.
    EXPECT_TRUE(waitUntil([&] { return t.runningWork() == 0; }, 5));
    EXPECT_EQ(t.view().width(), 0);
}

TEST(TimelineStrip, TheViewMenuTurnsThePicturesAndSoundOffUntilTurnedOn) {
    FakePanels panels;
    auto player = std::make_unique<FakePlayer>();
    TrimwellApp app(std::make_unique<TrimwellModel>(std::move(player)), &panels);
    app.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.window()));
    QAction& toggle = app.timelinePicturesAction();
    EXPECT_EQ(toggle.text(), "Timeline pictures");
    EXPECT_TRUE(toggle.isCheckable());
    EXPECT_TRUE(toggle.isChecked());
    const QList<QMenu*> menus = app.window().menuBar()->findChildren<QMenu*>();
    EXPECT_TRUE(std::any_of(menus.begin(), menus.end(), [&](QMenu* m) {
        return m->title() == "&View" && m->actions().contains(&toggle);
    }));

    QWidget* strip = app.content().findChild<QWidget*>("timelineStrip");
    ASSERT_TRUE(strip);
    TimelineModel& t = app.model().timeline();
    app.model().open(minuteWithSound());
    ASSERT_TRUE(waitUntil([&] { return app.model().status() == "Ready."; }, 20));
    ASSERT_TRUE(waitUntil([&] { return !t.pictures().empty(); }, 20));
    const int previewHeight = app.content().findChild<QWidget*>("preview")->height();

    toggle.trigger();
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_FALSE(t.enabled());
    EXPECT_FALSE(strip->isVisible());
    EXPECT_TRUE(t.pictures().empty());
    EXPECT_TRUE(waitUntil([&] { return t.runningWork() == 0; }, 5));
    spin(0.1);
    EXPECT_GT(app.content().findChild<QWidget*>("preview")->height(), previewHeight);
    // Another movie opened while off starts no work either.
    app.model().open(minuteSilent());
    ASSERT_TRUE(waitUntil([&] { return app.model().status() == "Ready."; }, 20));
    spin(0.2);
    EXPECT_EQ(t.runningWork(), 0);
    EXPECT_TRUE(t.pictures().empty());

    toggle.trigger();
    EXPECT_TRUE(strip->isVisible());
    EXPECT_TRUE(waitUntil([&] { return !t.pictures().empty() && t.peaksDone(); }, 20));
}
