#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

namespace trimwell {

namespace {

// Lives on the main thread and runs what was posted; a queued call of wake() by name is
// the wake-up. It is made while the application object is being made, before any thread
// that posts exists, and Qt makes and frees the queued call inside its own library, so
// the only thing our code hands across threads is the work, through MainQueue's lock.
class Waker : public QObject {
    Q_OBJECT
public:
    explicit Waker(QObject* app) : QObject(app) { mainQueue().attach(this); }
    ~Waker() override { mainQueue().attach(nullptr); }
    Q_INVOKABLE void wake() { mainQueue().runPending(); }
};

void makeWaker() {
    new Waker(QCoreApplication::instance()); // the application owns it
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(makeWaker)

void MainQueue::attach(QObject* waker) {
    std::lock_guard guard(lock_);
    waker_ = waker;
}

void MainQueue::post(std::function<void()> fn) {
    // Under the lock throughout: the waker goes with the application only once no post
    // is using it.
    std::lock_guard guard(lock_);
    if (!waker_)
        return;
    pending_.push_back(std::move(fn));
    QMetaObject::invokeMethod(waker_, "wake", Qt::QueuedConnection);
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
