#include "platform/dispatch/Heaps.h"
#include "platform/media/PlatformError.h"
#include "selftest/SelfTest.h"
#include "window/TrimwellApp.h"

#include <QApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    trimwell::limitHeapsToCores();
    // Past a file size limit a write should fail (and the save clean up), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);

    // The one switch, matched whole and case-sensitively anywhere on the command line.
    for (int i = 0; i < argc; ++i)
        if (std::strcmp(argv[i], "--self-test") == 0)
            return trimwell::SelfTest::runVerdict();

    QApplication app(argc, argv);
    QApplication::setApplicationName("Trimwell");
    QApplication::setDesktopFileName("trimwell");
    // libmpv parses numbers the C way; Qt may have set the user's locale.
    std::setlocale(LC_NUMERIC, "C");
    try {
        trimwell::TrimwellApp scene;
        scene.show();
        // A file manager's "Open With" and a drop on the launcher name the movie here.
        scene.openArguments(QApplication::arguments());
        return app.exec();
    } catch (const trimwell::PlatformError& e) {
        std::fprintf(stderr, "Trimwell could not start its player: %s\n", e.description().c_str());
        return 1;
    }
}
