#pragma once
// What the model tests share: a model wired to a scripted player and scripted panels, a
// bounded wait that runs the main thread's posted work and timers, and the generated movies.
#include "FakePanels.h"
#include "FakePlayer.h"
#include "ModelInternals.h"
#include "model/TrimwellModel.h"
#include "support/TestMovies.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace trimwell::testing {

// Runs the event loop until done() holds or timeoutMs passed; returns done().
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs the event loop for about ms, for checks that something does not happen.
inline void runFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct Rig {
    FakePanels panels;
    FakePlayer* player{nullptr}; // owned by the model
    std::unique_ptr<TrimwellModel> model;

    Rig() {
        auto owned = std::make_unique<FakePlayer>();
        player = owned.get();
        model = std::make_unique<TrimwellModel>(std::move(owned), &panels);
    }

    // Opens path and waits for the read to end; returns the status it ended with.
    QString open(const std::string& path) {
        model->open(path);
        waitUntil([&] { return model->status() != "Reading the movie."; });
        return model->status();
    }
};

// A 10 s movie with sound, small so that it is quick to make and to read.
inline std::string tenSecondMovie() {
    return makeMovie("model-10s.mp4",
                     "-f lavfi -i testsrc2=size=160x120:rate=30:duration=10 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 "
                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest");
}

// A movie with picture and no sound, of the given length at 100 frames a second.
inline std::string silentMovie(const std::string& name, double seconds) {
    return makeMovie(
        name, "-f lavfi -i testsrc2=size=160x120:rate=100:duration=" + std::to_string(seconds) +
                  " -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
}

} // namespace trimwell::testing
