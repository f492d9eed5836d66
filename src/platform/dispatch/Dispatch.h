#pragma once
// Serial queues, one global queue and groups: the small dispatch toolkit that the
// export and the sample maker run their pumps on. No busy-waiting anywhere; every
// thread is joined before its queue goes away.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace trimwell {

using Task = std::function<void()>;

class Queue {
public:
    virtual ~Queue() = default;
    // Runs task later on this queue; callable from any thread.
    virtual void async(Task task) = 0;
};

// Runs its tasks one at a time, in order, on one thread of its own.
// The destructor runs what was queued, then joins the thread. A queue destroyed from its
// own thread (its last owner released inside one of its tasks) lets the thread finish alone.
class SerialQueue : public Queue, public std::enable_shared_from_this<SerialQueue> {
public:
    static std::shared_ptr<SerialQueue> make(std::string label);
    ~SerialQueue() override;
    void async(Task task) override;
    const std::string& label() const { return label_; }

private:
    explicit SerialQueue(std::string label);
    struct State;
    static void run(std::shared_ptr<State> state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// A process-wide pool of worker threads; tasks may run concurrently.
Queue& globalQueue();

// Counts running pieces of work; notify runs its task once the count reaches zero.
class DispatchGroup {
public:
    void enter();
    void leave();
    // Runs task on queue once the group is empty (at once if it already is). One notification.
    void notify(Queue& queue, Task task);

private:
    std::mutex lock_;
    int count_{0};          // guarded by lock_
    Queue* queue_{nullptr}; // guarded by lock_
    Task task_;             // guarded by lock_
};

} // namespace trimwell
