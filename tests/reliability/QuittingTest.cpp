// Quitting in the middle of things: the model's end stops and joins every thread it started,
// whatever they were doing, and a save it stops leaves nothing behind.
#include "Reliability.h"
#include "model/ModelTesting.h"

#include <filesystem>
#include <functional>

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

TEST(Quitting, TheModelsEndJoinsItsThreadsAndLeavesNothing) {
    const std::string dir = freshFolder("rel-quit");
    const std::string source = dir + "/source.mp4";
    fs::copy_file(busyMovie(), source);
    const std::string destination = dir + "/cut.mp4";
    {
        Rig warm; // a first read and save set up what stays for the process (the worker pool)
        ASSERT_EQ(warm.open(source), "Ready.");
        warm.panels.saveReplies = {dir + "/warm.mp4"};
        warm.model->pickSave();
        ASSERT_TRUE(waitUntil([&] { return !warm.model->busy(); }, 100000));
        fs::remove(dir + "/warm.mp4");
    }
    const int before = threadCountSettling(0, 300);
    const std::string beforeList = threadList();
    const struct {
        const char* name;
        std::function<void(Rig&)> underWay; // brings the model to the moment it goes
    } cases[] = {
        {"while a movie is being read", [&](Rig& rig) { rig.model->open(source); }},
        {"while a save runs",
         [&](Rig& rig) {
             ASSERT_EQ(rig.open(source), "Ready.");
             rig.panels.saveReplies = {destination};
             rig.model->pickSave();
             ASSERT_TRUE(waitUntil([&] { return rig.model->progress() > 0.1; }, 100000));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Deadline deadline(c.name, std::chrono::seconds(60));
        writeFile(destination, kOldFile);
        Rig rig;
        c.underWay(rig);
        ASSERT_EQ(rig.model->status(), std::string(c.name).find("read") != std::string::npos
                                           ? "Reading the movie."
                                           : "Saving.");
        rig.model.reset();
        // Joined, not merely told to stop: nothing of the model's runs once it is gone.
        EXPECT_LE(threadCount(), before + 1)
            << "the deadline's own thread only; before: " << beforeList
            << "; now: " << threadList();
        runFor(300); // what was posted before the end finds no model
        EXPECT_EQ(listFolder(dir), (std::vector<std::string>{"cut.mp4", "source.mp4"}));
        EXPECT_EQ(readFile(destination), kOldFile);
    }
}
