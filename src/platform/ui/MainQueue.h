#pragma once
// "Schedule on the main thread": the one way background work reaches the edit model.
#include <functional>

namespace trimwell {

class MainQueue {
public:
    // Runs fn later on the Qt application's thread, from the event loop. Callable from any
    // thread. Without a running application object the call is dropped.
    void post(std::function<void()> fn);
};

MainQueue& mainQueue();

} // namespace trimwell
