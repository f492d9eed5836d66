// Opens a movie in the real window, places the marks, and saves a picture of the window:
// trimwell-screenshot MOVIE OUT.png [IN OUT]. Run it on a display (Xvfb will do).
#include "model/TrimwellModel.h"
#include "window/TrimwellApp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPixmap>
#include <clocale>
#include <cstdio>
#include <cstdlib>

static void runFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: trimwell-screenshot MOVIE OUT.png [IN OUT]\n");
        return 2;
    }
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    trimwell::TrimwellApp scene;
    scene.show();
    trimwell::TrimwellModel& model = scene.model();
    model.open(argv[1]);
    QElapsedTimer timer;
    timer.start();
    while (model.status() != "Ready." && timer.elapsed() < 15000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (model.status() != "Ready.") {
        std::fprintf(stderr, "the movie did not open: %s\n", model.status().toUtf8().constData());
        return 1;
    }
    if (argc >= 5) {
        // As a user would: drag the in mark, then the out mark, and let go.
        model.beginInDrag();
        model.setInPoint(std::atof(argv[3]));
        model.inDragged();
        model.endInDrag();
        model.beginOutDrag();
        model.setOutPoint(std::atof(argv[4]));
        model.outDragged();
        model.endOutDrag();
        model.beginPlayheadDrag();
        model.setPlayhead(std::atof(argv[3]));
        model.playheadDragged();
        model.endPlayheadDrag();
    }
    runFor(3000); // the picture at the playhead arrives from the player, the strip from its readers
    if (!scene.window().grab().save(argv[2])) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
