#include "base/condition.h"

namespace mivo::base {

bool Condition::waitUntil(Clock::time_point deadline) {
    // The caller holds mutex_ through lock(); adopt it for the wait and hand it back still held.
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    const bool woken = variable_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
}

}  // namespace mivo::base
