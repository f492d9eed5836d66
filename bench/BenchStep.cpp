// The preview in the real window, as a user drives it:
//   trimwell-bench-step step MOVIE [STEPS]   median ms from a Right key, and from a Left
//                                            key, on the playhead slider to the new
//                                            picture drawn in the preview
//   trimwell-bench-step play MOVIE SECONDS   while the movie plays: the process's CPU use
//                                            in cores, and per second the pictures the
//                                            preview drew, those libmpv's output dropped
//                                            and those its decoder skipped
//   trimwell-bench-step back MOVIE SECONDS [PRESSES]
//                                            while J (pressed PRESSES times: 1x, 2x, 4x,
//                                            8x) plays it backward from its end: per second
//                                            the pictures the preview drew and the seconds
//                                            of movie the playhead went back
// Run it on a display (a virtual one will do); it prints one line.
#include "EventLoop.h"
#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"
#include "platform/player/PlayerView.h"
#include "window/PreviewPane.h"
#include "window/SecondsSlider.h"
#include "window/TrimwellApp.h"
#include "window/TrimwellWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Event-loop slices of 1 ms.
template <typename F> bool waitFor(F done, int ms) {
    return trimwell::bench::waitFor(done, ms, 1);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double cpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Presses key on the slider and returns the ms until the preview shows another picture,
// or -1 when none came.
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: trimwell-bench-step step|play|back MOVIE [STEPS|SECONDS] [PRESSES]\n");
        return 2;
    }
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const std::string mode = argv[1];
    trimwell::TrimwellApp scene;
    scene.show();
    trimwell::TrimwellModel& model = scene.model();
    model.open(argv[2]);
    if (!waitFor([&] { return model.status() == "Ready."; }, 30000)) {
        std::fprintf(stderr, "the movie did not open: %s\n", model.status().toUtf8().constData());
        return 1;
    }
    auto* pane = scene.content().findChild<trimwell::PreviewPane*>(QStringLiteral("preview"));
    const trimwell::PlayerView& view = pane->view();
    waitFor([&] { return false; }, 1000); // the first picture and the window settle

    if (mode == "back") {
        const double seconds = argc > 3 ? std::atof(argv[3]) : 10;
        const int presses = argc > 4 ? std::atoi(argv[4]) : 1;
        model.goToEnd();
        waitFor([&] { return false; }, 1000);
        for (int i = 0; i < presses; ++i)
            model.shuttleBackward();
        waitFor([&] { return false; }, 1000); // past the start-up
        const std::uint64_t drawn0 = view.picturesDrawn();
        const double from = model.playhead();
        QElapsedTimer wall;
        wall.start();
        waitFor([&] { return false; }, static_cast<int>(seconds * 1000));
        const double elapsed = wall.nsecsElapsed() / 1e9;
        std::printf("back shown_per_s %.1f went_back_s_per_s %.2f\n",
                    (view.picturesDrawn() - drawn0) / elapsed, (from - model.playhead()) / elapsed);
        return 0;
    }

    if (mode == "play") {
        const double seconds = argc > 3 ? std::atof(argv[3]) : 10;
        model.togglePlay();
        waitFor([&] { return false; }, 1000); // past the start-up
        auto* player = dynamic_cast<trimwell::MpvPlayer*>(&model.player());
        if (!player) {
            std::fprintf(stderr, "the scene's player is not libmpv's\n");
            return 1;
        }
        const double cpu0 = cpuSeconds();
        const std::uint64_t drawn0 = view.picturesDrawn();
        const auto dropped0 = player->droppedPictures();
        QElapsedTimer wall;
        wall.start();
        waitFor([&] { return false; }, static_cast<int>(seconds * 1000));
        const double elapsed = wall.nsecsElapsed() / 1e9;
        const double cores = (cpuSeconds() - cpu0) / elapsed;
        const auto dropped = player->droppedPictures();
        std::printf("play cores %.2f shown_per_s %.1f dropped_per_s %.1f decoder_dropped_per_s "
                    "%.1f\n",
                    cores, (view.picturesDrawn() - drawn0) / elapsed,
                    (dropped.output - dropped0.output) / elapsed,
                    (dropped.decoder - dropped0.decoder) / elapsed);
        return 0;
    }

    const int steps = argc > 3 ? std::atoi(argv[3]) : 30;
    auto* slider = scene.content().findChild<trimwell::SecondsSlider*>(QStringLiteral("playhead"));
    slider->setFocus();
    // Start past the first key frame, so backward steps cross key frames as in a real movie.
    QKeyEvent page(QEvent::KeyPress, Qt::Key_PageUp, Qt::NoModifier);
    for (int i = 0; i < 3; ++i)
        QCoreApplication::sendEvent(slider, &page);
    waitFor([&] { return false; }, 1500);
    std::vector<double> forward, back;
    for (int i = 0; i < steps; ++i) {
        const double ms = stepMs(*slider, view, Qt::Key_Right);
        if (ms >= 0)
            forward.push_back(ms);
    }
    for (int i = 0; i < steps; ++i) {
        const double ms = stepMs(*slider, view, Qt::Key_Left);
        if (ms >= 0)
            back.push_back(ms);
    }
    std::printf("step forward_ms %.1f back_ms %.1f drawn %zu/%d %zu/%d\n", median(forward),
                median(back), forward.size(), steps, back.size(), steps);
    return forward.size() == static_cast<size_t>(steps) && back.size() == static_cast<size_t>(steps)
               ? 0
               : 1;
}
