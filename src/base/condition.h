#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mivo::base {

// A mutex with one condition variable whose waits run against an absolute steady-clock deadline.
class Condition {
public:
    using Clock = std::chrono::steady_clock;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    // True when woken (or woken spuriously), false when the deadline passed. Call with the lock held.
    bool waitUntil(Clock::time_point deadline);
    void signal() { variable_.notify_one(); }
    void broadcast() { variable_.notify_all(); }

private:
    std::mutex mutex_;
    std::condition_variable_any variable_;
};

// Scoped lock for a Condition.
class ConditionLock {
public:
    explicit ConditionLock(Condition& condition) : condition_(condition) { condition_.lock(); }
    ~ConditionLock() { condition_.unlock(); }
    ConditionLock(const ConditionLock&) = delete;
    ConditionLock& operator=(const ConditionLock&) = delete;

private:
    Condition& condition_;
};

}  // namespace mivo::base
