#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace trimwell {

void MainQueue::post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    {
        std::lock_guard guard(lock_);
        pending_.push_back(std::move(fn));
    }
    // Nothing rides in Qt's event itself: the call carries no state across threads.
    QMetaObject::invokeMethod(
        app, [] { mainQueue().runPending(); }, Qt::QueuedConnection);
}

void MainQueue::runPending() {
    // What was posted by now, in order; work posted while it runs waits for its own event,
    // so work that posts work never holds up the rest of the event loop.
    std::deque<std::function<void()>> due;
    {
        std::lock_guard guard(lock_);
        due.swap(pending_);
    }
    for (auto& fn : due) {
        fn();
        fn = nullptr; // what it holds goes as soon as it has run
    }
}

MainQueue& mainQueue() {
    // Never destroyed: a reading thread that outlives main() may still post, and must find
    // the queue's lock intact (it then sees no application and drops the work).
    static MainQueue* const queue = new MainQueue;
    return *queue;
}

} // namespace trimwell
