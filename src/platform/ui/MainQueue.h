#pragma once
// "Schedule on the main thread": the one way background work reaches the edit model.
#include <deque>
#include <functional>
#include <mutex>

class QObject;

namespace trimwell {

class MainQueue {
public:
    // Runs fn later on the Qt application's thread, from the event loop. Callable from any
    // thread. Without a running application object the call is dropped.
    void post(std::function<void()> fn);

    // The main thread's object that runs the work, or null while there is no application.
    void attach(QObject* waker);
    void runPending();

private:
    // The work itself passes through this lock rather than inside Qt's event: everything the
    // posting thread did before post() is then ordered before fn runs by a lock that thread
    // checkers see (Qt's own event queue lock lives in an uninstrumented library).
    std::mutex lock_;
    std::deque<std::function<void()>> pending_; // guarded by lock_
    QObject* waker_{nullptr};                   // guarded by lock_
};

MainQueue& mainQueue();

} // namespace trimwell
