#pragma once

// Blocks the platform calls on a test's thread are tracked, so that teardown on another thread
// waits them out as the real platform does.

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace mivo::testing {

// Counts the calls of one block that are in progress and on which threads, so that teardown can
// wait for other threads' calls to return without waiting for its own.
class InFlight {
public:
    void enter() { threads_.push_back(std::this_thread::get_id()); }
    void leave();
    bool onlyThisThread() const;

private:
    std::vector<std::thread::id> threads_;
};

namespace detail {

// Runs one call of a tracked block with the lock released, so that teardown on another thread can
// wait for it; the lock is held again on return, also if the block throws.
template <typename Call>
void callTracked(std::unique_lock<std::mutex>& lock, InFlight& inFlight, std::condition_variable& returned,
                 Call&& call) {
    inFlight.enter();
    lock.unlock();
    struct Leave {
        std::unique_lock<std::mutex>& lock;
        InFlight& inFlight;
        std::condition_variable& returned;
        ~Leave() {
            lock.lock();
            inFlight.leave();
            returned.notify_all();
        }
    } leave{lock, inFlight, returned};
    call();
}

}  // namespace detail

}  // namespace mivo::testing
