#include "ModelTesting.h"

#include <QSignalSpy>

#include <filesystem>
#include <fstream>

using namespace trimwell;
using namespace trimwell::testing;

namespace fs = std::filesystem;

namespace {

// A model with the 10 s movie with sound open, marks at 2 and 4, and a folder to save into.
class Saving : public ::testing::Test {
protected:
    void SetUp() override {
        folder = freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        source = tenSecondMovie();
        ASSERT_EQ(rig.open(source), "Ready.");
        m.setInPoint(2);
        m.setOutPoint(4);
    }
    // Saves to destination, as chosen in the panel; false if the save did not start.
    bool startSave(const std::string& destination) {
        rig.panels.saveReplies = {destination};
        m.pickSave();
        return m.busy();
    }
    bool waitForSave() {
        return waitUntil([&] { return !m.busy(); }, 120000);
    }
    void expectIdle() {
        EXPECT_FALSE(m.busy());
        EXPECT_FALSE(ModelInternals::stopFlag(m));
        EXPECT_FALSE(ModelInternals::progressBox(m));
        EXPECT_EQ(ModelInternals::progressTimer(m), nullptr);
    }

    std::string folder;
    std::string source;
    Rig rig;
    TrimwellModel& m{*rig.model};
};

} // namespace

TEST(SaveName, IsTheSourceNameWithoutExtensionAndTheSuffix) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/Clip.mov", "Clip-Trimwell.mp4"},
        {"/a/b/Clip", "Clip-Trimwell.mp4"},
        {"/a/b.d/Clip", "Clip-Trimwell.mp4"},
        {"/a/Holiday.final.mov", "Holiday.final-Trimwell.mp4"},
        {"Holiday.MP4", "Holiday-Trimwell.mp4"},
    };
    for (const auto& [source, name] : cases)
        EXPECT_EQ(proposedSaveName(source), name) << source;
}

TEST(SaveRefusals, NothingToSave) {
    struct Case {
        const char* name;
        bool movie;
        double in, out;
        const char* status;
    };
    const Case cases[] = {
        {"no movie", false, 0, 0, "Open a movie."},
        {"cut shorter than 0.1 s", true, 5, 5.05, "The cut is too short."},
        {"marks crossed", true, 5, 4, "The cut is too short."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        if (c.movie) {
            ASSERT_EQ(rig.open(silentMovie("model-10s-silent.mp4", 10)), "Ready.");
            rig.model->setInPoint(c.in);
            rig.model->setOutPoint(c.out);
        }
        rig.model->pickSave();
        EXPECT_EQ(rig.model->status(), c.status);
        EXPECT_TRUE(rig.panels.saveRequests.empty());
    }
    Rig tiny;
    ASSERT_EQ(tiny.open(silentMovie("model-0.1s.mp4", 0.1)), "Ready.");
    tiny.model->pickSave();
    EXPECT_EQ(tiny.model->status(), "The cut is too short.");
}

TEST_F(Saving, WhileASaveRunsPickSaveChangesNothing) {
    ASSERT_TRUE(startSave(folder + "/cut.mp4"));
    rig.panels.saveRequests.clear();
    m.pickSave();
    EXPECT_EQ(m.status(), "Saving.");
    EXPECT_TRUE(rig.panels.saveRequests.empty());
}

TEST_F(Saving, ThePanelProposesANameAndTheOpenMovieIsRefused) {
    fs::create_symlink(source, folder + "/link.mp4");
    fs::create_hard_link(source, folder + "/hard.mp4");
    const fs::path parent = fs::path(source).parent_path();
    struct Case {
        const char* name;
        std::optional<std::string> chosen;
        const char* status;
    };
    const Case cases[] = {
        {"cancel", std::nullopt, "The save was cancelled."},
        {"no location", std::string(), "The save was cancelled."},
        {"the open movie", source, "Choose a different file than the one you opened."},
        {"a link to it", folder + "/link.mp4", "Choose a different file than the one you opened."},
        {"a detour to it",
         (parent / ".." / parent.filename() / fs::path(source).filename()).string(),
         "Choose a different file than the one you opened."},
        {"a hard link to it", folder + "/hard.mp4",
         "Choose a different file than the one you opened."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.panels.saveReplies = {c.chosen};
        m.pickSave();
        EXPECT_EQ(m.status(), c.status);
        expectIdle();
    }
    ASSERT_EQ(rig.panels.saveRequests.size(), std::size(cases));
    const SavePanelRequest& request = rig.panels.saveRequests[0];
    EXPECT_EQ(request.proposedName, "model-10s-Trimwell.mp4");
    EXPECT_EQ(request.mimeTypes, std::vector<std::string>{"video/mp4"});
    EXPECT_EQ(request.extensions, std::vector<std::string>{"mp4"});
    EXPECT_TRUE(request.canCreateDirectories);
    EXPECT_EQ(request.title, "Save Trimwell");
    EXPECT_EQ(request.prompt, "Save");
    EXPECT_EQ(request.folder, fs::absolute(source).parent_path().string());
    // The movie itself is untouched.
    EXPECT_EQ(probe(source, "v:0", "codec_name"), "h264");
}

TEST_F(Saving, ASaveEndsSavedWithTheCutAsItWasWhenSaveWasChosen) {
    const std::string destination = folder + "/cut.mp4";
    m.togglePlay();
    ASSERT_TRUE(m.playing());
    ASSERT_TRUE(startSave(destination));
    EXPECT_EQ(m.status(), "Saving.");
    EXPECT_EQ(m.progress(), 0);
    EXPECT_FALSE(m.playing());
    EXPECT_EQ(rig.player->status, TimeControlStatus::paused);
    EXPECT_TRUE(ModelInternals::stopFlag(m));
    EXPECT_TRUE(ModelInternals::progressBox(m));
    ASSERT_NE(ModelInternals::progressTimer(m), nullptr);
    EXPECT_EQ(ModelInternals::progressTimer(m)->interval(), 100);
    EXPECT_FALSE(m.canSave());
    // The marks may move during the save without changing it.
    m.setInPoint(0);
    m.setOutPoint(9);

    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(waitForSave());
    EXPECT_EQ(m.status(), "Saved.");
    EXPECT_EQ(m.progress(), 1);
    expectIdle();
    // A late tick leaves the final value alone.
    runFor(300);
    EXPECT_EQ(m.progress(), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    EXPECT_NEAR(probeNumber(destination, "format", "duration"), 2, 0.1);
    EXPECT_EQ(probe(destination, "v:0", "codec_name"), "h264");
    EXPECT_EQ(probe(destination, "a:0", "codec_name"), "aac");
    EXPECT_TRUE(m.canSave());
}

TEST_F(Saving, OpeningAndDroppingWaitForTheSave) {
    ASSERT_TRUE(startSave(folder + "/cut.mp4"));
    m.pick();
    EXPECT_EQ(m.status(), "A save is still running.");
    EXPECT_TRUE(rig.panels.openRequests.empty());
    EXPECT_FALSE(m.takeDrop({source}));
    m.togglePlay();
    EXPECT_FALSE(m.playing());
    ASSERT_TRUE(waitForSave());
    EXPECT_EQ(m.status(), "Saved.");
    EXPECT_EQ(ModelInternals::loadTicket(m), 1);
}

TEST_F(Saving, StopCancelsTheSaveAndLeavesNoFile) {
    QSignalSpy progress(&m, &TrimwellModel::progressChanged);
    ASSERT_TRUE(startSave(folder + "/cut.mp4"));
    m.stop();
    EXPECT_EQ(m.status(), "Stopping.");
    EXPECT_TRUE(m.busy());
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(waitForSave());
    EXPECT_EQ(m.status(), "The save was cancelled. The partial file was removed.");
    EXPECT_EQ(m.progress(), 0);
    expectIdle();
    runFor(300);
    EXPECT_EQ(m.progress(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(listFolder(folder), std::vector<std::string>{});
}

TEST_F(Saving, StopWithoutASaveOnlySaysSo) {
    m.stop();
    EXPECT_EQ(m.status(), "Stopping.");
    EXPECT_FALSE(m.busy());
}

TEST_F(Saving, AFailedSaveSaysSoAndPrintsWhy) {
    const std::string destination = folder + "/taken";
    fs::create_directory(destination);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(startSave(destination));
    ASSERT_TRUE(waitForSave());
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(m.status(), "The save stopped. The partial file was removed.");
    EXPECT_EQ(m.progress(), 0);
    expectIdle();
    EXPECT_EQ(out.rfind("Trimwell save: ", 0), 0u) << out;
    EXPECT_GT(out.size(), std::string("Trimwell save: \n").size()) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    // The same reason stands as the status line's tooltip until the status changes.
    EXPECT_EQ(m.statusDetail().toStdString() + "\n", out);
    m.stop();
    EXPECT_TRUE(m.statusDetail().isEmpty());
    EXPECT_EQ(listFolder(folder), std::vector<std::string>{"taken"});
}

TEST_F(Saving, AFolderThatTakesNoFileIsNamedInTheStatus) {
    // sysfs makes no files, for root too; a locked folder of the user's takes the same way.
    if (!fs::is_directory("/sys/kernel"))
        GTEST_SKIP() << "no /sys here";
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(startSave("/sys/kernel/out.mp4"));
    ASSERT_TRUE(waitForSave());
    EXPECT_EQ(m.status(), "Nothing was saved. You may not write in the folder /sys/kernel.");
    EXPECT_EQ(m.progress(), 0);
    expectIdle();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(Saving, ANewSaveAfterAFinishedOneStartsAfresh) {
    ASSERT_TRUE(startSave(folder + "/one.mp4"));
    const auto firstFlag = ModelInternals::stopFlag(m);
    ASSERT_TRUE(waitForSave());
    ASSERT_EQ(m.status(), "Saved.");
    ASSERT_TRUE(startSave(folder + "/two.mp4"));
    EXPECT_EQ(m.progress(), 0);
    EXPECT_NE(ModelInternals::stopFlag(m), firstFlag);
    ASSERT_TRUE(waitForSave());
    EXPECT_EQ(m.status(), "Saved.");
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"one.mp4", "two.mp4"}));
}

TEST_F(Saving, AModelThatGoesDuringASaveStopsItAndLeavesNoFile) {
    ASSERT_TRUE(startSave(folder + "/cut.mp4"));
    rig.model.reset();
    runFor(300);
    EXPECT_EQ(listFolder(folder), std::vector<std::string>{});
}
