#include "WindowRig.h"

#include "PlayerTesting.h"
#include "window/SecondsSlider.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// What the model saw, in order: drags starting and ending, and mark or playhead changes.
struct Journal {
    std::vector<std::string> entries;

    explicit Journal(TrimwellModel& model) {
        QObject::connect(&model, &TrimwellModel::dragChanged, [this, &model] {
            const auto drag = model.drag();
            entries.push_back(!drag                                   ? "drag none"
                              : *drag == TrimwellModel::Drag::inMark  ? "drag in"
                              : *drag == TrimwellModel::Drag::outMark ? "drag out"
                                                                      : "drag playhead");
        });
        QObject::connect(&model, &TrimwellModel::inPointChanged,
                         [this] { entries.push_back("in"); });
        QObject::connect(&model, &TrimwellModel::playheadChanged,
                         [this] { entries.push_back("playhead"); });
    }
};

// Half a tick of the model's 1/600 s media timescale.
constexpr double kGrid = 0.5 / 600;

QPoint along(const QWidget& slider, double fraction) {
    return {static_cast<int>(slider.width() * fraction), slider.height() / 2};
}

} // namespace

TEST(SecondsSlider, DraggingAMarkPressesChangesAndReleasesInThatOrder) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/holiday.mov", 60, true);
    rig.model->setOutPoint(20);
    rig.model->togglePlay();
    auto* slider = rig.find<SecondsSlider>("inSlider");
    Journal journal(*rig.model);

    QTest::mousePress(slider, Qt::LeftButton, {}, along(*slider, 0.2));
    EXPECT_TRUE(slider->isDown());
    EXPECT_EQ(rig.player->status, TimeControlStatus::paused); // a press pauses playback
    EXPECT_FALSE(rig.model->playing());
    QTest::mouseMove(slider, along(*slider, 0.3));
    QTest::mouseMove(slider, along(*slider, 0.5)); // past the out mark: it is carried along
    QTest::mouseRelease(slider, Qt::LeftButton, {}, along(*slider, 0.5));
    EXPECT_FALSE(slider->isDown());

    ASSERT_GE(journal.entries.size(), 3u);
    EXPECT_EQ(journal.entries.front(), "drag in");
    EXPECT_EQ(journal.entries.back(), "drag none");
    for (std::size_t i = 1; i + 1 < journal.entries.size(); ++i)
        EXPECT_NE(journal.entries[i].rfind("drag", 0), 0u) << journal.entries[i];
    EXPECT_NEAR(rig.model->inPoint(), 30, 1.0);
    EXPECT_GE(rig.model->outPoint() - rig.model->inPoint(), rig.model->shortest() - 1e-9);
    // The preview followed the mark, and playback now stops at the moved out mark.
    // (The model hands the player times on its 1/600 s grid.)
    ASSERT_FALSE(rig.player->seeks.empty());
    EXPECT_NEAR(rig.player->seeks.back(), rig.model->inPoint(), kGrid);
    EXPECT_NEAR(rig.player->boundaryTime(), rig.model->outPoint(), kGrid);
    EXPECT_FALSE(rig.model->playing()); // the release does not resume
}

TEST(SecondsSlider, ThePlayheadSliderOwnsThePlayheadWhileHeld) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/holiday.mov", 60, true);
    auto* slider = rig.find<SecondsSlider>("playhead");
    QTest::mousePress(slider, Qt::LeftButton, {}, along(*slider, 0.25));
    const double held = rig.model->playhead();
    EXPECT_NEAR(held, 15, 1.0);
    // A clock tick while the slider is held does not move the playhead.
    rig.player->tick(40);
    spin(0.05);
    EXPECT_EQ(rig.model->playhead(), held);
    EXPECT_EQ(slider->value(), held);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, along(*slider, 0.25));
    EXPECT_FALSE(rig.model->drag().has_value());
    ASSERT_FALSE(rig.player->seeks.empty());
    EXPECT_NEAR(rig.player->seeks.back(), held, kGrid);
}

TEST(SecondsSlider, KeepsModelValuesExactAndStepsWithoutRounding) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/long.mov", 7200, true);
    rig.model->setInPoint(3600.001);
    auto* slider = rig.find<SecondsSlider>("inSlider");
    EXPECT_EQ(slider->value(), 3600.001);
    EXPECT_EQ(rig.model->inPoint(), 3600.001);

    // One key press is a whole press, change and release; the step is not snapped to a grid.
    Journal journal(*rig.model);
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_PageUp);
    EXPECT_DOUBLE_EQ(rig.model->inPoint(), 3600.001 + 1);
    ASSERT_GE(journal.entries.size(), 3u);
    EXPECT_EQ(journal.entries.front(), "drag in");
    EXPECT_NE(std::find(journal.entries.begin(), journal.entries.end(), "in"),
              journal.entries.end());
    EXPECT_EQ(journal.entries.back(), "drag none");
    EXPECT_EQ(rig.model->playhead(), rig.model->inPoint()); // the preview follows the mark

    // The model's own change reaches the slider without counting as a drag.
    journal.entries.clear();
    rig.model->setPlayhead(1234.567);
    QTest::mouseClick(rig.button("inSet"), Qt::LeftButton);
    EXPECT_EQ(rig.model->inPoint(), 1234.567);
    EXPECT_EQ(slider->value(), 1234.567);
    for (const std::string& entry : journal.entries)
        EXPECT_NE(entry.rfind("drag", 0), 0u) << entry;
}

TEST(SecondsSlider, DisablingAHeldSliderEndsTheDrag) {
    WindowRig rig;
    rig.window->show();
    rig.pretendOpen("/movies/holiday.mov", 60, true);
    auto* slider = rig.find<SecondsSlider>("outSlider");
    QTest::mousePress(slider, Qt::LeftButton, {}, along(*slider, 0.5));
    ASSERT_EQ(rig.model->drag(), TrimwellModel::Drag::outMark);
    // A save starts from the menu while the slider is held.
    ModelInternals::setBusy(*rig.model, true);
    EXPECT_FALSE(slider->isEnabled());
    EXPECT_FALSE(slider->isDown());
    EXPECT_FALSE(rig.model->drag().has_value());
}
