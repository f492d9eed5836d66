#include "support/TestMovies.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace trimwell::testing;

namespace {
struct Outcome {
    int status;
    std::string out;
};
Outcome runProgram(const std::string& env, const std::string& args) {
    const std::string out = capture("cd / && " + env + " '" + std::string(TRIMWELL_BINARY) + "' " +
                                    args + "; echo \"exit=$?\"");
    const auto at = out.rfind("exit=");
    return {std::atoi(out.c_str() + at + 5), out.substr(0, at)};
}
} // namespace

TEST(SelfTestRun, PassesAndLeavesNoTemporaryFile) {
    const std::string dir = freshFolder("selftest-ok");
    const Outcome o = runProgram("QT_QPA_PLATFORM=offscreen TMPDIR='" + dir + "'", "--self-test");
    EXPECT_EQ(o.out, "Trimwell self-test ok\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(listFolder(dir).empty());
}

TEST(SelfTestRun, SwitchMatchesWholeAnywhereOnTheLine) {
    const std::string dir = freshFolder("selftest-anywhere");
    const Outcome o = runProgram("TMPDIR='" + dir + "'", "first --self-test last");
    EXPECT_EQ(o.out, "Trimwell self-test ok\n");
}

TEST(SelfTestRun, AMissingTemporaryFolderFailsWithOneLine) {
    const Outcome o = runProgram("TMPDIR=/nonexistent/trimwell", "--self-test");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out.rfind("Trimwell self-test failed: ", 0), 0u) << o.out;
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
}

TEST(SelfTestRun, LeftoversFromAnEarlierRunDoNotDisturbIt) {
    const std::string dir = freshFolder("selftest-leftovers");
    run("echo junk > '" + dir + "/trimwell-selftest-source.mp4'");
    run("echo junk > '" + dir + "/trimwell-selftest-out.mp4'");
    const Outcome o = runProgram("TMPDIR='" + dir + "'", "--self-test");
    EXPECT_EQ(o.out, "Trimwell self-test ok\n");
    EXPECT_TRUE(listFolder(dir).empty());
}
