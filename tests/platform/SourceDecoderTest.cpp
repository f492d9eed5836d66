#include "platform/media/detail/SourceDecoder.h"
#include "support/TestMovies.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <map>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

// Every picture decoded from the key frame before `from` to the end, keyed by its time in
// milliseconds, with a checksum of its pixels.
std::map<long, std::uint64_t> decodeFrom(const std::string& path, double from, bool skip) {
    SourceDecoder decoder(path, 0, DecoderThreads::perCore);
    if (skip)
        decoder.skipUnreferencedBefore(from);
    std::map<long, std::uint64_t> pictures;
    for (FramePtr f = decoder.seekTo(from); f; f = decoder.next()) {
        std::uint64_t hash = 1469598103934665603ull;
        for (int plane = 0; plane < 3 && f->data[plane]; ++plane) {
            // The movies here are all 8-bit 4:2:0.
            const int rows = plane == 0 ? f->height : (f->height + 1) / 2;
            const int bytes = plane == 0 ? f->width : (f->width + 1) / 2;
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < bytes; ++x)
                    hash = (hash ^ f->data[plane][y * f->linesize[plane] + x]) * 1099511628211ull;
        }
        pictures[std::lround(decoder.secondsOf(f.get()) * 1000)] = hash;
    }
    return pictures;
}

} // namespace

// A cut that starts between key frames skips the pictures nothing refers to, and only
// those: every picture from the cut's start on comes out exactly as a full decode has it.
TEST(SourceDecoder, SkipsOnlyUnreferencedPicturesBeforeTheCut) {
    const std::string picture = "-f lavfi -i testsrc2=s=320x240:r=25:d=4,noise=alls=6:allf=t ";
    const struct {
        const char* name;
        std::string args;
    } kinds[] = {
        {"skip-h264.mp4", picture + "-c:v libx264 -g 50 -bf 3 -sc_threshold 0"},
        {"skip-hevc.mkv", picture + "-c:v libx265 -x265-params "
                                    "keyint=50:min-keyint=50:scenecut=0:bframes=4:log-level=error"},
        {"skip-mpeg2.ts", picture + "-c:v mpeg2video -g 50 -bf 2 -b:v 2M"},
    };
    const double cutStart = 1.7; // between the key frames at 0 and 2 s
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string path = makeMovie(kind.name, kind.args);
        const auto full = decodeFrom(path, cutStart, false);
        const auto skipped = decodeFrom(path, cutStart, true);
        ASSERT_GE(full.size(), 75u); // from the key frame at 0 s
        long before = 0, kept = 0;
        for (const auto& [ms, hash] : full) {
            if (ms < cutStart * 1000) {
                ++before;
                kept += skipped.count(ms) ? 1 : 0;
                continue;
            }
            ASSERT_TRUE(skipped.count(ms)) << ms << " ms went missing";
            EXPECT_EQ(skipped.at(ms), hash) << "the picture at " << ms << " ms differs";
        }
        EXPECT_EQ(skipped.size(), static_cast<std::size_t>(full.size() - before + kept));
        EXPECT_LT(kept, before) << "nothing before the cut was skipped";
        EXPECT_GT(kept, 0) << "the pictures the cut builds on were skipped too";
    }
}
