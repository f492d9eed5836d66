#pragma once
// "Schedule on the main thread": the one way background work reaches the edit model.
#include <deque>
#include <functional>
#include <mutex>

namespace trimwell {

class MainQueue {
  public:
    // Runs fn later on the Qt application's thread, from the event loop. Callable from any
    // thread. Without a running application object the call is dropped.
    void post(std::function<void()> fn);

  private:
    void runPending();

    // The work itself passes through this lock rather than inside Qt's event: everything the
    // posting thread did before post() is then ordered before fn runs by a lock that thread
    // checkers see (Qt's own event queue lock lives in an uninstrumented library).
    std::mutex lock_;
    std::deque<std::function<void()>> pending_; // guarded by lock_
};

MainQueue& mainQueue();

} // namespace trimwell
