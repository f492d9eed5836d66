#include "WindowRig.h"

#include "PlayerTesting.h"
#include "support/TestMovies.h"
#include "window/ElidedLabel.h"
#include "window/SecondsSlider.h"

#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

const char* const kTimeControls[] = {"play",      "playhead", "inSlider",
                                     "outSlider", "inSet",    "outSet"};

void expectEnabled(const WindowRig& rig, const char* name, bool enabled) {
    EXPECT_EQ(rig.find(name)->isEnabled(), enabled) << name;
}

// Shown (not hidden) while its window is shown.
bool shown(const WindowRig& rig, const char* name) {
    return rig.find(name)->isVisibleTo(rig.window.get());
}

} // namespace

TEST(TrimwellWindow, WithNoMovieOnlyOpenAndTheRateAreLive) {
    WindowRig rig;
    rig.window->show();
    EXPECT_EQ(rig.text("time"), "0:00.0 / 0:00.0");
    EXPECT_EQ(rig.text("inLabel"), "0:00.0");
    EXPECT_EQ(rig.text("outLabel"), "0:00.0");
    EXPECT_EQ(rig.text("bitRate"), "4.0 Mb/s");
    EXPECT_EQ(rig.find<ElidedLabel>("fileName")->fullText(), "No movie");
    EXPECT_EQ(rig.text("soundNote"), "");
    EXPECT_EQ(rig.text("status"), rig.model->status());
    EXPECT_EQ(rig.button("play")->text(), "Play");
    for (const char* name : kTimeControls)
        expectEnabled(rig, name, false);
    for (const char* name : {"playhead", "inSlider", "outSlider"}) {
        EXPECT_EQ(rig.find<SecondsSlider>(name)->minimum(), 0) << name;
        EXPECT_EQ(rig.find<SecondsSlider>(name)->maximum(), 1) << name;
    }
    expectEnabled(rig, "megabits", true);
    expectEnabled(rig, "open", true);
    EXPECT_TRUE(shown(rig, "save"));
    expectEnabled(rig, "save", false);
    EXPECT_FALSE(shown(rig, "progress"));
    EXPECT_FALSE(shown(rig, "stop"));
}

TEST(TrimwellWindow, WithAMovieOpenShowsItsLengthMarksAndSound) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/holiday.mov", 65, true);
    rig.model->setPlayhead(12.4);
    rig.model->setInPoint(2.5);
    EXPECT_EQ(rig.text("time"), "0:12.4 / 1:05.0");
    EXPECT_EQ(rig.text("inLabel"), "0:02.5");
    EXPECT_EQ(rig.text("outLabel"), "1:05.0");
    EXPECT_EQ(rig.find<ElidedLabel>("fileName")->fullText(), "holiday.mov");
    EXPECT_EQ(rig.text("soundNote"), "Sound is kept at 160 kb/s.");
    EXPECT_EQ(rig.text("about"), rig.model->aboutText());
    for (const char* name : {"playhead", "inSlider", "outSlider"})
        EXPECT_EQ(rig.find<SecondsSlider>(name)->maximum(), 65) << name;
    EXPECT_EQ(rig.find<SecondsSlider>("playhead")->value(), 12.4);
    for (const char* name : kTimeControls)
        expectEnabled(rig, name, true);
    expectEnabled(rig, "save", true);

    ModelInternals::setHasAudio(*rig.model, false);
    EXPECT_EQ(rig.text("soundNote"), "This movie has no sound.");
    rig.model->togglePlay();
    EXPECT_EQ(rig.button("play")->text(), "Pause");
    rig.model->setMegabits(12.34);
    EXPECT_EQ(rig.text("bitRate"), "12.3 Mb/s");
    // A cut shorter than the shortest one cannot be saved.
    rig.model->setOutPoint(2.3);
    expectEnabled(rig, "save", false);
}

TEST(TrimwellWindow, WhileSavingOnlyStopIsLiveAndItAnswersAtOnce) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/holiday.mov", 65, true);
    // A save that stands at 40 % for as long as the test looks.
    ModelInternals::setBusy(*rig.model, true);
    ModelInternals::setProgress(*rig.model, 0.4);
    for (const char* name : kTimeControls)
        expectEnabled(rig, name, false);
    expectEnabled(rig, "megabits", false);
    expectEnabled(rig, "open", false);
    EXPECT_FALSE(shown(rig, "save"));
    EXPECT_TRUE(shown(rig, "progress"));
    EXPECT_TRUE(shown(rig, "stop"));
    expectEnabled(rig, "stop", true);
    EXPECT_EQ(rig.find<QProgressBar>("progress")->value(), 400);

    // The space bar does nothing while Play is disabled.
    rig.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.window.get()));
    QTest::keyClick(rig.window.get(), Qt::Key_Space);
    EXPECT_EQ(rig.player->playCalls, 0);

    QTest::mouseClick(rig.button("stop"), Qt::LeftButton);
    EXPECT_EQ(rig.text("status"), "Stopping.");
    EXPECT_EQ(rig.find<QProgressBar>("progress")->value(), 400);

    ModelInternals::setBusy(*rig.model, false);
    EXPECT_TRUE(shown(rig, "save"));
    EXPECT_FALSE(shown(rig, "progress"));
    EXPECT_FALSE(shown(rig, "stop"));
}

TEST(TrimwellWindow, StopPastTheFilesPlacingIsGreyedAndSaysTheFileIsBeingFinished) {
    for (const bool placing : {false, true}) {
        SCOPED_TRACE(placing ? "the file is being put in place" : "the save still runs");
        WindowRig rig;
        rig.window->show();
        rig.pretendOpen("/movies/holiday.mov", 65, true);
        ModelInternals::setBusy(*rig.model, true);
        auto flag = std::make_shared<StopFlag>();
        ModelInternals::setStopFlag(*rig.model, flag);
        if (placing) {
            ASSERT_TRUE(flag->beginFinishing());
        }
        QTest::mouseClick(rig.button("stop"), Qt::LeftButton);
        EXPECT_EQ(rig.text("status"), placing ? "Finishing the file." : "Stopping.");
        EXPECT_EQ(flag->isStopped(), !placing);
        EXPECT_EQ(rig.model->finishing(), placing);
        expectEnabled(rig, "stop", !placing);
        // A stop that was taken is seen by the save's last step, which then does not run.
        EXPECT_EQ(flag->beginFinishing(), placing);
    }
}

TEST(TrimwellWindow, TheSpaceBarPlaysAndPausesWhereverTheFocusIs) {
    WindowRig rig;
    rig.pretendOpen("/movies/holiday.mov", 65, false);
    rig.window->show();
    rig.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.window.get()));
    rig.find("outSlider")->setFocus();
    QTest::keyClick(rig.window.get(), Qt::Key_Space);
    EXPECT_EQ(rig.player->playCalls, 1);
    EXPECT_EQ(rig.button("play")->text(), "Pause");
    QTest::keyClick(rig.window.get(), Qt::Key_Space);
    EXPECT_EQ(rig.player->pauseCalls, 1);
    EXPECT_EQ(rig.button("play")->text(), "Play");
    // With a modifier it is not the Play key.
    QTest::keyClick(rig.window.get(), Qt::Key_Space, Qt::ShiftModifier);
    EXPECT_EQ(rig.player->playCalls, 1);
}

TEST(TrimwellWindow, ArmsTheClockEachTimeItIsShown) {
    WindowRig rig;
    EXPECT_FALSE(rig.model->timeToken().has_value());
    rig.window->show();
    EXPECT_TRUE(rig.model->timeToken().has_value());
    rig.window->hide();
    rig.window->show();
    // armClock installs its observer once, however often it is called.
    EXPECT_EQ(rig.player->periodic.size(), 1u);
}

TEST(TrimwellWindow, ShortensALongFileNameInTheMiddle) {
    WindowRig rig;
    rig.window->resize(720, 640);
    rig.window->show();
    const std::string name = "a-very-long-holiday-movie-name-" + std::string(150, 'x') + "-end.mov";
    rig.pretendOpen("/movies/" + name, 65, true);
    QCoreApplication::processEvents();
    const auto* label = rig.find<ElidedLabel>("fileName");
    const QString shownText = label->text();
    EXPECT_TRUE(shownText.contains(QChar(0x2026))) << shownText.toStdString();
    EXPECT_TRUE(shownText.startsWith("a-very-long")) << shownText.toStdString();
    EXPECT_TRUE(shownText.endsWith("-end.mov")) << shownText.toStdString();
    EXPECT_LE(label->width(), rig.window->width());
    EXPECT_EQ(label->toolTip().toStdString(), name);
    // The window did not grow to fit it.
    EXPECT_EQ(rig.window->width(), 720);
}

TEST(TrimwellWindow, TheStatusLineCanBeSelected) {
    WindowRig rig;
    rig.model->open(freshFolder("window-status") + "/missing.mp4");
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() != "Reading the movie."; }));
    const auto* status = rig.find<QLabel>("status");
    EXPECT_EQ(status->text(), "That movie could not be read.");
    EXPECT_TRUE(status->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST(TrimwellWindow, ADropOfFilesOpensTheFirstAndIsRefusedWhileSaving) {
    const std::string first = makeMovie(
        "window-drop-a.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 -c:v libx264 -pix_fmt yuv420p");
    const std::string second = makeMovie(
        "window-drop-b.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=30:duration=3 -c:v libx264 -pix_fmt yuv420p");
    WindowRig rig;
    rig.window->show();
    const auto drop = [&](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(rig.window.get(), &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent event(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(rig.window.get(), &event);
        return event.isAccepted();
    };

    EXPECT_FALSE(drop({QUrl("https://example.com/movie.mp4")}));
    EXPECT_TRUE(drop({QUrl::fromLocalFile(QString::fromStdString(first)),
                      QUrl::fromLocalFile(QString::fromStdString(second)),
                      QUrl::fromLocalFile("/nowhere/third.mp4")}));
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }, 20));
    EXPECT_EQ(rig.model->sourceURL(), first);
    EXPECT_EQ(rig.text("time"), "0:00.0 / 0:02.0");

    rig.panels.saveReplies = {freshFolder("window-drop-during-save") + "/cut.mp4"};
    rig.model->pickSave();
    ASSERT_TRUE(rig.model->busy());
    EXPECT_FALSE(drop({QUrl::fromLocalFile(QString::fromStdString(second))}));
    spin(0.2);
    EXPECT_EQ(rig.model->sourceURL(), first);
}

TEST(TrimwellWindow, AFailedSaveShowsItsReasonAsTheStatusTooltipUntilTheNextStatus) {
    const std::string folder = freshFolder("window-failed-save");
    const std::string source = makeMovie(
        "window-failed-save.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 -c:v libx264 -pix_fmt yuv420p");
    WindowRig rig;
    rig.window->show();
    rig.model->open(source);
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }));
    // A folder that is not there: the save fails before a picture is written.
    rig.panels.saveReplies = {folder + "/not-there/cut.mp4"};
    rig.model->pickSave();
    ASSERT_TRUE(waitUntil([&] { return !rig.model->busy(); }));
    const auto* status = rig.find<QLabel>("status");
    EXPECT_EQ(status->text(), "The save stopped. The partial file was removed.");
    EXPECT_TRUE(status->toolTip().startsWith("Trimwell save: ")) << status->toolTip().toStdString();
    EXPECT_GT(status->toolTip().size(), QString("Trimwell save: ").size());
    rig.model->open(source);
    ASSERT_TRUE(waitUntil([&] { return rig.model->status() == "Ready."; }));
    EXPECT_TRUE(status->toolTip().isEmpty());
}
