#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace mivo::base {

// A thread of its own that runs submitted work one piece at a time, in submission order.
class SerialQueue {
public:
    // Starts the thread; when the system has none to give, the queue exists without one and
    // startThread can try again later.
    explicit SerialQueue(std::string label);
    // Finishes the work already submitted, then ends the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // True when the thread runs (also when it was already running).
    bool startThread() noexcept;
    bool hasThread() const { return threadId_.load() != std::thread::id(); }

    // Runs `work` on the queue and returns once it has run. Called from the queue's own thread,
    // it runs the work in place rather than wait for itself. What the work throws is rethrown here;
    // std::system_error when there is no thread and none can be started.
    void sync(const std::function<void()>& work);

    bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }
    const std::string& label() const { return label_; }

private:
    struct Item {
        const std::function<void()>* work;
        bool done;
        std::exception_ptr failure;
    };
    // Outlives the queue object when the queue is destroyed by its own work.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable done;
        std::deque<Item*> items;
        bool closing = false;
    };

    static void run(const std::shared_ptr<State>& state);

    const std::string label_;
    std::shared_ptr<State> state_;
    std::mutex threadLock_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

}  // namespace mivo::base
