// The window's keys: each drives the model operation of the control it stands for, wherever
// the focus is, and none but Stop answers while a save runs; the "Go to Time" dialog; the
// keyboard table; and the whole flow on the real player, down to the saved pictures.
#include "PlayerTesting.h"
#include "model/FakePanels.h"
#include "model/FakePlayer.h"
#include "model/ModelInternals.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"
#include "support/TestMovies.h"
#include "window/GoToTimeDialog.h"
#include "window/KeyboardHelp.h"
#include "window/PreviewPane.h"
#include "window/TrimwellApp.h"
#include "window/TrimwellWindow.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// The scene over a scripted player, with a made-up 10 s movie at 25 pictures a second open,
// marks at 2 and 5 and the playhead at 3.
struct KeyRig {
    FakePanels panels;
    FakePlayer* player{nullptr};
    std::unique_ptr<TrimwellApp> app;
    TrimwellModel* model{nullptr};

    KeyRig() {
        auto owned = std::make_unique<FakePlayer>();
        player = owned.get();
        player->pictureRate = 25;
        app = std::make_unique<TrimwellApp>(std::make_unique<TrimwellModel>(std::move(owned)),
                                            &panels);
        model = &app->model();
        ModelInternals::setSourceURL(*model, "/movies/ten.mp4");
        ModelInternals::setDuration(*model, 10);
        model->setInPoint(2);
        model->setOutPoint(5);
        model->goToTime(3);
        app->show();
        app->window().activateWindow();
    }
    bool active() { return QTest::qWaitForWindowActive(&app->window()); }
    void press(QKeyCombination key) {
        QTest::keyClick(&app->window(), key.key(), key.keyboardModifiers());
    }
    GoToTimeDialog* dialog() const {
        GoToTimeDialog* d = app->content().findChild<GoToTimeDialog*>();
        return d && d->isVisible() ? d : nullptr;
    }
    // Types text into the open dialog's field and presses Return.
    void typeTime(const QString& text) {
        ASSERT_TRUE(waitUntil([&] { return dialog() != nullptr; }));
        QLineEdit* field = dialog()->field();
        EXPECT_TRUE(waitUntil([&] { return field->hasFocus(); }));
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
        QCoreApplication::processEvents();
    }
};

} // namespace

TEST(Keys, EachKeyDrivesTheOperationOfTheControlItStandsFor) {
    using State = std::function<void(TrimwellModel&, KeyRig&)>;
    struct Case {
        const char* name;
        std::vector<QKeyCombination> keys;
        State check;
    };
    const Case cases[] = {
        {"I is Set In",
         {Qt::Key_I},
         [](TrimwellModel& m, KeyRig&) {
             EXPECT_DOUBLE_EQ(m.inPoint(), 3);
             EXPECT_DOUBLE_EQ(m.outPoint(), 5);
         }},
        {"O is Set Out, and the in mark gives way",
         {Qt::Key_End, Qt::Key_I, Qt::Key_Home, Qt::Key_O},
         [](TrimwellModel& m, KeyRig&) {
             EXPECT_DOUBLE_EQ(m.inPoint(), 0);
             EXPECT_DOUBLE_EQ(m.outPoint(), 0.1);
         }},
        {"Shift+I",
         {Qt::SHIFT | Qt::Key_I},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 2); }},
        {"Shift+O",
         {Qt::SHIFT | Qt::Key_O},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 5); }},
        {"Home",
         {Qt::Key_Home},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 0); }},
        {"End",
         {Qt::Key_End},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 10); }},
        {"Shift+Right twice",
         {Qt::SHIFT | Qt::Key_Right, Qt::SHIFT | Qt::Key_Right},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 5); }},
        {"Shift+Left",
         {Qt::SHIFT | Qt::Key_Left},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 2); }},
        {"Right is a picture on",
         {Qt::Key_Right},
         [](TrimwellModel& m, KeyRig&) { EXPECT_DOUBLE_EQ(m.playhead(), 3.04); }},
        {"L L: twice as fast, and it says so",
         {Qt::Key_L, Qt::Key_L},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_TRUE(m.playing());
             EXPECT_EQ(r.player->speed, 2);
             auto* speed = r.app->content().findChild<QLabel*>("speed");
             EXPECT_TRUE(speed->isVisible());
             EXPECT_EQ(speed->text(), "2\u00d7");
         }},
        {"J: backward",
         {Qt::Key_J},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_TRUE(m.playing());
             EXPECT_EQ(r.player->speed, -1);
             EXPECT_EQ(r.app->content().findChild<QLabel*>("speed")->text(), "Backward 1\u00d7");
         }},
        {"L then K: paused at the normal pace, nothing said",
         {Qt::Key_L, Qt::Key_K},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_FALSE(m.playing());
             EXPECT_EQ(r.player->status, TimeControlStatus::paused);
             EXPECT_FALSE(r.app->content().findChild<QLabel*>("speed")->isVisible());
         }},
        {"space is Play",
         {Qt::Key_Space},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_TRUE(m.playing());
             EXPECT_EQ(r.player->speed, 1);
             EXPECT_EQ(r.app->content().findChild<QPushButton*>("play")->text(), "Pause");
         }},
        {"P plays from the in mark",
         {Qt::Key_P},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_TRUE(m.playing());
             ASSERT_FALSE(r.player->seeks.empty());
             EXPECT_DOUBLE_EQ(r.player->seeks.back(), 2);
         }},
        {"Ctrl+Shift+L is the View menu's loop",
         {Qt::CTRL | Qt::SHIFT | Qt::Key_L},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_TRUE(m.loopCut());
             EXPECT_TRUE(r.app->content().loopCutAction().isChecked());
         }},
        {"Ctrl+Shift+L twice",
         {Qt::CTRL | Qt::SHIFT | Qt::Key_L, Qt::CTRL | Qt::SHIFT | Qt::Key_L},
         [](TrimwellModel& m, KeyRig& r) {
             EXPECT_FALSE(m.loopCut());
             EXPECT_FALSE(r.app->content().loopCutAction().isChecked());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyRig rig;
        ASSERT_TRUE(rig.active());
        // A click on a button leaves the keys with the window.
        QTest::mouseClick(rig.app->content().findChild<QPushButton*>("inSet"), Qt::LeftButton);
        rig.model->setInAt(2);
        rig.model->goToTime(3);
        const QString status = rig.model->status();
        for (QKeyCombination key : c.keys)
            rig.press(key);
        c.check(*rig.model, rig);
        EXPECT_EQ(rig.model->status(), status);
    }
}

TEST(Keys, WhileSavingOnlyStopAnswers) {
    KeyRig rig;
    ASSERT_TRUE(rig.active());
    rig.model->setLoopCut(true);
    ModelInternals::setBusy(*rig.model, true);
    QCoreApplication::processEvents();
    rig.player->seeks.clear();
    EXPECT_FALSE(rig.app->content().loopCutAction().isEnabled());
    for (const KeyRow& row : keyboardRows()) {
        // Quitting would end the test; opening and saving have refusals of their own.
        // Quitting would end the test, and opening and saving have refusals of their own; the
        // timeline's zoom changes no edit.
        if (row.key == QKeySequence::keyBindings(QKeySequence::Quit).value(0) ||
            row.key == QKeySequence(QKeySequence::Open) ||
            row.key == QKeySequence(QKeySequence::Save) || row.what.contains("timeline"))
            continue;
        SCOPED_TRACE(row.key.toString().toStdString());
        rig.press(row.key[0]);
        EXPECT_DOUBLE_EQ(rig.model->playhead(), 3);
        EXPECT_DOUBLE_EQ(rig.model->inPoint(), 2);
        EXPECT_DOUBLE_EQ(rig.model->outPoint(), 5);
        EXPECT_TRUE(rig.model->loopCut());
        EXPECT_FALSE(rig.model->playing());
        EXPECT_EQ(rig.dialog(), nullptr);
    }
    EXPECT_TRUE(rig.player->seeks.empty());
    EXPECT_EQ(rig.player->playCalls, 0);
}

TEST(Keys, GoToTimeTakesEveryFormAndRefusesTheRestInTheDialog) {
    struct Case {
        const char* typed;
        double playhead; // NaN: refused, nothing moves
    };
    const double refused = std::nan("");
    const Case cases[] = {
        {"4", 4},       {"4.5", 4.52},    {"0:04.5", 4.52},  {"1:02:03.25", 10}, {"0:06.2", 6.2},
        {"4.01", 4.04}, {"abc", refused}, {"1:75", refused}, {"-2", refused},    {"", refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        KeyRig rig;
        ASSERT_TRUE(rig.active());
        rig.press(Qt::CTRL | Qt::Key_G);
        ASSERT_NE(rig.dialog(), nullptr);
        EXPECT_EQ(rig.dialog()->windowTitle(), "Go to Time");
        EXPECT_EQ(rig.dialog()->accessibleName(), "Go to Time");
        EXPECT_EQ(rig.dialog()->field()->accessibleName(), "Time");
        rig.typeTime(QString::fromLatin1(c.typed));
        if (std::isnan(c.playhead)) {
            ASSERT_NE(rig.dialog(), nullptr);
            EXPECT_FALSE(rig.dialog()->refusal().isEmpty());
            EXPECT_DOUBLE_EQ(rig.model->playhead(), 3);
            // Typing is the field's: the letters were no keys of the window.
            EXPECT_DOUBLE_EQ(rig.model->inPoint(), 2);
            EXPECT_FALSE(rig.model->playing());
            QTest::keyClick(rig.dialog()->field(), Qt::Key_Escape);
            EXPECT_TRUE(waitUntil([&] { return rig.dialog() == nullptr; }));
        } else {
            EXPECT_TRUE(waitUntil([&] { return rig.dialog() == nullptr; }));
            EXPECT_DOUBLE_EQ(rig.model->playhead(), c.playhead);
        }
        EXPECT_DOUBLE_EQ(rig.model->outPoint(), 5);
    }
}

TEST(Keys, ADoubleClickOnAMarksTimeSetsThatMark) {
    KeyRig rig;
    ASSERT_TRUE(rig.active());
    auto* inLabel = rig.app->content().findChild<QLabel*>("inLabel");
    QTest::mouseDClick(inLabel, Qt::LeftButton);
    ASSERT_NE(rig.dialog(), nullptr);
    EXPECT_EQ(rig.dialog()->windowTitle(), "Set In Mark");
    rig.typeTime("7");
    // The mark's slider round: the out mark gives way and the preview follows the in mark.
    EXPECT_DOUBLE_EQ(rig.model->inPoint(), 7);
    EXPECT_DOUBLE_EQ(rig.model->outPoint(), 7.1);
    EXPECT_DOUBLE_EQ(rig.model->playhead(), 7);
    QTest::mouseDClick(rig.app->content().findChild<QLabel*>("outLabel"), Qt::LeftButton);
    ASSERT_NE(rig.dialog(), nullptr);
    EXPECT_EQ(rig.dialog()->windowTitle(), "Set Out Mark");
    rig.typeTime("0:09");
    EXPECT_DOUBLE_EQ(rig.model->inPoint(), 7);
    EXPECT_DOUBLE_EQ(rig.model->outPoint(), 9);
}

TEST(Keys, TheKeyboardTableListsEveryKeyAndEveryKeyIsOneTheWindowAnswers) {
    KeyRig rig;
    ASSERT_TRUE(rig.active());
    QList<QKeySequence> answered;
    for (const QShortcut* s : rig.app->content().findChildren<QShortcut*>())
        answered << s->key();
    for (const QAction* a : rig.app->window().findChildren<QAction*>())
        if (!a->shortcut().isEmpty() && a->shortcutContext() != Qt::WidgetShortcut)
            answered << a->shortcut();
    const std::vector<KeyRow> rows = keyboardRows();
    for (const KeyRow& row : rows) {
        EXPECT_EQ(answered.count(row.key), 1) << row.key.toString().toStdString() << " in "
                                              << QKeySequence::listToString(answered).toStdString();
        answered.removeAll(row.key);
    }
    EXPECT_TRUE(answered.isEmpty())
        << "not in the table: " << answered.value(0).toString().toStdString();

    // Help > Keyboard shows them; the View menu's items show their keys.
    QMenu* help = nullptr;
    QMenu* view = nullptr;
    for (QAction* item : rig.app->window().menuBar()->actions()) {
        QMenu* menu = item->menu();
        if (menu->title() == "&Help")
            help = menu;
        if (menu->title() == "&View")
            view = menu;
    }
    ASSERT_NE(help, nullptr);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->actions().contains(&rig.app->content().loopCutAction()));
    EXPECT_EQ(rig.app->content().loopCutAction().text(), "Loop the cut");
    EXPECT_EQ(rig.app->content().loopCutAction().shortcut(),
              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    EXPECT_TRUE(help->actions().contains(&rig.app->keyboardAction()));
    rig.app->keyboardAction().trigger();
    auto* table = rig.app->window().findChild<QTableWidget*>("keys");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), static_cast<int>(rows.size()));
    EXPECT_EQ(table->item(0, 1)->text(), "Play or pause");
    EXPECT_FALSE(table->accessibleName().isEmpty());
}

namespace {

// The scene over the real player, as a user drives it.
struct RealRig {
    FakePanels panels;
    std::unique_ptr<TrimwellApp> app = std::make_unique<TrimwellApp>(
        std::make_unique<TrimwellModel>(std::make_unique<MpvPlayer>()), &panels);
    TrimwellModel& model = app->model();

    RealRig() {
        app->show();
        app->window().activateWindow();
    }
    int shownFrame() const {
        const auto* pane = app->content().findChild<PreviewPane*>(QStringLiteral("preview"));
        return frameIndexAtCentre(pane->view().picture());
    }
    bool shows(int frame, double time) {
        return waitUntil(
            [&] { return shownFrame() == frame && std::abs(model.playhead() - time) < 0.001; }, 10);
    }
    void press(QKeyCombination key, int times = 1) {
        for (int i = 0; i < times; ++i)
            QTest::keyClick(&app->window(), key.key(), key.keyboardModifiers());
    }
    // The offscreen platform leaves no window active once a save or a dialog has ended.
    bool activate() {
        app->window().activateWindow();
        return QTest::qWaitForWindowActive(&app->window());
    }
    void goTo(const char* typed) {
        ASSERT_TRUE(activate());
        press(Qt::CTRL | Qt::Key_G);
        GoToTimeDialog* dialog = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            dialog = app->content().findChild<GoToTimeDialog*>();
            return dialog && dialog->isVisible();
        })) << "busy "
            << model.busy() << " status " << model.status().toStdString();
        ASSERT_TRUE(waitUntil([&] { return dialog->field()->hasFocus(); }));
        QTest::keyClicks(dialog->field(), QString::fromLatin1(typed));
        QTest::keyClick(dialog->field(), Qt::Key_Return);
    }
    // Saves with Ctrl+S and returns the saved file's first and last coded pictures.
    std::pair<int, int> save(const std::string& name, int& pictures) {
        const std::string out = freshFolder("keys-" + name) + "/cut.mp4";
        panels.saveReplies.push_back(out);
        if (!activate())
            return {-1, -1};
        press(Qt::CTRL | Qt::Key_S);
        if (!waitUntil([&] { return model.busy(); }, 10) ||
            !waitUntil([&] { return !model.busy(); }, 60) || model.status() != "Saved.")
            return {-1, -1};
        pictures = std::stoi(probe(out, "v:0", "nb_frames"));
        const auto at = [&](int index) {
            const Rgb c = pixelAt(out, index, 80, 60);
            return frameIndexOf(QColor(c.r, c.g, c.b));
        };
        return {at(0), at(pictures - 1)};
    }
};

} // namespace

TEST(Keys, FromTheKeyboardAloneTheCutHoldsThePicturesBetweenTheMarks) {
    const std::string movie = codedFramesMovie();
    const std::vector<double> times = pictureTimes(movie);
    RealRig r;
    r.model.open(movie);
    ASSERT_TRUE(waitUntil([&] { return r.model.status() == "Ready."; }, 20));
    ASSERT_TRUE(QTest::qWaitForWindowActive(&r.app->window()));

    // Home, Right x10, I, Right x15, O.
    r.press(Qt::Key_End);
    r.press(Qt::Key_Home);
    ASSERT_TRUE(r.shows(0, times[0]));
    r.press(Qt::Key_Right, 10);
    ASSERT_TRUE(r.shows(10, times[10])) << r.shownFrame();
    r.press(Qt::Key_I);
    r.press(Qt::Key_Right, 15);
    ASSERT_TRUE(r.shows(25, times[25])) << r.shownFrame();
    r.press(Qt::Key_O);
    EXPECT_NEAR(r.model.inPoint(), times[10], 0.001);
    EXPECT_NEAR(r.model.outPoint(), times[25], 0.001);
    int pictures = 0;
    EXPECT_EQ(r.save("steps", pictures), std::pair(10, 24));
    EXPECT_EQ(pictures, 15);

    // Ctrl+G 1 Return, I, Ctrl+G 0:02.2 Return, O: pictures 30 to 65 at 30 a second.
    r.goTo("1");
    ASSERT_TRUE(r.shows(30, times[30])) << r.shownFrame();
    ASSERT_TRUE(r.activate());
    r.press(Qt::Key_I);
    r.goTo("0:02.2");
    ASSERT_TRUE(r.shows(66, times[66])) << r.shownFrame();
    ASSERT_TRUE(r.activate());
    r.press(Qt::Key_O);
    EXPECT_EQ(r.save("typed", pictures), std::pair(30, 65));
    EXPECT_EQ(pictures, 36);

    // J goes back from the out mark and K stops it there, paused at the normal pace.
    ASSERT_TRUE(r.activate());
    r.press(Qt::Key_J);
    ASSERT_TRUE(waitUntil([&] { return r.model.playhead() < times[66] - 0.3; }, 10))
        << r.model.playhead();
    r.press(Qt::Key_K);
    EXPECT_FALSE(r.model.playing());
    EXPECT_EQ(r.model.speed(), 1);
}
