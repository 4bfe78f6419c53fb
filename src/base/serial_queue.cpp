#include "base/serial_queue.h"

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace mivo::base {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
    startThread();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_one();
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        thread_.detach();  // destroyed by its own work: the loop ends once that work returns
    } else {
        thread_.join();
    }
}

bool SerialQueue::startThread() noexcept {
    std::lock_guard<std::mutex> guard(threadLock_);
    if (thread_.joinable()) return true;
    try {
        thread_ = std::thread([state = state_] { run(state); });
    } catch (...) {
        return false;
    }
    threadId_.store(thread_.get_id());
    // The kernel keeps at most 15 characters of a thread name.
    char name[16] = {};
    label_.copy(name, sizeof name - 1);
    pthread_setname_np(thread_.native_handle(), name);
    return true;
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    if (!hasThread() && !startThread()) {
        throw std::system_error(EAGAIN, std::generic_category(), "no thread for " + label_);
    }
    // The work may destroy this queue; the state it signals through must outlive that.
    const std::shared_ptr<State> state = state_;
    Item item{&work, false, nullptr};
    std::unique_lock<std::mutex> lock(state->mutex);
    state->items.push_back(&item);
    state->wake.notify_one();
    state->done.wait(lock, [&] { return item.done; });
    if (item.failure) std::rethrow_exception(item.failure);
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->closing || !state->items.empty(); });
        if (state->items.empty()) return;
        Item* item = state->items.front();
        state->items.pop_front();
        lock.unlock();
        try {
            (*item->work)();
        } catch (...) {
            item->failure = std::current_exception();
        }
        lock.lock();
        item->done = true;
        state->done.notify_all();
    }
}

}  // namespace mivo::base
