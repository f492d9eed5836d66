#include "selftest/SelfTest.h"

#include <QApplication>
#include <QMainWindow>
#include <cstring>

int main(int argc, char** argv) {
    // The one switch, matched whole and case-sensitively anywhere on the command line.
    for (int i = 0; i < argc; ++i)
        if (std::strcmp(argv[i], "--self-test") == 0)
            return trimwell::SelfTest::runVerdict();

    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Trimwell");
    window.resize(880, 740);
    window.show();
    return app.exec();
}
