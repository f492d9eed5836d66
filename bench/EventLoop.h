#pragma once
// What the benchmarks that drive the player share: running the Qt event loop until a
// condition holds.
#include <QCoreApplication>
#include <QElapsedTimer>

namespace trimwell::bench {

// Runs the event loop in slices of sliceMs until done() holds or ms pass; returns done().
template <typename F> bool waitFor(F done, int ms, int sliceMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, sliceMs);
    }
    return true;
}

} // namespace trimwell::bench
