#include "capture/int16_ring_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace mivo::capture {

Int16RingBuffer::Int16RingBuffer(int64_t capacity)
    : capacity_(std::max<int64_t>(capacity, 1)), samples_(new int16_t[static_cast<size_t>(capacity_)]()) {}

void Int16RingBuffer::write(const int16_t* source, int64_t count) {
    if (count <= 0) return;
    base::ConditionLock hold(condition_);
    if (stopped_) return;

    // Of a write longer than the ring only the last `capacity_` samples survive; the ones before
    // would land and be overwritten in the same call, so just advance past their slots.
    int64_t skipped = 0;
    if (count > capacity_) {
        skipped = count - capacity_;
        writeIndex_ = (writeIndex_ + skipped) % capacity_;
        source += skipped;
        count = capacity_;
    }

    const int64_t first = std::min(count, capacity_ - writeIndex_);
    std::memcpy(samples_.get() + writeIndex_, source, static_cast<size_t>(first) * sizeof(int16_t));
    std::memcpy(samples_.get(), source + first, static_cast<size_t>(count - first) * sizeof(int16_t));
    writeIndex_ = (writeIndex_ + count) % capacity_;

    const int64_t total = available_ + skipped + count;
    if (total >= capacity_) {
        available_ = capacity_;
        readIndex_ = writeIndex_;  // the oldest unread sample is the one about to be overwritten next
    } else {
        available_ = total;
    }
    // Every waiting reader: one write may serve several, and each takes only its own share.
    condition_.broadcast();
}

int64_t Int16RingBuffer::read(int16_t* destination, int64_t count, int64_t timeoutMilliseconds) {
    if (count <= 0) return 0;
    base::ConditionLock hold(condition_);
    const auto deadline = base::Condition::Clock::now() +
                          std::chrono::duration_cast<base::Condition::Clock::duration>(
                              std::chrono::duration<double, std::milli>(std::max<int64_t>(timeoutMilliseconds, 0)));
    while (available_ < count && !stopped_) {
        if (timeoutMilliseconds == 0) return 0;
        if (!condition_.waitUntil(deadline)) return 0;
    }
    if (stopped_ && available_ == 0) return failed_ ? -2 : -1;

    const int64_t n = std::min(count, available_);
    const int64_t first = std::min(n, capacity_ - readIndex_);
    std::memcpy(destination, samples_.get() + readIndex_, static_cast<size_t>(first) * sizeof(int16_t));
    std::memcpy(destination + first, samples_.get(), static_cast<size_t>(n - first) * sizeof(int16_t));
    readIndex_ = (readIndex_ + n) % capacity_;
    available_ -= n;
    return n;
}

void Int16RingBuffer::reset() {
    base::ConditionLock hold(condition_);
    readIndex_ = 0;
    writeIndex_ = 0;
    available_ = 0;
    stopped_ = false;
    failed_ = false;
    condition_.broadcast();
}

void Int16RingBuffer::endStream(bool failed) noexcept {
    base::ConditionLock hold(condition_);
    stopped_ = true;
    failed_ = failed;
    condition_.broadcast();
}

}  // namespace mivo::capture
