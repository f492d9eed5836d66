// The real window while its timeline strip reads the movie just opened, against the same
// window with View > Timeline pictures off:
//   trimwell-bench-timeline-step step MOVIE STEPS [--off] [--cold]
//       from the first picture on, STEPS Right keys then STEPS Left keys on the playhead
//       slider, each timed to the new picture drawn in the preview
//   trimwell-bench-timeline-step play MOVIE SECONDS [--off] [--cold]
//       plays from the first picture on: per second the pictures the preview drew, those
//       libmpv's output dropped and those its decoder skipped
// --cold drops the movie from the page cache before opening it, as after a copy or a reboot.
// Prints "name value" lines: the steps in order (steps_ms), how many of the first ones were
// taken while the strip's pictures or waveform were still being made (working_steps), when
// the movie was ready and the strip's first picture, whole row and whole waveform arrived
// after it was opened, and the growth of the process's peak memory over the open. Run it on a
// display (a virtual one will do).
#include "EventLoop.h"
#include "Process.h"
#include "model/TimelineModel.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"
#include "window/PreviewPane.h"
#include "window/SecondsSlider.h"
#include "window/TrimwellApp.h"
#include "window/TrimwellWindow.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

template <typename F> bool waitFor(F done, int ms) {
    return trimwell::bench::waitFor(done, ms, 1);
}

using trimwell::bench::dropFromCache;
using trimwell::bench::statusKb;

double stepMs(QWidget& slider, const trimwell::PlayerView& view, Qt::Key key) {
    const QImage before = view.picture();
    QElapsedTimer timer;
    timer.start();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&slider, &press);
    QCoreApplication::sendEvent(&slider, &release);
    if (!waitFor([&] { return view.picture() != before; }, 5000))
        return -1;
    return timer.nsecsElapsed() / 1e6;
}

// When the strip's pieces arrived, in ms after the movie was opened; -1 for not yet.
struct Arrivals {
    double firstPicture{-1};
    double row{-1};
    double waveform{-1};
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: trimwell-bench-timeline-step step|play MOVIE STEPS|SECONDS "
                             "[--off] [--cold]\n");
        return 2;
    }
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const std::string mode = argv[1];
    const std::string movie = argv[2];
    const double amount = std::atof(argv[3]);
    bool off = false, cold = false;
    for (int i = 4; i < argc; ++i) {
        off = off || !std::strcmp(argv[i], "--off");
        cold = cold || !std::strcmp(argv[i], "--cold");
    }

    trimwell::TrimwellApp scene;
    if (off)
        scene.timelinePicturesAction().setChecked(false);
    scene.show();
    trimwell::TrimwellModel& model = scene.model();
    const trimwell::TimelineModel& timeline = model.timeline();
    auto* pane = scene.content().findChild<trimwell::PreviewPane*>(QStringLiteral("preview"));
    const trimwell::PlayerView& view = pane->view();
    if (cold)
        dropFromCache(movie);
    waitFor([&] { return false; }, 300); // the window settles
    const long baseKb = statusKb("VmRSS");

    QElapsedTimer sinceOpen;
    sinceOpen.start();
    model.open(movie);
    if (!waitFor([&] { return model.status() == "Ready."; }, 30000)) {
        std::fprintf(stderr, "the movie did not open: %s\n", model.status().toUtf8().constData());
        return 1;
    }
    const double readyMs = sinceOpen.nsecsElapsed() / 1e6;
    Arrivals arrivals;
    // The strip's work is under way while wanted pictures are pending or the sound is read.
    auto working = [&] {
        if (off || !timeline.enabled())
            return false;
        const double now = sinceOpen.nsecsElapsed() / 1e6;
        if (arrivals.firstPicture < 0 && !timeline.pictures().empty())
            arrivals.firstPicture = now;
        const bool rowDone = timeline.hasPictures().has_value() && timeline.pending().empty();
        if (arrivals.row < 0 && rowDone)
            arrivals.row = now;
        if (arrivals.waveform < 0 && timeline.peaksDone())
            arrivals.waveform = now;
        return !rowDone || !timeline.peaksDone();
    };
    QObject::connect(&timeline, &trimwell::TimelineModel::picturesChanged, &app,
                     [&] { working(); });
    QObject::connect(&timeline, &trimwell::TimelineModel::peaksChanged, &app, [&] { working(); });
    if (!waitFor([&] { return !view.picture().isNull(); }, 10000)) {
        std::fprintf(stderr, "no first picture\n");
        return 1;
    }

    int exitCode = 0;
    if (mode == "play") {
        model.togglePlay();
        waitFor([&] { return false; }, 500); // past the start-up
        auto* player = dynamic_cast<trimwell::MpvPlayer*>(&model.player());
        if (!player) {
            std::fprintf(stderr, "the scene's player is not libmpv's\n");
            return 1;
        }
        const std::uint64_t drawn0 = view.picturesDrawn();
        const auto dropped0 = player->droppedPictures();
        int samples = 0, busy = 0;
        QElapsedTimer wall;
        wall.start();
        while (wall.elapsed() < amount * 1000) {
            waitFor([&] { return false; }, 50);
            ++samples;
            busy += working() ? 1 : 0;
        }
        const double elapsed = wall.nsecsElapsed() / 1e9;
        const auto dropped = player->droppedPictures();
        std::printf("shown_per_s %.1f\ndropped_per_s %.1f\ndecoder_dropped_per_s %.1f\n"
                    "working_share %.2f\n",
                    (view.picturesDrawn() - drawn0) / elapsed,
                    (dropped.output - dropped0.output) / elapsed,
                    (dropped.decoder - dropped0.decoder) / elapsed,
                    samples ? static_cast<double>(busy) / samples : 0.0);
    } else {
        const int steps = static_cast<int>(amount);
        auto* slider =
            scene.content().findChild<trimwell::SecondsSlider*>(QStringLiteral("playhead"));
        slider->setFocus();
        // Past the first key frame, so backward steps cross key frames as in a real movie.
        QKeyEvent page(QEvent::KeyPress, Qt::Key_PageUp, Qt::NoModifier);
        for (int i = 0; i < 3; ++i) {
            const QImage before = view.picture();
            QCoreApplication::sendEvent(slider, &page);
            waitFor([&] { return view.picture() != before; }, 3000);
        }
        std::vector<double> taken;
        int workingSteps = 0;
        bool stillWorking = true;
        for (const Qt::Key key : {Qt::Key_Right, Qt::Key_Left}) {
            for (int i = 0; i < steps; ++i) {
                stillWorking = stillWorking && working();
                workingSteps += stillWorking ? 1 : 0;
                taken.push_back(stepMs(*slider, view, key));
                exitCode = taken.back() < 0 ? 1 : exitCode;
            }
        }
        std::printf("steps_ms");
        for (std::size_t i = 0; i < taken.size(); ++i)
            std::printf("%s%.1f", i ? "," : " ", taken[i]);
        std::printf("\nworking_steps %d\n", workingSteps);
    }
    // The rest of the strip's work, for when its pieces arrived.
    waitFor([&] { return !working(); }, 60000);
    std::printf("ready_ms %.0f\n", readyMs);
    std::printf("first_picture_ms %.0f\nrow_ms %.0f\nwaveform_ms %.0f\npeak_rss_growth_mb %.1f\n",
                arrivals.firstPicture, arrivals.row, arrivals.waveform,
                (statusKb("VmHWM") - baseKb) / 1024.0);
    return exitCode;
}
