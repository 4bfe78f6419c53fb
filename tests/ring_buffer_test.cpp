// The ring's contract one call at a time, against a per-sample model; blocked readers and
// concurrent threads are in ring_buffer_threads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "capture/int16_ring_buffer.h"
#include "ring_buffer_test_support.h"

namespace mivo::capture {
namespace {

using namespace ring_test;

// The ring's contract, one sample at a time.
class ReferenceRing {
public:
    explicit ReferenceRing(int64_t capacity) : capacity_(capacity) {}

    void write(const std::vector<int16_t>& samples) {
        if (stopped_) return;
        for (int16_t s : samples) {
            unread_.push_back(s);
            if (static_cast<int64_t>(unread_.size()) > capacity_) unread_.pop_front();
        }
    }
    // A read with timeout 0.
    int64_t read(int64_t count, std::vector<int16_t>& out) {
        out.clear();
        if (count <= 0) return 0;
        const auto available = static_cast<int64_t>(unread_.size());
        if (!stopped_ && available < count) return 0;
        if (stopped_ && available == 0) return failed_ ? -2 : -1;
        const int64_t n = std::min(count, available);
        out.assign(unread_.begin(), unread_.begin() + n);
        unread_.erase(unread_.begin(), unread_.begin() + n);
        return n;
    }
    void reset() {
        unread_.clear();
        stopped_ = failed_ = false;
    }
    void endStream(bool failed) {
        stopped_ = true;
        failed_ = failed;
    }

private:
    int64_t capacity_;
    std::deque<int16_t> unread_;
    bool stopped_ = false;
    bool failed_ = false;
};

TEST(RingBufferModel, RandomWritesAndReadsMatchThePerSampleReference) {
    for (const int64_t capacity : {1, 2, 7, 64, 1000, 80000}) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE("capacity " + std::to_string(capacity) + " seed " + std::to_string(seed));
            std::mt19937 random(seed * 7919 + static_cast<uint32_t>(capacity));
            Int16RingBuffer ring(capacity);
            ReferenceRing model(capacity);
            std::uniform_int_distribution<int64_t> size(0, capacity * 5 / 2 + 2);
            std::uniform_int_distribution<int> action(0, 99);
            int64_t next = 0;
            const int steps = capacity >= 80000 ? 150 : 1500;
            for (int step = 0; step < steps; ++step) {
                const int what = action(random);
                if (what < 50) {
                    const auto samples = sequence(next, size(random));
                    next += static_cast<int64_t>(samples.size());
                    write(ring, samples);
                    model.write(samples);
                } else if (what < 96) {
                    const int64_t count = size(random) / 2 + 1;
                    std::vector<int16_t> expected;
                    const int64_t expectedResult = model.read(count, expected);
                    const ReadResult actual = read(ring, count, 0);
                    ASSERT_EQ(actual.result, expectedResult) << "step " << step << " count " << count;
                    ASSERT_EQ(actual.samples, expected) << "step " << step;
                    ASSERT_TRUE(actual.untouchedBeyondResult) << "step " << step;
                } else if (what < 98) {
                    const bool failed = what == 96;
                    ring.endStream(failed);
                    model.endStream(failed);
                } else {
                    ring.reset();
                    model.reset();
                }
            }
        }
    }
}

TEST(RingBufferOverwrite, OneSampleTooManyDropsTheOldestWhetherWrittenAtOnceOrInPieces) {
    const auto samples = sequence(1, 80001);  // samples 1 to 80001
    {
        Int16RingBuffer ring(80000);
        write(ring, samples);
        const ReadResult all = read(ring, 80000, 0);
        ASSERT_EQ(all.result, 80000);
        EXPECT_EQ(all.samples, sequence(2, 80000));
        EXPECT_EQ(read(ring, 1, 0).result, 0) << "nothing may be left";
    }
    {
        Int16RingBuffer ring(80000);
        for (size_t at = 0; at < samples.size(); at += 997) {
            const size_t n = std::min<size_t>(997, samples.size() - at);
            ring.write(samples.data() + at, static_cast<int64_t>(n));
        }
        const ReadResult all = read(ring, 80000, 0);
        ASSERT_EQ(all.result, 80000);
        EXPECT_EQ(all.samples, sequence(2, 80000));
    }
}

TEST(RingBufferOpen, ReadsAreAllOrNothingAndReturnAtTheirDeadline) {
    Int16RingBuffer ring(80000);
    write(ring, sequence(0, 100));

    const auto started = Clock::now();
    const ReadResult short100 = read(ring, 160, 100);
    const auto waited = Clock::now() - started;
    EXPECT_EQ(short100.result, 0);
    EXPECT_TRUE(short100.untouchedBeyondResult);
    EXPECT_GE(waited, 95ms) << "a read that cannot be served waits for its timeout";
    EXPECT_LT(waited, promptly);

    write(ring, sequence(100, 60));
    const ReadResult full = read(ring, 160, 0);
    ASSERT_EQ(full.result, 160);
    EXPECT_EQ(full.samples, sequence(0, 160)) << "the 100 samples stayed, oldest first";

    // More than the capacity can never be served while open.
    Int16RingBuffer small(10);
    write(small, sequence(0, 10));
    EXPECT_EQ(read(small, 11, 20).result, 0);
    EXPECT_EQ(read(small, 10, 0).samples, sequence(0, 10));
}

TEST(RingBufferOpen, NonPositiveCountsAndTimeoutsNeverWait) {
    Int16RingBuffer ring(16);
    for (const int64_t count : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
        EXPECT_EQ(read(ring, count, longTimeoutMs).result, 0);
    }
    // Timeout 0 and negative timeouts return 0 at once when the ring cannot serve the read...
    for (const int64_t timeout : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
        auto pending = readAsync(ring, 4, timeout);
        ASSERT_EQ(pending.wait_for(promptly), std::future_status::ready) << "timeout " << timeout;
        EXPECT_EQ(pending.get().result, 0);
    }
    // ...and serve it when they can.
    write(ring, sequence(0, 8));
    EXPECT_EQ(read(ring, 4, 0).samples, sequence(0, 4));
    EXPECT_EQ(read(ring, 4, -1).samples, sequence(4, 4));

    // A count of 0 is answered 0 even on an ended, empty ring.
    ring.endStream(true);
    EXPECT_EQ(read(ring, 0, 0).result, 0);
    EXPECT_EQ(read(ring, 1, 0).result, -2);
}

TEST(RingBufferEnd, DrainsWhatIsLeftThenReportsTheEndAtOnceWhateverTheTimeout) {
    Int16RingBuffer ring(80000);
    write(ring, sequence(0, 100));
    ring.endStream(false);
    write(ring, sequence(100, 50));  // dropped: the stream has ended

    const ReadResult rest = read(ring, 160, longTimeoutMs);
    ASSERT_EQ(rest.result, 100);
    EXPECT_EQ(rest.samples, sequence(0, 100));
    EXPECT_TRUE(rest.untouchedBeyondResult);

    auto end = readAsync(ring, 160, longTimeoutMs);
    ASSERT_EQ(end.wait_for(promptly), std::future_status::ready);
    const ReadResult endResult = end.get();
    EXPECT_EQ(endResult.result, -1);
    EXPECT_TRUE(endResult.untouchedBeyondResult);

    // Drained in pieces of the asked size, the last one short.
    Int16RingBuffer pieces(64);
    write(pieces, sequence(0, 50));
    pieces.endStream(true);
    EXPECT_EQ(read(pieces, 20, 0).samples, sequence(0, 20));
    EXPECT_EQ(read(pieces, 20, 0).samples, sequence(20, 20));
    // A huge request copies only what is left: the destination needs room for no more.
    std::vector<int16_t> last(16, sentinel);
    ASSERT_EQ(pieces.read(last.data(), std::numeric_limits<int64_t>::max(), 0), 10);
    EXPECT_EQ(std::vector<int16_t>(last.begin(), last.begin() + 10), sequence(40, 10));
    EXPECT_EQ(last[10], sentinel);
    EXPECT_EQ(read(pieces, 20, 0).result, -2);
}

TEST(RingBufferEnd, TheLastEndDecidesTheCodeAndResetReopens) {
    Int16RingBuffer ring(32);
    ring.endStream(true);
    EXPECT_EQ(read(ring, 1, 0).result, -2);
    ring.endStream(false);
    EXPECT_EQ(read(ring, 1, 0).result, -1);
    ring.endStream(true);
    EXPECT_EQ(read(ring, 1, 0).result, -2);

    ring.reset();
    EXPECT_EQ(read(ring, 1, 0).result, 0) << "open again: a read that cannot be served times out";
    write(ring, sequence(7, 3));
    EXPECT_EQ(read(ring, 3, 0).samples, sequence(7, 3));
}

TEST(RingBufferReset, ReadsNeverReturnSamplesWrittenBeforeTheReset) {
    for (const int64_t before : {int64_t{5}, int64_t{31}, int64_t{32}, int64_t{70}}) {
        SCOPED_TRACE("written before reset: " + std::to_string(before));
        Int16RingBuffer ring(32);
        write(ring, sequence(1000, 10));
        EXPECT_EQ(read(ring, 10, 0).result, 10);  // move the indices off 0
        write(ring, sequence(0, before));
        ring.reset();
        EXPECT_EQ(read(ring, 1, 0).result, 0);
        write(ring, sequence(5000, 20));
        EXPECT_EQ(read(ring, 32, 0).result, 0) << "only 20 new samples exist";
        EXPECT_EQ(read(ring, 20, 0).samples, sequence(5000, 20));
    }
}

}  // namespace
}  // namespace mivo::capture
