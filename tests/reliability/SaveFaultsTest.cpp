// Faults from outside during a save, through the model: each ends in the failed status, with
// the destination as it was and no partial file. (Tests run as root, where permission bits
// stop nothing, so each fault is made another way.)
#include "Reliability.h"
#include "model/ModelTesting.h"

#include <filesystem>
#include <functional>

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

namespace {

const char* kFailed = "The save stopped. The partial file was removed.";

} // namespace

TEST(SaveFaults, EachEndsFailedWithTheDestinationUntouched) {
    struct Case {
        const char* name;
        // Where to save, given the test's folder and source.
        std::function<std::string(const std::string& dir)> destination;
        // What happens to the source once the save is under way; empty: nothing.
        std::function<void(const std::string& source)> whileSaving;
    };
    const Case cases[] = {
        {"the destination's folder is a regular file",
         [](const std::string& dir) {
             writeFile(dir + "/plain", kOldFile);
             return dir + "/plain/cut.mp4";
         },
         {}},
        {"the source is deleted while it is read",
         [](const std::string& dir) {
             writeFile(dir + "/cut.mp4", kOldFile);
             return dir + "/cut.mp4";
         },
         [](const std::string& source) { fs::remove(source); }},
        {"the source is truncated while it is read",
         [](const std::string& dir) {
             writeFile(dir + "/cut.mp4", kOldFile);
             return dir + "/cut.mp4";
         },
         [](const std::string& source) { fs::resize_file(source, fs::file_size(source) / 3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = freshFolder("rel-fault");
        const std::string source = dir + "/source.mp4";
        fs::copy_file(busyMovie(), source);
        const std::string destination = c.destination(dir);
        const Deadline deadline(c.name, std::chrono::seconds(120));

        Rig rig;
        TrimwellModel& m = *rig.model;
        ASSERT_EQ(rig.open(source), "Ready.");
        rig.panels.saveReplies = {destination};
        ::testing::internal::CaptureStdout();
        m.pickSave();
        ASSERT_TRUE(m.busy());
        if (c.whileSaving) {
            ASSERT_TRUE(waitUntil([&] { return m.progress() > 0.2 || !m.busy(); }, 100000));
            ASSERT_TRUE(m.busy()) << "the save ended before the fault: "
                                  << m.status().toStdString();
            c.whileSaving(source);
        }
        ASSERT_TRUE(waitUntil([&] { return !m.busy(); }, 100000));
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(m.status(), kFailed);
        EXPECT_EQ(m.progress(), 0);
        EXPECT_EQ(printed.rfind("Trimwell save: ", 0), 0u) << printed;
        EXPECT_EQ(partialFilesIn(dir), 0);
        EXPECT_EQ(readFile(fs::exists(dir + "/plain") ? dir + "/plain" : destination), kOldFile);
    }
}
