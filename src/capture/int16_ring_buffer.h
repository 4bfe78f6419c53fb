#pragma once

#include <cstdint>
#include <memory>

#include "base/condition.h"

namespace mivo::capture {

// Fixed-capacity ring of captured samples: the writer never waits and overwrites the oldest
// unread samples when full; readers wait, up to a deadline, for all they asked for.
class Int16RingBuffer {
public:
    explicit Int16RingBuffer(int64_t capacity);
    Int16RingBuffer(const Int16RingBuffer&) = delete;
    Int16RingBuffer& operator=(const Int16RingBuffer&) = delete;

    // Real-time safe: allocates nothing, holds the lock only for the copy, wakes the readers once.
    void write(const int16_t* source, int64_t count);
    // `count` samples, or fewer only once the stream has ended; 0 on timeout or count <= 0;
    // -1 / -2 at the end of a stream that was stopped / that failed, once nothing is left.
    int64_t read(int16_t* destination, int64_t count, int64_t timeoutMilliseconds);
    void reset();
    void endStream(bool failed) noexcept;

    int64_t capacity() const { return capacity_; }

private:
    base::Condition condition_;
    const int64_t capacity_;
    std::unique_ptr<int16_t[]> samples_;
    int64_t readIndex_ = 0;
    int64_t writeIndex_ = 0;
    int64_t available_ = 0;
    bool stopped_ = false;
    bool failed_ = false;
};

}  // namespace mivo::capture
