#include "writer/ClipWriter.h"
#include "platform/media/PlatformError.h"
#include "support/TestMovies.h"
#include "writer/SavePolicy.h"

#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <set>
#include <unistd.h>

using namespace trimwell;
using namespace trimwell::testing;
namespace fs = std::filesystem;

namespace {

std::string picture(const std::string& size, double seconds, int rate = 30) {
    return "-f lavfi -i testsrc2=size=" + size + ":rate=" + std::to_string(rate) +
           ":duration=" + std::to_string(seconds) + " ";
}
std::string tone(double seconds, int rate = 48000) {
    return "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate) +
           ":duration=" + std::to_string(seconds) + " ";
}

// A movie whose frame n shows luma 16 + 6·(n mod 32): each frame can be told apart.
std::string numberedMovie() {
    return makeMovie("numbered.mp4",
                     "-f lavfi -i \"color=c=gray:s=160x120:r=30:d=10,format=yuv420p,"
                     "geq=lum='16+6*mod(N\\,32)':cb=128:cr=128\" -c:v libx264 -crf 1 -g 48 -bf 3");
}

std::string detailedMovie() {
    return makeMovie("detailed.mp4",
                     picture("640x360", 12) +
                         "-vf noise=alls=30:allf=t -c:v libx264 -preset ultrafast -crf 10 -g 60");
}

void save(const std::string& source, const std::string& destination, double start, double end,
          std::int64_t video = 4'000'000, std::int64_t audio = 160'000,
          std::shared_ptr<StopFlag> stop = std::make_shared<StopFlag>(),
          std::function<void(double)> progress = {}) {
    ClipWriter::write(source, destination, start, end, video, audio, std::move(stop),
                      std::move(progress));
}

// Nothing but what the test itself put there: no partial file left in the folder.
void expectOnly(const std::string& folder, std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listFolder(folder), names);
}

} // namespace

TEST(ClipWriter, CutsMoviesOfManyKindsUprightEvenAndInStep) {
    const struct {
        const char* name;
        std::string args;
        std::string copyArgs;
        double start, end;
        int width, height;
        const char* frameRate;
        int sampleRate; // 0: no sound expected
        int channels;
        double duration;
    } cases[] = {
        {"bframes.mp4", picture("320x240", 3) + tone(3) + "-c:v libx264 -bf 3 -c:a aac -shortest",
         "", 0.5, 1.5, 320, 240, "30/1", 48000, 1, 1.0},
        {"quarter.mp4", picture("320x240", 3) + "-c:v libx264", "-metadata:s:v:0 rotate=270", 0.5,
         1.5, 240, 320, "30/1", 0, 0, 1.0},
        {"half.mp4", picture("320x240", 3) + "-c:v libx264", "-metadata:s:v:0 rotate=180", 0.5, 1.5,
         320, 240, "30/1", 0, 0, 1.0},
        {"threequarter.mp4", picture("320x240", 3) + "-c:v libx264", "-metadata:s:v:0 rotate=90",
         0.5, 1.5, 240, 320, "30/1", 0, 0, 1.0},
        {"odd.mkv",
         picture("1919x1081", 1.5, 25) + "-c:v libx264 -preset ultrafast -pix_fmt yuv444p", "", 0.2,
         1.0, 1918, 1080, "25/1", 0, 0, 0.8},
        {"program.mpg", picture("320x240", 3) + tone(3) + "-c:v mpeg2video -c:a mp2 -shortest", "",
         1.0, 2.0, 320, 240, "30/1", 48000, 1, 1.0},
        {"motion.avi", picture("320x240", 3) + "-c:v mjpeg", "", 0.5, 1.5, 320, 240, "30/1", 0, 0,
         1.0},
        {"surround.mp4",
         picture("320x240", 3) + tone(3, 44100) +
             "-af aformat=channel_layouts=5.1 -c:v libx264 -c:a aac -shortest",
         "", 0.5, 1.5, 320, 240, "30/1", 44100, 2, 1.0},
        {"pal.mp4", picture("352x288", 3, 25) + "-c:v libx264", "", 0.5, 1.5, 352, 288, "25/1", 0,
         0, 1.0},
        // Formats whose headers leave the picture size to the decoder, so opening them takes
        // the full probe: a transport stream that starts at 1.4 s, NTSC DV with its narrow
        // pixels and sound, and a phone's H.263 with 8 kHz mono.
        {"transport.ts", picture("320x240", 3) + tone(3) + "-c:v libx264 -c:a aac -shortest", "",
         0.5, 1.5, 320, 240, "30/1", 48000, 1, 1.0},
        {"camcorder.dv",
         "-f lavfi -i testsrc2=size=720x480:rate=30000/1001:duration=3 " + tone(3) +
             "-c:v dvvideo -pix_fmt yuv411p -c:a pcm_s16le -ac 2 -shortest",
         "", 0.5, 1.5, 640, 480, "30000/1001", 48000, 2, 1.0}, // 29.97 kept exactly
        {"phone.3gp",
         picture("176x144", 3, 15) + tone(3, 8000) + "-c:v h263 -c:a aac -ac 1 -shortest", "", 0.5,
         1.5, 176, 144, "15/1", 8000, 1, 1.0},
        // A cut past the picture's end is clipped to it.
        {"short.mp4", picture("320x240", 2) + tone(2) + "-c:v libx264 -c:a aac -shortest", "", 1.0,
         5.0, 320, 240, "30/1", 48000, 1, 1.0},
    };
    const std::string dir = freshFolder("clip-kinds");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args, c.copyArgs);
        const std::string out = dir + "/" + c.name + ".mp4";
        ASSERT_NO_THROW(save(source, out, c.start, c.end));
        EXPECT_EQ(probe(out, "v:0", "codec_name"), "h264");
        EXPECT_EQ(probe(out, "v:0", "profile"), "High");
        EXPECT_EQ(probe(out, "v:0", "pix_fmt"), "yuv420p");
        EXPECT_EQ(probe(out, "v:0", "width"), std::to_string(c.width));
        EXPECT_EQ(probe(out, "v:0", "height"), std::to_string(c.height));
        EXPECT_EQ(probe(out, "v:0", "r_frame_rate"), c.frameRate);
        EXPECT_EQ(probe(out, "v:0", "sample_aspect_ratio"), "1:1")
            << "square pixels, said outright";
        EXPECT_EQ(probe(out, "v:0", "side_data_list"), "") << "no rotation of its own";
        EXPECT_EQ(capture("ffprobe -v error -show_streams '" + out + "' | grep -c rotation"),
                  "0\n");
        const double frame = 1.0 / probeNumber(out, "v:0", "r_frame_rate");
        EXPECT_NEAR(probeNumber(out, "v:0", "duration"), c.duration, frame + 0.001);
        EXPECT_TRUE(indexBeforeData(out));
        if (c.sampleRate) {
            EXPECT_EQ(probe(out, "a:0", "codec_name"), "aac");
            EXPECT_EQ(probe(out, "a:0", "profile"), "LC");
            EXPECT_EQ(probe(out, "a:0", "sample_rate"), std::to_string(c.sampleRate));
            EXPECT_EQ(probe(out, "a:0", "channels"), std::to_string(c.channels));
            EXPECT_NEAR(probeNumber(out, "a:0", "duration"), c.duration, 0.05);
        } else {
            EXPECT_EQ(probe(out, "a:0", "codec_name"), "");
        }
    }
    expectOnly(dir, [&] {
        std::vector<std::string> names;
        for (const auto& c : cases)
            names.push_back(std::string(c.name) + ".mp4");
        return names;
    }());
}

TEST(ClipWriter, PicturesComeOutUprightAsAPlayerShowsThem) {
    // Compared with the ffmpeg program's own rotation of the same source; 330 × 250 is no
    // multiple of 8, so the turn's block edges are covered too.
    const std::string dir = freshFolder("clip-upright");
    for (const int angle : {90, 180, 270}) {
        SCOPED_TRACE(angle);
        const std::string name = "upright-odd" + std::to_string(angle) + ".mp4";
        const std::string source = makeMovie(name, picture("330x250", 2) + "-c:v libx264 -crf 12",
                                             "-metadata:s:v:0 rotate=" + std::to_string(angle));
        const std::string out = dir + "/" + name;
        save(source, out, 0.5, 1.0, 8'000'000);
        const bool turned = angle != 180;
        const std::string size = turned ? "50:66" : "66:50";
        const std::string ref = capture("ffmpeg -nostdin -v error -i '" + source +
                                        "' -vf 'select=eq(n\\,15),scale=" + size +
                                        "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        const std::string ours =
            capture("ffmpeg -nostdin -v error -i '" + out + "' -vf 'scale=" + size +
                    "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(ref.size(), ours.size());
        ASSERT_FALSE(ref.empty());
        double diff = 0;
        for (size_t i = 0; i < ref.size(); ++i)
            diff +=
                std::abs(static_cast<unsigned char>(ref[i]) - static_cast<unsigned char>(ours[i]));
        EXPECT_LT(diff / ref.size(), 4.0) << "mean difference per channel";
    }
}

TEST(ClipWriter, FirstFrameIsTheOneAtTheInMarkAndLastTheOneBeforeTheOut) {
    const std::string source = numberedMovie();
    const std::vector<int> sourceLuma = frameLuma(source, 80, 60);
    ASSERT_EQ(sourceLuma.size(), 300u);
    const std::string dir = freshFolder("clip-frames");
    const struct {
        double start, end;
        int first, last;
    } cases[] = {
        {2.0, 3.0, 60, 89},
        // Between frames: the next one, as the player shows; the out mark lies 10 ms into
        // frame 90, which the cut leaves out rather than show it for 10 ms.
        {2.01, 3.01, 61, 89},
        {2.0 + 1.0 / 30, 2.5, 61, 74}, // on a frame boundary that is not a whole tick
        {0.0, 0.5, 0, 14},
        {9.0, 10.0, 270, 299},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.start << "-" << c.end);
        const std::string out = dir + "/cut.mp4";
        save(source, out, c.start, c.end, 8'000'000);
        const std::vector<int> luma = frameLuma(out, 80, 60);
        ASSERT_EQ(static_cast<int>(luma.size()), c.last - c.first + 1);
        EXPECT_NEAR(luma.front(), sourceLuma[c.first], 2);
        EXPECT_NEAR(luma.back(), sourceLuma[c.last], 2);
        EXPECT_NE(std::abs(luma.front() - sourceLuma[c.first + 1]), 0);
    }
}

TEST(ClipWriter, AverageBitRateFollowsTheChoice) {
    const std::string source = detailedMovie();
    const std::string dir = freshFolder("clip-rate");
    for (const double megabits : {1.0, 4.0, 12.0}) {
        SCOPED_TRACE(megabits);
        const std::string out = dir + "/rate.mp4";
        save(source, out, 1.0, 11.0, static_cast<std::int64_t>(megabits * 1e6), 0);
        EXPECT_NEAR(probeNumber(out, "v:0", "bit_rate") / 1e6, megabits, 0.15 * megabits);
    }
}

// The window promises length × (picture rate + 160 kb/s) ÷ 8 bytes. Detailed pictures are where
// a one-pass encoder overspends: at the start of a short cut, and where a calm cut turns busy
// after the encoder has settled on the calm pictures' cost.
TEST(ClipWriter, SavedSizeKeepsToTheEstimate) {
    const std::string grainy = makeMovie(
        "grainy.mp4", picture("640x360", 4) + tone(4) +
                          "-vf noise=alls=30:allf=t -c:v libx264 -preset ultrafast -crf 10 "
                          "-c:a aac -shortest");
    const std::string calmThenBusy = makeMovie(
        "calm-then-busy.mp4", picture("640x360", 6) + tone(6) +
                                  "-vf \"noise=alls=40:allf=t:enable='gte(t,3)'\" -c:v libx264 "
                                  "-preset ultrafast -crf 10 -c:a aac -shortest");
    const struct {
        const char* name;
        std::string source;
        double start, end, megabits;
        double lowest, highest; // saved ÷ estimate
    } cases[] = {
        // Under 2 s the encoder has too little time to settle on the rate either way.
        {"1 s of grain", grainy, 1.0, 2.0, 4, 0.50, 1.15},
        {"3 s of grain", grainy, 0.5, 3.5, 4, 0.90, 1.03},
        {"3 s of grain at 8 Mb/s", grainy, 0.5, 3.5, 8, 0.90, 1.03},
        {"2 s calm then 2 s busy", calmThenBusy, 1.0, 5.0, 4, 0.90, 1.03},
    };
    const std::string dir = freshFolder("clip-estimate");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/estimate.mp4";
        const auto video = static_cast<std::int64_t>(c.megabits * 1e6);
        save(c.source, out, c.start, c.end, video, 160'000);
        const double estimate = (c.end - c.start) * static_cast<double>(video + 160'000) / 8;
        const double ratio = static_cast<double>(fileSize(out)) / estimate;
        EXPECT_GE(ratio, c.lowest);
        EXPECT_LE(ratio, c.highest);
    }
}

TEST(ClipWriter, SoundStartingLateKeepsItsPlace) {
    const std::string source = makeMovie("latesound2.mp4", picture("320x240", 6) + "-itsoffset 2 " +
                                                               tone(4) + "-c:v libx264 -c:a aac");
    ASSERT_NEAR(probeNumber(source, "a:0", "start_time"), 2.0, 0.05);
    const std::string out = freshFolder("clip-late") + "/late.mp4";
    save(source, out, 1.0, 5.0);
    EXPECT_NEAR(probeNumber(out, "a:0", "start_time"), 1.0, 0.05);
    EXPECT_NEAR(probeNumber(out, "v:0", "duration"), 4.0, 0.04);
}

TEST(ClipWriter, RefusesEmptyAndTooShortCutsAndLeavesNothing) {
    const std::string source = makeMovie("refuse.mp4", picture("320x240", 2) + "-c:v libx264");
    const std::string dir = freshFolder("clip-refuse");
    const struct {
        double start, end;
    } refused[] = {{1, 1}, {1.5, 1}, {3, 4}, {0.5, 0.55}, {NAN, 1}, {-5, -4}};
    for (const auto& c : refused) {
        SCOPED_TRACE(::testing::Message() << c.start << "-" << c.end);
        try {
            save(source, dir + "/out.mp4", c.start, c.end);
            ADD_FAILURE() << "saved";
        } catch (const ClipError& e) {
            EXPECT_EQ(e.kind(), ClipError::Kind::noLength);
        }
    }
    expectOnly(dir, {});
    // Just over the shortest cut is accepted.
    save(source, dir + "/out.mp4", 0.5, 0.5 + 31.0 / 600);
    expectOnly(dir, {"out.mp4"});
}

TEST(ClipWriter, RefusesToWriteOverItsOwnSource) {
    const std::string dir = freshFolder("clip-same");
    const std::string source = dir + "/movie.mp4";
    fs::copy_file(makeMovie("same.mp4", picture("320x240", 2) + "-c:v libx264"), source);
    const std::string before = readFile(source);
    fs::create_symlink(source, dir + "/link.mp4");
    fs::create_directory(dir + "/sub");
    for (const std::string& destination :
         {source, dir + "/link.mp4", dir + "/sub/../movie.mp4", dir + "/./movie.mp4"}) {
        SCOPED_TRACE(destination);
        try {
            save(source, destination, 0, 1);
            ADD_FAILURE() << "saved";
        } catch (const ClipError& e) {
            EXPECT_EQ(e.kind(), ClipError::Kind::sameFile);
        }
        EXPECT_EQ(readFile(source), before);
    }
    expectOnly(dir, {"link.mp4", "movie.mp4", "sub"});
}

TEST(ClipWriter, StopEndsCancelledWithNoFileLeft) {
    const std::string source = detailedMovie();
    const std::string dir = freshFolder("clip-stop");
    writeFile(dir + "/out.mp4", "the user's old file");
    for (const bool early : {true, false}) {
        SCOPED_TRACE(early ? "before the pumps" : "while they run");
        auto stop = std::make_shared<StopFlag>();
        if (early)
            stop->requestStop();
        try {
            save(source, dir + "/out.mp4", 0, 10, 4'000'000, 0, stop, [stop](double f) {
                if (f > 0.1)
                    stop->requestStop();
            });
            ADD_FAILURE() << "saved";
        } catch (const ClipError& e) {
            EXPECT_EQ(e.kind(), ClipError::Kind::cancelled);
        }
        EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");
        expectOnly(dir, {"out.mp4"});
    }
}

TEST(ClipWriter, AStopOnceEverySampleIsReadStillStopsTheSave) {
    // The last report of the reading comes before the encoder's held pictures, the index and
    // the file's move into place: a stop raised then ends the save as any other.
    const std::string source = detailedMovie();
    const std::string dir = freshFolder("clip-stop-late");
    writeFile(dir + "/out.mp4", "the user's old file");
    auto stop = std::make_shared<StopFlag>();
    std::mutex lock;
    std::vector<double> reports;
    try {
        save(source, dir + "/out.mp4", 0, 10, 4'000'000, 160'000, stop, [&](double f) {
            {
                std::lock_guard guard(lock);
                reports.push_back(f);
            }
            if (f >= 0.99)
                stop->requestStop();
        });
        ADD_FAILURE() << "saved";
    } catch (const ClipError& e) {
        EXPECT_EQ(e.kind(), ClipError::Kind::cancelled);
    }
    EXPECT_TRUE(stop->isStopped()) << "the reading reported its end";
    EXPECT_FALSE(stop->isFinishing());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_LE(reports.back(), 0.99) << "the end is said only once the file is in place";
    EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");
    expectOnly(dir, {"out.mp4"});
}

TEST(ClipWriter, TheEncodersEndIsToldAndCanBeStopped) {
    // A cut of fewer pictures than x264's lookahead: the encoder gives out nothing until the
    // reading has ended, so the reading alone tells at most half, and every report above
    // one half comes while the encoder works through the pictures it held back.
    const std::string source = detailedMovie();
    const std::string dir = freshFolder("clip-encoder-end");
    for (const bool stopIt : {false, true}) {
        SCOPED_TRACE(stopIt ? "stopped then" : "left to finish");
        writeFile(dir + "/out.mp4", "the user's old file");
        auto stop = std::make_shared<StopFlag>();
        std::mutex lock;
        std::vector<double> reports;
        std::optional<double> stoppedAt;
        bool saved = false;
        try {
            save(source, dir + "/out.mp4", 1, 1.8, 4'000'000, 0, stop, [&](double f) {
                std::lock_guard guard(lock);
                reports.push_back(f);
                if (stopIt && f > 0.5 && f < 1 && !stoppedAt) {
                    stoppedAt = f;
                    EXPECT_TRUE(stop->requestStop());
                }
            });
            saved = true;
        } catch (const ClipError& e) {
            EXPECT_EQ(e.kind(), ClipError::Kind::cancelled);
        }
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
        std::set<double> finishing;
        for (const double f : reports)
            if (f > 0.5 && f < 1)
                finishing.insert(f);
        if (stopIt) {
            EXPECT_FALSE(saved);
            ASSERT_TRUE(stoppedAt) << "nothing was told while the encoder finished";
            EXPECT_EQ(reports.back(), *stoppedAt) << "the encoder went on after the stop";
            EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");
        } else {
            EXPECT_TRUE(saved);
            EXPECT_GE(finishing.size(), 5u) << "the report stood still while the encoder finished";
            EXPECT_EQ(reports.back(), 1.0);
            EXPECT_EQ(countFrames(dir + "/out.mp4"), 24);
        }
        expectOnly(dir, {"out.mp4"});
    }
}

TEST(ClipWriter, FailuresLeaveTheDestinationAsItWas) {
    const std::string dir = freshFolder("clip-fail");
    writeFile(dir + "/out.mp4", "the user's old file");
    // A movie whose index promises more than its data holds.
    const std::string whole = readFile(
        makeMovie("truncate.mp4", picture("320x240", 6) + "-c:v libx264 -movflags +faststart"));
    writeFile(dir + "/truncated.mp4", whole.substr(0, whole.size() / 2));
    EXPECT_ANY_THROW(save(dir + "/truncated.mp4", dir + "/out.mp4", 0, 6));
    EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");

    writeFile(dir + "/plain", "a file, not a folder");
    const std::string good = makeMovie("good.mp4", picture("320x240", 2) + "-c:v libx264");
    EXPECT_THROW(save(good, dir + "/plain/out.mp4", 0, 1), PlatformError);
    EXPECT_THROW(save(good, dir + "/missing/out.mp4", 0, 1), PlatformError);
    fs::create_directory(dir + "/folder.mp4");
    EXPECT_THROW(save(good, dir + "/folder.mp4", 0, 1), PlatformError);
    expectOnly(dir, {"folder.mp4", "out.mp4", "plain", "truncated.mp4"});
}

// Whether this process is really kept from making a file in folder (root is not kept out of
// a folder by its permissions, so asking access() would not tell).
bool refusesFiles(const std::string& folder) {
    const std::string probe = folder + "/.probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EACCES || errno == EPERM;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
}

TEST(ClipWriter, AFolderThatTakesNoFileIsNamedAndNothingIsWritten) {
    const std::string good = makeMovie("good.mp4", picture("320x240", 2) + "-c:v libx264");
    const std::string locked = freshFolder("clip-locked");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    // The first is how a user meets it; the second refuses root too (sysfs makes no files),
    // and takes the named partial file's way, as O_TMPFILE is not supported there.
    std::vector<std::string> folders;
    if (refusesFiles(locked))
        folders.push_back(locked);
    else
        std::cout << "running as root: the locked folder takes files; CutCommand tries it as "
                     "another user\n";
    if (fs::is_directory("/sys/kernel") && refusesFiles("/sys/kernel"))
        folders.push_back("/sys/kernel");
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        try {
            save(good, folder + "/out.mp4", 0, 1);
            ADD_FAILURE() << "saved";
        } catch (const ClipError& e) {
            EXPECT_EQ(e.kind(), ClipError::Kind::folderRefused);
            EXPECT_EQ(e.description(), "You may not write in the folder " + folder + ".");
            const SaveEnd ended = saveEndOf(std::current_exception());
            EXPECT_EQ(ended.outcome, SaveOutcome::notWritten);
            EXPECT_STREQ(outcomeText(ended.outcome), "Nothing was saved.");
        }
    }
    expectOnly(locked, {});
    fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
    if (folders.empty())
        GTEST_SKIP() << "no folder refuses this process";
}

TEST(ClipWriter, ReportsProgressInStepsAndEndsAtExactlyOne) {
    const std::string source = numberedMovie();
    std::mutex lock;
    std::vector<double> reports;
    save(source, freshFolder("clip-progress") + "/out.mp4", 0, 8, 1'000'000, 0,
         std::make_shared<StopFlag>(), [&](double f) {
             std::lock_guard guard(lock);
             reports.push_back(f);
         });
    ASSERT_GE(reports.size(), 3u);
    EXPECT_LT(reports.front(), 0.02);
    EXPECT_EQ(reports.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_LE(reports.size(), 60u);
}

TEST(ClipWriter, NoSoundWhenAskedForNone) {
    const std::string source = makeMovie("withsound.mp4", picture("320x240", 2) + tone(2) +
                                                              "-c:v libx264 -c:a aac -shortest");
    const std::string out = freshFolder("clip-nosound") + "/out.mp4";
    save(source, out, 0, 1, 2'000'000, 0);
    EXPECT_EQ(probe(out, "a:0", "codec_name"), "");
    EXPECT_EQ(probe(out, "v:0", "codec_name"), "h264");
}

TEST(ClipWriter, ColoursSurviveTheTrip) {
    // Solid colour fields; the ffmpeg program's decoding of source and cut must agree.
    const std::string colours = "-f lavfi -i \"color=c=0x3366cc:s=%s:r=30:d=2,"
                                "drawbox=x=0:y=0:w=iw/2:h=ih:color=0xe0a040:t=fill\" ";
    auto with = [&](const std::string& size) {
        std::string s = colours;
        s.replace(s.find("%s"), 2, size);
        return s;
    };
    const struct {
        const char* name;
        std::string args;
        int width, height;
    } cases[] = {
        {"colour-sd.mp4", with("320x240") + "-c:v libx264 -crf 4", 320, 240},
        {"colour-hd.mp4",
         with("1280x720") +
             "-c:v libx264 -crf 4 -colorspace bt709 -color_primaries bt709 -color_trc bt709",
         1280, 720},
        {"colour-full.avi", with("320x240") + "-c:v mjpeg -q:v 2 -pix_fmt yuvj420p", 320, 240},
        {"colour-sd-as-hd.mp4", with("320x240") + "-c:v libx264 -crf 4 -colorspace bt709", 320,
         240},
    };
    const std::string dir = freshFolder("clip-colour");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = makeMovie(c.name, c.args);
        const std::string out = dir + "/" + c.name + ".mp4";
        save(source, out, 0.5, 1.5, 8'000'000, 0);
        for (const int x : {c.width / 4, 3 * c.width / 4}) {
            const Rgb want = pixelAt(source, 20, x, c.height / 2);
            const Rgb got = pixelAt(out, 5, x, c.height / 2);
            EXPECT_NEAR(got.r, want.r, 5) << x;
            EXPECT_NEAR(got.g, want.g, 5) << x;
            EXPECT_NEAR(got.b, want.b, 5) << x;
        }
    }
}

TEST(ClipWriter, ASourceThatChangesWhileItIsReadFailsTheSave) {
    const std::string dir = freshFolder("clip-vanish");
    writeFile(dir + "/out.mp4", "the user's old file");
    for (const bool deleteIt : {true, false}) {
        SCOPED_TRACE(deleteIt ? "deleted" : "truncated");
        const std::string source = dir + "/source.mp4";
        fs::copy_file(detailedMovie(), source, fs::copy_options::overwrite_existing);
        bool done = false;
        try {
            save(source, dir + "/out.mp4", 0, 10, 1'000'000, 0, std::make_shared<StopFlag>(),
                 [&](double f) {
                     if (f > 0.2 && !done) {
                         done = true;
                         if (deleteIt)
                             fs::remove(source);
                         else
                             fs::resize_file(source, fs::file_size(source) / 3);
                     }
                 });
            ADD_FAILURE() << "saved";
        } catch (const std::exception& e) {
            SUCCEED() << e.what();
        }
        EXPECT_EQ(readFile(dir + "/out.mp4"), "the user's old file");
        fs::remove(source);
        expectOnly(dir, {"out.mp4"});
    }
}
