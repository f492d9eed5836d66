#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Trimwell");
    window.resize(880, 740);
    window.show();
    return app.exec();
}
