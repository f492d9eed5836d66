#include "window/TrimwellApp.h"

#include "PlayerTesting.h"
#include "model/FakePanels.h"
#include "model/FakePlayer.h"
#include "model/ModelInternals.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "support/TestMovies.h"
#include "window/TrimwellWindow.h"

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

struct AppRig {
    FakePanels panels;
    FakePlayer* player{nullptr};
    std::unique_ptr<TrimwellApp> app;

    AppRig() {
        auto owned = std::make_unique<FakePlayer>();
        player = owned.get();
        app = std::make_unique<TrimwellApp>(std::make_unique<TrimwellModel>(std::move(owned)),
                                            &panels);
    }
};

} // namespace

TEST(TrimwellApp, OneWindowWithItsTitleSizesAndFileMenu) {
    AppRig rig;
    QMainWindow& window = rig.app->window();
    rig.app->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), "Trimwell");
    EXPECT_EQ(window.objectName(), "main");
    EXPECT_EQ(rig.app->content().size(), QSize(880, 740));

    // The File menu, the View menu with the timeline's switch and the loop, and Help.
    QList<QMenu*> menus;
    for (QAction* item : window.menuBar()->actions())
        menus << item->menu();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[0]->title(), "&File");
    EXPECT_EQ(menus[1]->title(), "&View");
    EXPECT_EQ(menus[2]->title(), "&Help");
    QStringList titles;
    for (QAction* action : menus[0]->actions())
        if (!action->isSeparator())
            titles << action->text();
    EXPECT_EQ(titles, (QStringList{"Open Movie\u2026", "Save Trimwell\u2026", "Quit"}));
    EXPECT_EQ(rig.app->openAction().shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(rig.app->saveAction().shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));

    // Never smaller than the content's minimum.
    window.resize(200, 200);
    QCoreApplication::processEvents();
    EXPECT_GE(rig.app->content().width(), 720);
    EXPECT_GE(rig.app->content().height(), 640);
}

TEST(TrimwellApp, TheMenuShortcutsReachTheModelAndAreNeverDisabled) {
    AppRig rig;
    QMainWindow& window = rig.app->window();
    rig.app->show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(rig.panels.openRequests.size(), 1u);
    EXPECT_EQ(rig.panels.openRequests[0].title.empty(), false);

    // No movie: the save command still runs and the model says why it cannot save.
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(rig.app->model().status(), "Open a movie.");

    ModelInternals::setBusy(rig.app->model(), true);
    EXPECT_TRUE(rig.app->openAction().isEnabled());
    EXPECT_TRUE(rig.app->saveAction().isEnabled());
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(rig.app->model().status(), "A save is still running.");
    EXPECT_EQ(rig.panels.openRequests.size(), 1u);
}

TEST(TrimwellApp, OpensTheMovieNamedOnTheCommandLineAsIfItHadBeenPicked) {
    const std::string source = makeMovie(
        "app-named.mp4",
        "-f lavfi -i testsrc2=size=160x120:rate=30:duration=3 -c:v libx264 -pix_fmt yuv420p");
    {
        AppRig rig;
        rig.app->show();
        rig.app->openArguments({"trimwell", QString::fromStdString(source)});
        ASSERT_TRUE(waitUntil([&] { return rig.app->model().status() == "Ready."; }));
        EXPECT_NEAR(rig.app->model().duration(), 3.0, 0.05);
        EXPECT_EQ(rig.app->model().sourceURL(), source);
        EXPECT_TRUE(rig.panels.openRequests.empty());
    }
    {
        AppRig rig;
        rig.app->show();
        const std::string missing = freshFolder("app-named-missing") + "/missing.mp4";
        rig.app->openArguments({"trimwell", "--", QString::fromStdString(missing)});
        ASSERT_TRUE(waitUntil([&] { return rig.app->model().status() != "Reading the movie."; }));
        EXPECT_EQ(rig.app->model().status(), "That movie could not be read.");
    }
}

TEST(TrimwellApp, ClosingTheWindowDuringASaveRemovesThePartialFile) {
    const std::string source = makeMovie(
        "window-long.mp4", "-f lavfi -i testsrc2=size=1280x720:rate=30:duration=40 "
                           "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=40 "
                           "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
    const std::string folder = freshFolder("window-close-during-save");
    const std::string destination = folder + "/cut.mp4";
    FakePanels panels;
    panels.saveReplies.push_back(destination);
    // The real player and writer, as the program runs them.
    auto app = std::make_unique<TrimwellApp>(
        std::make_unique<TrimwellModel>(std::make_unique<MpvPlayer>()), &panels);
    app->show();
    TrimwellModel& model = app->model();
    model.open(source);
    ASSERT_TRUE(waitUntil([&] { return model.status() == "Ready."; }, 20));
    app->saveAction().trigger();
    ASSERT_TRUE(model.busy());
    // The save writes to a partial file that has no name until it is finished: wait until
    // pictures are being written.
    ASSERT_TRUE(waitUntil([&] { return model.progress() > 0; }, 30));
    ASSERT_TRUE(model.busy()) << "the save ended before the window could be closed";

    app->window().close();
    app.reset();
    EXPECT_EQ(listFolder(folder), std::vector<std::string>{});
    EXPECT_TRUE(std::filesystem::exists(source));
}
