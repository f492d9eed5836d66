// The whole program's path, with the real player, the real writer and scripted panels: what
// the preview shows at the in mark is the first frame of the saved cut.
#include "PlayerTesting.h"
#include "model/FakePanels.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"
#include "support/TestMovies.h"
#include "window/PreviewPane.h"

#include <QColor>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace trimwell;
using namespace trimwell::testing;

namespace {

struct Program {
    FakePanels panels;
    std::unique_ptr<TrimwellModel> model =
        std::make_unique<TrimwellModel>(std::make_unique<MpvPlayer>());
    std::unique_ptr<PreviewPane> pane;

    Program() {
        model->setPanels(&panels);
        pane = std::make_unique<PreviewPane>(model->player());
        pane->resize(320, 240);
        pane->show();
        model->armClock();
    }
    bool open(const std::string& path) {
        model->open(path);
        return waitUntil([&] { return model->status() != "Reading the movie."; }, 20);
    }
    int shownFrame() const { return frameIndexAtCentre(pane->view().picture()); }
    void dragIn(double t) {
        model->beginInDrag();
        model->setInPoint(t);
        model->endInDrag();
    }
    void dragOut(double t) {
        model->beginOutDrag();
        model->setOutPoint(t);
        model->endOutDrag();
    }
};

} // namespace

TEST(ProgramFlow, TheSavedCutStartsWithTheFrameThePreviewShowedAtTheInMark) {
    // The in mark goes to 1.01 s. In the MP4 that falls between frames 30 and 31, so the
    // player shows 31. The transport stream's clock starts with its sound, 21 ms before the
    // first picture, so there frame 30 (at 1.021 s) is the first one from the mark on.
    const struct {
        std::string source;
        bool sound;
        int inFrame;
    } cases[] = {{codedFramesMovie(), false, 31}, {codedFramesTransportStream(), true, 30}};
    const double inMark = 1.01;
    const double outMark = 2.5;
    const std::string folder = freshFolder("flow-save");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        Program p;
        ASSERT_TRUE(p.open(c.source));
        ASSERT_EQ(p.model->status(), "Ready.");
        EXPECT_NEAR(p.model->duration(), 3.0, 0.04);
        EXPECT_EQ(p.model->hasAudio(), c.sound);

        p.dragOut(outMark);
        p.dragIn(inMark);
        ASSERT_TRUE(waitUntil([&] { return p.shownFrame() == c.inFrame; }, 10))
            << "shows " << p.shownFrame();
        EXPECT_NEAR(p.model->playhead(), inMark, 1 / kCodedRate);

        const std::string out =
            folder + "/" + std::filesystem::path(c.source).stem().string() + ".mp4";
        p.panels.saveReplies.push_back(out);
        p.model->pickSave();
        ASSERT_TRUE(p.model->busy());
        ASSERT_TRUE(waitUntil([&] { return !p.model->busy(); }, 60));
        ASSERT_EQ(p.model->status(), "Saved.");
        EXPECT_EQ(p.model->progress(), 1.0);

        const Rgb first = pixelAt(out, 0, 80, 60);
        EXPECT_EQ(frameIndexOf(QColor(first.r, first.g, first.b)), c.inFrame);
        const std::vector<double> times = pictureTimes(c.source);
        const double end = *std::min_element(times.begin(), times.end(), [&](double a, double b) {
            return std::abs(a - outMark) < std::abs(b - outMark);
        });
        ASSERT_LE(std::abs(end - outMark), 0.5 / kCodedRate);
        EXPECT_EQ(countFrames(out), std::count_if(times.begin(), times.end(), [&](double t) {
                      return t >= inMark && t < end;
                  }));
    }
}

TEST(ProgramFlow, PlayingTheCutPausesAtTheOutMark) {
    Program p;
    ASSERT_TRUE(p.open(codedFramesMovie()));
    p.dragIn(0.5);
    p.dragOut(1.2);
    p.model->togglePlay();
    EXPECT_TRUE(p.model->playing());
    ASSERT_TRUE(waitUntil([&] { return !p.model->playing(); }, 10));
    EXPECT_NEAR(p.model->player().currentTime(), 1.2, 1.0 / 30 + 0.01);
    EXPECT_EQ(p.model->status(), "Ready.");
}

TEST(ProgramFlow, UnusableFilesAreRefusedInWords) {
    const std::string folder = freshFolder("flow-refuse");
    writeFile(folder + "/noise.mp4", std::string(20000, '\x5a'));
    const struct {
        std::string path;
        const char* status;
    } cases[] = {
        {makeMovie("flow-sound.m4a", "-f lavfi -i sine=duration=2 -c:a aac"),
         "That file has no picture."},
        {folder + "/noise.mp4", "That movie could not be read."},
    };
    Program p;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(p.open(c.path));
        EXPECT_EQ(p.model->status(), c.status);
        EXPECT_EQ(p.model->duration(), 0);
        EXPECT_FALSE(p.model->sourceURL().has_value());
    }
}

TEST(ProgramFlow, AnHdrClipPausedInThePreviewHasTheColoursOfItsSavedCut) {
    // SMPTE bars mastered into BT.2020 HLG and PQ, as phones record them. The preview
    // tone-maps the picture at the size it shows; the save at the cut's own size.
    const std::string folder = freshFolder("flow-hdr");
    for (const char* transfer : {"arib-std-b67", "smpte2084"}) {
        SCOPED_TRACE(transfer);
        Program p;
        ASSERT_TRUE(p.open(hdrBarsMovie(transfer)));
        ASSERT_EQ(p.model->status(), "Ready.");
        p.dragOut(0.8);
        p.dragIn(0.4);

        const std::string out = folder + "/" + transfer + ".mp4";
        p.panels.saveReplies.push_back(out);
        p.model->pickSave();
        ASSERT_TRUE(waitUntil([&] { return !p.model->busy(); }, 60));
        ASSERT_EQ(p.model->status(), "Saved.");

        // The seven bars of the top row, from grey to blue, in the cut and in the picture
        // letter-boxed into the view.
        std::vector<Rgb> saved;
        for (int bar = 0; bar < 7; ++bar)
            saved.push_back(pixelAt(out, 0, 1280 * (2 * bar + 1) / 14, 200));
        std::string shown;
        auto agree = [&] {
            const QImage picture = p.pane->view().picture();
            const int w = std::min(picture.width(), picture.height() * 16 / 9), h = w * 9 / 16;
            const int left = (picture.width() - w) / 2, top = (picture.height() - h) / 2;
            shown.clear();
            bool all = w >= 160;
            for (int bar = 0; bar < 7 && all; ++bar) {
                const QColor got =
                    picture.pixelColor(left + w * (2 * bar + 1) / 14, top + h * 200 / 720);
                const Rgb want = saved[static_cast<std::size_t>(bar)];
                shown += " [" + std::to_string(got.red()) + " " + std::to_string(got.green()) +
                         " " + std::to_string(got.blue()) + " / " + std::to_string(want.r) + " " +
                         std::to_string(want.g) + " " + std::to_string(want.b) + "]";
                all = std::abs(got.red() - want.r) <= 8 && std::abs(got.green() - want.g) <= 8 &&
                      std::abs(got.blue() - want.b) <= 8;
            }
            return all;
        };
        EXPECT_TRUE(waitUntil(agree, 10)) << "shown / saved:" << shown;
    }
}
