// Damaged and strange files, opened through the model and cut through the clip writer: each
// ends in its status line, nothing hangs, and no partial file is left behind.
#include "Reliability.h"
#include "model/ModelTesting.h"
#include "platform/media/PlatformError.h"
#include "writer/ClipWriter.h"

#include <filesystem>
#include <functional>
#include <random>

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

namespace {

const QString kUnreadable = "That movie could not be read.";
const QString kNoLength = "That movie has no length.";
const QString kNoPicture = "That file has no picture.";
const QString kTooShort = "That movie is too short to cut.";
const QString kReady = "Ready.";

// How a cut of the file through the clip writer may end.
enum class Cut { saved, failed, savedOrFailed, unreadable, noLength, noPicture };

constexpr double kStart = 0.2, kEnd = 1.8;

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

// The clip writer's outcome, and whether it matched what the case allows.
struct WriterResult {
    bool saved{false};
    std::string what;
};

WriterResult cutWithWriter(const std::string& source, const std::string& destination, Cut want) {
    try {
        ClipWriter::write(source, destination, kStart, kEnd, 2'000'000, 160'000,
                          std::make_shared<StopFlag>(), {});
        EXPECT_TRUE(want == Cut::saved || want == Cut::savedOrFailed) << "saved";
        return {true, "saved"};
    } catch (const ClipError& e) {
        switch (e.kind()) {
        case ClipError::Kind::noLength:
            EXPECT_EQ(want, Cut::noLength) << e.description();
            break;
        case ClipError::Kind::noPicture:
            EXPECT_EQ(want, Cut::noPicture) << e.description();
            break;
        case ClipError::Kind::failed:
            EXPECT_TRUE(want == Cut::failed || want == Cut::savedOrFailed) << e.description();
            break;
        default:
            ADD_FAILURE() << "unexpected: " << e.description();
        }
        return {false, e.description()};
    } catch (const PlatformError& e) {
        EXPECT_EQ(want, Cut::unreadable) << e.description();
        return {false, e.description()};
    }
    // Anything else escapes and fails the test: the writer promises only these two.
}

void expectAMovie(const std::string& path) {
    EXPECT_EQ(probe(path, "v:0", "codec_name"), "h264");
    const double duration = probeNumber(path, "format", "duration");
    EXPECT_NEAR(duration, kEnd - kStart, 0.1);
}

} // namespace

TEST(BadMovies, OpenAndCutEndInTheirStatusAndLeaveNothingBehind) {
    const std::string dir = freshFolder("rel-bad");
    const std::string end = readFile(smallMovie(false));
    const std::string front = readFile(smallMovie(true));
    ASSERT_GT(end.size(), 20000u);
    ASSERT_GT(front.size(), 20000u);
    auto file = [&](const std::string& name, const std::string& bytes) {
        writeFile(dir + "/" + name, bytes);
        return dir + "/" + name;
    };
    auto cutAt = [](const std::string& bytes, int percent) {
        return bytes.substr(0, bytes.size() * percent / 100);
    };
    std::string garbled = front;
    garbled.replace(garbled.size() / 2, 10000, randomBytes(10000, 7));

    struct Case {
        const char* name;
        std::function<std::string()> make;
        QString opens;
        Cut cut;
    };
    const Case cases[] = {
        {"random bytes", [&] { return file("random.mp4", randomBytes(100000, 1)); }, kUnreadable,
         Cut::unreadable},
        {"text named .mp4",
         [&] { return file("note.mp4", "This is a note, not a movie.\nSecond line.\n"); },
         kUnreadable, Cut::unreadable},
        {"empty file", [&] { return file("empty.mp4", ""); }, kUnreadable, Cut::unreadable},
        {"index at end, cut at 10 %", [&] { return file("end10.mp4", cutAt(end, 10)); },
         kUnreadable, Cut::unreadable},
        {"index at end, cut at 50 %", [&] { return file("end50.mp4", cutAt(end, 50)); },
         kUnreadable, Cut::unreadable},
        {"index at end, cut at 90 %", [&] { return file("end90.mp4", cutAt(end, 90)); },
         kUnreadable, Cut::unreadable},
        // The index promises what the data no longer holds: the file opens, the cut finds out.
        {"index in front, cut at 10 %", [&] { return file("front10.mp4", cutAt(front, 10)); },
         kReady, Cut::failed},
        {"index in front, cut at 50 %", [&] { return file("front50.mp4", cutAt(front, 50)); },
         kReady, Cut::savedOrFailed},
        {"index in front, cut at 90 %", [&] { return file("front90.mp4", cutAt(front, 90)); },
         kReady, Cut::savedOrFailed},
        {"index zeroed, at end", [&] { return file("zeroed-end.mp4", zeroBox(end, "moov")); },
         kUnreadable, Cut::unreadable},
        {"index zeroed, in front", [&] { return file("zeroed-front.mp4", zeroBox(front, "moov")); },
         kUnreadable, Cut::unreadable},
        {"garbage in the middle of the data", [&] { return file("garbled.mp4", garbled); }, kReady,
         Cut::savedOrFailed},
        {"folder named like a movie",
         [&] {
             fs::create_directory(dir + "/folder.mp4");
             return dir + "/folder.mp4";
         },
         kUnreadable, Cut::unreadable},
        {"broken symbolic link",
         [&] {
             fs::create_symlink(dir + "/nowhere.mp4", dir + "/broken.mp4");
             return dir + "/broken.mp4";
         },
         kUnreadable, Cut::unreadable},
        {"symbolic link loop",
         [&] {
             fs::create_symlink(dir + "/loop-b.mp4", dir + "/loop-a.mp4");
             fs::create_symlink(dir + "/loop-a.mp4", dir + "/loop-b.mp4");
             return dir + "/loop-a.mp4";
         },
         kUnreadable, Cut::unreadable},
        {"stream header claiming 100000 x 100000",
         [&] {
             return file("huge.y4m", "YUV4MPEG2 W100000 H100000 F30:1 Ip A1:1 C420jpeg\nFRAME\n" +
                                         randomBytes(4000, 3));
         },
         kUnreadable, Cut::unreadable},
        // The container's header says 100000 x 100000 for raw pictures of 16 x 16.
        {"container header claiming 100000 x 100000",
         [&] {
             std::string avi = readFile(
                 makeMovie("rel-raw16.avi", "-f lavfi -i testsrc2=size=16x16:rate=10:duration=1 "
                                            "-c:v rawvideo -pix_fmt yuv420p"));
             const auto patch = [&](std::size_t at) {
                 for (int k = 0; k < 2; ++k) {
                     const std::uint32_t v = 100000;
                     for (int i = 0; i < 4; ++i)
                         avi[at + 4 * k + i] = static_cast<char>((v >> (8 * i)) & 0xff);
                 }
             };
             patch(avi.find("avih") + 8 + 8 * 4); // dwWidth, dwHeight
             patch(avi.find("strf") + 8 + 4);     // biWidth, biHeight
             return file("huge.avi", avi);
         },
         kNoPicture, Cut::noPicture},
        {"zero-length movie with tracks",
         [&] { return file("zero-length.mp4", zeroDurations(front)); }, kNoLength, Cut::noLength},
        {"movie without tracks",
         [&] {
             return makeMovie(
                 "rel-no-tracks.mp4",
                 "-f lavfi -i testsrc2=size=160x120:rate=30:duration=1 -c:v libx264 -t 0");
         },
         kNoLength, Cut::noLength},
        {"sound only",
         [&] { return makeMovie("rel-sound-only.m4a", "-f lavfi -i sine=duration=2 -c:a aac"); },
         kNoPicture, Cut::noPicture},
        {"sound shorter than 0.05 s",
         [&] {
             return makeMovie("rel-short-sound.mp4",
                              "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 "
                              "-f lavfi -i sine=sample_rate=48000:duration=0.03 "
                              "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac");
         },
         kReady, Cut::saved},
        {"movie of 0.05 s",
         [&] {
             return makeMovie("rel-0.05s.mp4",
                              "-f lavfi -i testsrc2=size=160x120:rate=100:duration=0.05 "
                              "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
         },
         kTooShort, Cut::noLength},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = c.make();
        const std::string out = freshFolder("rel-bad-out");
        const std::string destination = out + "/cut.mp4";
        writeFile(destination, kOldFile);
        const Deadline deadline(c.name, std::chrono::seconds(120));

        Rig rig;
        TrimwellModel& m = *rig.model;
        EXPECT_EQ(rig.open(source), c.opens);
        EXPECT_EQ(m.sourceURL().has_value(), c.opens == kReady);

        const WriterResult byWriter = cutWithWriter(source, destination, c.cut);
        if (byWriter.saved)
            expectAMovie(destination);
        else
            EXPECT_EQ(readFile(destination), kOldFile);
        EXPECT_EQ(partialFilesIn(out), 0);

        if (c.opens == kReady) {
            // The same cut through the model ends the same way, in its own words.
            const std::string again = out + "/again.mp4";
            m.setInPoint(kStart);
            m.setOutPoint(kEnd);
            rig.panels.saveReplies = {again};
            m.pickSave();
            ASSERT_TRUE(m.busy());
            ASSERT_TRUE(waitUntil([&] { return !m.busy(); }, 100000));
            EXPECT_EQ(m.status(),
                      byWriter.saved ? "Saved." : "The save stopped. The partial file was removed.")
                << byWriter.what;
            EXPECT_EQ(fileExists(again), byWriter.saved);
            EXPECT_EQ(partialFilesIn(out), 0);
        }
    }
}
