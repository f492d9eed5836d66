// Sound at any rate saves: rates the AAC encoder takes are kept, the others are raised to the
// nearest one it takes (96 kHz above that).
#include "Reliability.h"
#include "support/TestMovies.h"
#include "writer/ClipWriter.h"

#include <gtest/gtest.h>

using namespace trimwell;
using namespace trimwell::testing;

TEST(SoundRates, EveryRateSavesAtTheNearestRateTheEncoderTakes) {
    const struct {
        int source;
        int saved;
    } cases[] = {{192000, 96000}, {37800, 44100}, {22050, 22050}, {11025, 11025}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.source << " Hz");
        const std::string rate = std::to_string(c.source);
        const std::string source = makeMovie(
            "rel-rate-" + rate + ".mov",
            "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 -f lavfi -i sine=frequency=440:"
            "sample_rate=" +
                rate +
                ":duration=2 -c:v libx264 -preset ultrafast -c:a pcm_s16le "
                "-shortest");
        ASSERT_EQ(probe(source, "a:0", "sample_rate"), rate);
        const std::string destination = freshFolder("rel-rate-" + rate) + "/cut.mp4";
        const Deadline deadline("saving " + rate + " Hz sound", std::chrono::seconds(120));
        ASSERT_NO_THROW(
            ClipWriter::write(source, destination, 0.5, 1.5, 2'000'000, 160'000, nullptr, nullptr));
        EXPECT_EQ(probe(destination, "a:0", "codec_name"), "aac");
        EXPECT_EQ(probe(destination, "a:0", "sample_rate"), std::to_string(c.saved));
        EXPECT_NEAR(probeNumber(destination, "a:0", "duration"), 1.0, 0.05);
    }
}
