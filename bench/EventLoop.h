#pragma once
// What the benchmarks that drive the player share: running the Qt event loop until a
// condition holds.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace trimwell::bench {

// Runs the event loop until done() holds or ms pass, checking every sliceMs; returns done().
// The loop sleeps between checks as the program's own does, so the benchmark's waiting costs
// no CPU time of its own.
template <typename F> bool waitFor(F done, int ms, int sliceMs) {
    if (done())
        return true;
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    check.setInterval(sliceMs);
    bool met = false;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        met = done();
        if (met || elapsed.elapsed() > ms)
            loop.quit();
    });
    check.start();
    loop.exec();
    return met;
}

} // namespace trimwell::bench
