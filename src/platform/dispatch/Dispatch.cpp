#include "Dispatch.h"

#include <pthread.h>
#include <system_error>

namespace trimwell {

namespace {

// Names the calling thread so that top, a debugger or a crash report says whose it is;
// the kernel keeps 15 bytes of it.
void nameThisThread(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace

struct SerialQueue::State {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Task> tasks; // guarded by lock
    bool closing{false};    // guarded by lock
};

std::shared_ptr<SerialQueue> SerialQueue::make(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, name = label_] {
        nameThisThread(name);
        run(state);
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard guard(state_->lock);
        state_->closing = true;
    }
    state_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void SerialQueue::async(Task task) {
    {
        std::lock_guard guard(state_->lock);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
}

void SerialQueue::run(std::shared_ptr<State> state) {
    for (;;) {
        Task task;
        {
            std::unique_lock guard(state->lock);
            state->wake.wait(guard, [&] { return state->closing || !state->tasks.empty(); });
            if (state->tasks.empty())
                return;
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        task();
    }
}

namespace {

class GlobalPool : public Queue {
public:
    // Short of threads (or of memory for their stacks), the pool runs with those it got;
    // with none it throws, and the next call tries again.
    GlobalPool() {
        const unsigned n = std::max(2u, std::thread::hardware_concurrency());
        threads_.reserve(n);
        for (unsigned i = 0; i < n; ++i) {
            try {
                threads_.emplace_back([this] {
                    nameThisThread("trimwell.pool");
                    work();
                });
            } catch (const std::system_error&) {
                if (threads_.empty())
                    throw;
                break;
            }
        }
    }
    ~GlobalPool() override {
        {
            std::lock_guard guard(lock_);
            closing_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_)
            t.join();
    }
    void async(Task task) override {
        {
            std::lock_guard guard(lock_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

private:
    void work() {
        for (;;) {
            Task task;
            {
                std::unique_lock guard(lock_);
                wake_.wait(guard, [&] { return closing_ || !tasks_.empty(); });
                if (tasks_.empty())
                    return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Task> tasks_; // guarded by lock_
    bool closing_{false};    // guarded by lock_
    std::vector<std::thread> threads_;
};

} // namespace

Queue& globalQueue() {
    static GlobalPool pool;
    return pool;
}

void DispatchGroup::enter() {
    std::lock_guard guard(lock_);
    ++count_;
}

void DispatchGroup::leave() {
    Queue* queue = nullptr;
    Task task;
    {
        std::lock_guard guard(lock_);
        if (--count_ > 0 || !queue_)
            return;
        queue = std::exchange(queue_, nullptr);
        task = std::move(task_);
    }
    queue->async(std::move(task));
}

void DispatchGroup::notify(Queue& queue, Task task) {
    {
        std::lock_guard guard(lock_);
        if (count_ > 0) {
            queue_ = &queue;
            task_ = std::move(task);
            return;
        }
    }
    queue.async(std::move(task));
}

} // namespace trimwell
