// Nothing is left behind: not by a save that is killed at any moment, nor by one that fills
// the disk; what was at the destination stays as it was until a finished movie replaces it.
#include "Reliability.h"
#include "model/ModelTesting.h"
#include "support/TestMovies.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

namespace {

// trimwell-cut saving all of source to destination, its output thrown away; with named, it
// is made to use a named partial file.
pid_t startCut(const std::string& source, const std::string& destination, const char* end,
               bool named) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("TRIMWELL_NAMED_PARTIAL_FILE=", 0) != 0)
            env.emplace_back(*e);
    if (named)
        env.emplace_back("TRIMWELL_NAMED_PARTIAL_FILE=1");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = TRIMWELL_CUT, from = source, to = destination, zero = "0", last = end;
    char* argv[] = {program.data(), from.data(), to.data(), zero.data(), last.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int ret = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(ret, 0);
    return ret == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A PID that belonged to a process that has ended.
pid_t deadPid() {
    const pid_t pid = startCut("/nonexistent", "/nonexistent", "1", false);
    waitFor(pid);
    return pid;
}

} // namespace

TEST(LeftBehind, ASaveKilledAtAnyMomentLeavesNoPartialFileOrTheNextSaveRemovesIt) {
    const std::string source = busyMovie();
    const std::string small = smallMovie(false);
    std::random_device device;
    const unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE(::testing::Message() << "seed " << seed);

    // How long a whole save takes, so that the kills fall anywhere in one.
    const std::string timing = freshFolder("rel-kill-timing");
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(waitFor(startCut(source, timing + "/cut.mp4", "2", false)), 0);
    const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);

    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "a named partial file" : "an unnamed partial file");
        const std::string dir = freshFolder(named ? "rel-kill-named" : "rel-kill-unnamed");
        const std::string destination = dir + "/cut.mp4";
        // What a later save must leave alone: a running save's file, another user's, a
        // folder, and names that only look like ours; and what it must remove.
        const std::string dead = std::to_string(deadPid());
        const struct {
            std::string name;
            bool folder;
        } keep[] = {
            {".cut.mp4.trimwell-" + std::to_string(::getpid()) + ".partial", false},
            {".cut.mp4.trimwell-" + dead + ".partial.txt", false},
            {".cut.mp4.trimwell-12ab.partial", false},
            {"cut.mp4.trimwell-" + dead + ".partial", false},
            {".folder.mp4.trimwell-" + dead + ".partial", true},
        };
        const std::string othersFile = ".someone.mp4.trimwell-" + dead + ".partial";
        const std::string abandoned = ".earlier.mp4.trimwell-" + dead + ".partial";
        // Only root can give a file to another user.
        const bool root = ::geteuid() == 0;
        std::vector<std::string> expected = {"cut.mp4"};
        if (root)
            expected.push_back(othersFile);
        for (const auto& k : keep)
            expected.push_back(k.name);
        std::sort(expected.begin(), expected.end());
        const Deadline deadline("killing saves", std::chrono::seconds(240));
        int killedWhileWriting = 0;
        for (int i = 0; i < 20; ++i) {
            SCOPED_TRACE(::testing::Message() << "kill " << i + 1);
            writeFile(destination, kOldFile);
            for (const auto& k : keep)
                if (k.folder)
                    fs::create_directories(dir + "/" + k.name);
                else
                    writeFile(dir + "/" + k.name, "not ours to remove");
            if (root) {
                writeFile(dir + "/" + othersFile, "another user's");
                ASSERT_EQ(::chown((dir + "/" + othersFile).c_str(), 65534, 65534), 0);
            }
            writeFile(dir + "/" + abandoned, "left by a killed save");

            const pid_t pid = startCut(source, destination, "2", named);
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::uniform_int_distribution<long>(0, whole.count())(random)));
            ::kill(pid, SIGKILL);
            waitFor(pid);
            const std::string killedPartial =
                ".cut.mp4.trimwell-" + std::to_string(pid) + ".partial";
            const bool left = fileExists(dir + "/" + killedPartial);
            killedWhileWriting += left;
            if (!named) {
                EXPECT_FALSE(left) << "an unnamed partial file goes with its process";
            }
            const std::string held = readFile(destination);
            EXPECT_TRUE(held == kOldFile || held.find("ftyp") == 4)
                << "the destination is the old file or the whole new movie";

            // The next save into the folder takes away what the killed one left, and only that.
            ASSERT_EQ(waitFor(startCut(small, destination, "2", named)), 0);
            EXPECT_EQ(listFolder(dir), expected);
            EXPECT_EQ(probe(destination, "v:0", "codec_name"), "h264");
        }
        if (named) {
            EXPECT_GT(killedWhileWriting, 0) << "no kill came while the file was written";
        }
    }
}

namespace {

// A small tmpfs of its own, mounted for one test and gone after it.
class SmallVolume {
public:
    SmallVolume(const std::string& folder, const std::string& size) : folder_(folder) {
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallVolume() {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string folder_;
    bool mounted_{false};
};

} // namespace

TEST(LeftBehind, ASaveOntoAFullDiskStopsAndLeavesTheDestinationAsItWas) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small volume to fill takes root";
    const std::string volume = freshFolder("rel-full-disk");
    const SmallVolume small(volume, "1536k");
    if (!small.mounted())
        GTEST_SKIP() << "no tmpfs could be mounted here: " << std::strerror(errno);
    const Deadline deadline("a save onto a full disk", std::chrono::seconds(120));

    // Old bytes that take a third of the volume, so the new movie cannot fit beside them.
    std::string old(512 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : old)
        c = static_cast<char>(random());
    const std::string destination = volume + "/cut.mp4";
    writeFile(destination, old);

    Rig rig;
    TrimwellModel& m = *rig.model;
    ASSERT_EQ(rig.open(busyMovie()), "Ready.");
    rig.panels.saveReplies = {destination};
    ::testing::internal::CaptureStdout();
    m.pickSave();
    ASSERT_TRUE(waitUntil([&] { return !m.busy(); }, 100000));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(m.status(), "The save stopped. The partial file was removed.");
    EXPECT_NE(printed.find("No space left on device"), std::string::npos) << printed;
    EXPECT_EQ(listFolder(volume), std::vector<std::string>{"cut.mp4"});
    EXPECT_TRUE(readFile(destination) == old) << "the old file is byte for byte as it was";
}
