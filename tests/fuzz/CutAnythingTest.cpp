// The fuzzer's body in the everyday suite: it must tell the outcomes apart and leave its
// folder empty, or a fuzzing run would report nothing when something broke.
#include "CutAnything.h"
#include "support/TestMovies.h"

#include <gtest/gtest.h>
#include <random>

using namespace trimwell::testing;
using Outcome = CutReport::Outcome;

TEST(CutAnything, TellsTheOutcomesApartAndLeavesNothing) {
    std::mt19937 rng(5);
    std::string noise(20000, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng());
    const std::string movie =
        readFile(makeMovie("fuzz-like.mp4", "-f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 "
                                            "-f lavfi -i sine=sample_rate=8000:duration=0.5 "
                                            "-c:v libx264 -preset ultrafast -c:a aac -shortest"));
    const std::string sound = readFile(
        makeMovie("fuzz-like.m4a", "-f lavfi -i sine=sample_rate=8000:duration=0.5 -c:a aac"));
    ASSERT_FALSE(movie.empty());
    ASSERT_FALSE(sound.empty());
    const struct {
        const char* name;
        std::string bytes;
        Outcome outcome;
    } cases[] = {
        {"a movie", movie, Outcome::saved},
        {"its first half", movie.substr(0, movie.size() / 2), Outcome::unreadable},
        {"sound only", sound, Outcome::refused},
        {"noise", noise, Outcome::unreadable},
        {"nothing", "", Outcome::unreadable},
    };
    const std::string folder = freshFolder("cut-anything");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CutReport report = inspectAndCut(c.bytes, folder);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_TRUE(report.problems.empty()) << report.problems.front();
        EXPECT_TRUE(listFolder(folder).empty());
    }
}
