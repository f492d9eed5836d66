#include "support/TestMovies.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace trimwell::testing;

namespace {

struct Outcome {
    int status;
    std::string out;
};

Outcome cut(const std::string& args) {
    const std::string out =
        capture("'" + std::string(TRIMWELL_CUT) + "' " + args + " </dev/null; echo \"exit=$?\"");
    const auto at = out.rfind("exit=");
    return {std::atoi(out.c_str() + at + 5), out.substr(0, at)};
}

std::string q(const std::string& path) {
    return "'" + path + "'";
}

} // namespace

TEST(CutCommand, SavesWithTheWindowsRulesAndWords) {
    const std::string source =
        makeMovie("cli.mp4", "-f lavfi -i testsrc2=s=320x240:r=30:d=3 -f lavfi -i sine=d=3 "
                             "-c:v libx264 -c:a aac -shortest");
    const std::string dir = freshFolder("cli");
    const Outcome saved = cut(q(source) + " " + q(dir + "/out.mp4") + " 0.5 1:01.5 2");
    EXPECT_EQ(saved.out, "Saved.\n");
    EXPECT_EQ(saved.status, 0);
    EXPECT_EQ(probe(dir + "/out.mp4", "a:0", "codec_name"), "aac");
    EXPECT_NEAR(probeNumber(dir + "/out.mp4", "format", "duration"), 2.5, 0.05);

    const std::string sound = makeMovie("cli-sound.m4a", "-f lavfi -i sine=d=1 -c:a aac");
    writeFile(dir + "/noise.mp4", std::string(5000, '\x17'));
    const struct {
        std::string args;
        std::string out;
    } refusals[] = {
        {q(sound) + " " + q(dir + "/a.mp4") + " 0 1", "That file has no picture.\n"},
        {q(dir + "/noise.mp4") + " " + q(dir + "/a.mp4") + " 0 1",
         "That movie could not be read.\n"},
        {q(source) + " " + q(source) + " 0 1",
         "Choose a different file than the one you opened.\n"},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.args);
        const Outcome o = cut(r.args);
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.status, 1);
    }
    const Outcome failed = cut(q(source) + " " + q(dir + "/missing/a.mp4") + " 0 1");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out.rfind("The save stopped. The partial file was removed.\n", 0), 0u);
    EXPECT_GT(std::count(failed.out.begin(), failed.out.end(), '\n'), 1) << "the reason follows";

    for (const std::string& bad :
         {std::string(""), q(source), q(source) + " x 0 1 99", q(source) + " x zero 1"})
        EXPECT_EQ(cut(bad).status, 1) << bad;
    EXPECT_EQ(listFolder(dir), (std::vector<std::string>{"noise.mp4", "out.mp4"}));
}

TEST(CutCommand, RefusesACutTooShortOrWithNoLengthAndWritesNothing) {
    const std::string source =
        makeMovie("cli-short.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=3 -c:v libx264");
    const std::string dir = freshFolder("cli-short");
    const struct {
        const char* marks;
        const char* out;
    } cases[] = {
        {"1 1.07", "The cut is too short.\n"},
        // Marks wholly past the movie's end: nothing of it lies between them.
        {"5 6", "That movie has no length.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marks);
        const Outcome o = cut(q(source) + " " + q(dir + "/a.mp4") + " " + c.marks);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(listFolder(dir), std::vector<std::string>{});
    }
}

TEST(CutCommand, InterruptStopsTheSaveAndRemovesThePartialFile) {
    const std::string source = makeMovie(
        "cli-long.mp4", "-f lavfi -i testsrc2=s=1280x720:r=30:d=20 -c:v libx264 -preset ultrafast");
    // Ctrl-C, a polite kill, and the terminal closing under it.
    for (const char* signal : {"INT", "TERM", "HUP"}) {
        SCOPED_TRACE(signal);
        const std::string dir = freshFolder(std::string("cli-stop-") + signal);
        const std::string log = dir + "/../cli-stop-" + signal + ".log";
        // Started in the background, interrupted once it is under way.
        const std::string pid =
            capture("'" + std::string(TRIMWELL_CUT) + "' " + q(source) + " " + q(dir + "/out.mp4") +
                    " 0 20 > " + q(log) + " 2>&1 & echo $!");
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        run(std::string("kill -") + signal + " " + pid);
        for (int i = 0; i < 200 && capture("cat " + q(log)).find('\n') == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(capture("cat " + q(log)),
                  "The save was cancelled. The partial file was removed.\n");
        EXPECT_TRUE(listFolder(dir).empty());
    }
}

TEST(CutCommand, HittingTheFileSizeLimitStopsCleanly) {
    const std::string source = makeMovie(
        "cli-limit.mp4", "-f lavfi -i testsrc2=s=640x360:r=30:d=6 -vf noise=alls=20:allf=t "
                         "-c:v libx264 -preset ultrafast");
    const std::string dir = freshFolder("cli-limit");
    // The whole cut's size, so that a limit can stop the save early or half-way through. The
    // grain makes the pictures use the rate: plain ones would come out far smaller.
    ASSERT_EQ(cut(q(source) + " " + q(dir + "/whole.mp4") + " 0 6 8").status, 0);
    const std::int64_t whole = fileSize(dir + "/whole.mp4");
    std::filesystem::remove(dir + "/whole.mp4");
    ASSERT_GT(whole, 2'000'000);
    // ulimit counts 1 KiB blocks.
    for (const std::int64_t blocks : {std::int64_t{1000}, whole / 2 / 1024}) {
        SCOPED_TRACE(::testing::Message() << "limit " << blocks << " KiB of " << whole / 1024);
        writeFile(dir + "/out.mp4", "the user's old file");
        const std::string out =
            capture("ulimit -f " + std::to_string(blocks) + "; '" + std::string(TRIMWELL_CUT) +
                    "' " + q(source) + " " + q(dir + "/out.mp4") + " 0 6 8; echo \"exit=$?\"");
        EXPECT_EQ(out.rfind("The save stopped. The partial file was removed.\n", 0), 0u) << out;
        EXPECT_NE(out.find("exit=1"), std::string::npos);
        EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");
        EXPECT_EQ(listFolder(dir), (std::vector<std::string>{"out.mp4"}));
    }
}

TEST(CutCommand, AFolderThatTakesNoFileIsNamedAndNothingIsSaved) {
    const std::string source =
        makeMovie("cli-locked.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=2 -c:v libx264");
    const std::string dir = freshFolder("cli-locked");
    std::filesystem::permissions(dir,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    // Root writes in any folder; the cutter then runs as nobody, as a user would meet it.
    const std::string as =
        ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : std::string();
    const std::string out = capture(as + "'" + std::string(TRIMWELL_CUT) + "' " + q(source) + " " +
                                    q(dir + "/out.mp4") + " 0 1 </dev/null; echo \"exit=$?\"");
    EXPECT_EQ(out, "Nothing was saved.\nYou may not write in the folder " + dir + ".\nexit=1\n");
    EXPECT_EQ(listFolder(dir), std::vector<std::string>{});
    std::filesystem::permissions(dir, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}
