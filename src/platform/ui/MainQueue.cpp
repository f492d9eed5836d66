#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace trimwell {

namespace {

// Lives on the main thread; a queued call of wake() by name is the wake-up. Qt makes and
// frees that call inside its own library, so nothing crosses threads in our code but the
// work, which passes through MainQueue's lock.
class Waker : public QObject {
    Q_OBJECT
  public:
    Q_INVOKABLE void wake() { mainQueue().runPending(); }
};

} // namespace

void MainQueue::post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QObject* waker = nullptr;
    {
        std::lock_guard guard(lock_);
        pending_.push_back(std::move(fn));
        if (!waker_) {
            // Never destroyed, as the queue itself; made by whichever thread posts first.
            auto* made = new Waker;
            made->moveToThread(app->thread());
            waker_ = made;
        }
        waker = waker_;
    }
    QMetaObject::invokeMethod(waker, "wake", Qt::QueuedConnection);
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

#include "MainQueue.moc"
