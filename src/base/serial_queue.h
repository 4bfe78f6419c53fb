#pragma once

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
    explicit SerialQueue(std::string label);
    // Finishes the work already submitted, then ends the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Runs `work` on the queue and returns once it has run. Called from the queue's own thread,
    // it runs the work in place rather than wait for itself. What the work throws is rethrown here.
    void sync(const std::function<void()>& work);

    bool isCurrent() const { return std::this_thread::get_id() == threadId_; }
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
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace mivo::base
