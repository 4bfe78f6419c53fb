#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "capture/int16_ring_buffer.h"

namespace mivo::capture {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bound for "returns at once / well before its deadline": far below the deadlines used,
// so a regression that waits for the deadline fails, while a slow machine does not.
constexpr auto promptly = 5s;
constexpr int64_t longTimeoutMs = 30000;
constexpr int16_t sentinel = -12345;

// Sample number i as stored: distinct for any 65536 consecutive numbers.
int16_t sampleOf(int64_t i) { return static_cast<int16_t>(static_cast<uint16_t>(i)); }

std::vector<int16_t> sequence(int64_t first, int64_t count) {
    std::vector<int16_t> samples(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) samples[static_cast<size_t>(i)] = sampleOf(first + i);
    return samples;
}

void write(Int16RingBuffer& ring, const std::vector<int16_t>& samples) {
    ring.write(samples.data(), static_cast<int64_t>(samples.size()));
}

// Reads with the given timeout; the samples copied, or the code with nothing copied.
struct ReadResult {
    int64_t result;
    std::vector<int16_t> samples;
    bool untouchedBeyondResult;
};

ReadResult read(Int16RingBuffer& ring, int64_t count, int64_t timeoutMs) {
    std::vector<int16_t> destination(static_cast<size_t>(std::max<int64_t>(count, 0)) + 1, sentinel);
    const int64_t result = ring.read(destination.data(), count, timeoutMs);
    const auto copied = static_cast<size_t>(std::max<int64_t>(result, 0));
    const bool untouched =
        std::all_of(destination.begin() + static_cast<ptrdiff_t>(copied), destination.end(),
                    [](int16_t s) { return s == sentinel; });
    return {result, std::vector<int16_t>(destination.begin(), destination.begin() + static_cast<ptrdiff_t>(copied)),
            untouched};
}

// Runs a read on another thread so that a read that never returns fails the test instead of hanging it.
std::future<ReadResult> readAsync(Int16RingBuffer& ring, int64_t count, int64_t timeoutMs) {
    return std::async(std::launch::async, [&ring, count, timeoutMs] { return read(ring, count, timeoutMs); });
}

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

TEST(RingBufferBlocking, AReaderBlockedAcrossAResetGetsOnlyNewSamples) {
    Int16RingBuffer ring(1000);
    auto reader = readAsync(ring, 160, longTimeoutMs);
    write(ring, sequence(0, 100));  // not enough for the reader
    ring.reset();
    write(ring, sequence(9000, 160));
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
    const ReadResult result = reader.get();
    ASSERT_EQ(result.result, 160);
    EXPECT_EQ(result.samples, sequence(9000, 160));
}

TEST(RingBufferBlocking, ABlockedReaderWakesWhenAWriteCompletesItsRequest) {
    Int16RingBuffer ring(1000);
    auto reader = readAsync(ring, 160, longTimeoutMs);
    write(ring, sequence(0, 100));
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout) << "100 of 160 samples must not be returned";
    write(ring, sequence(100, 60));
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
    const ReadResult result = reader.get();
    ASSERT_EQ(result.result, 160);
    EXPECT_EQ(result.samples, sequence(0, 160));
}

// One write that serves several blocked readers wakes them all: none waits out its deadline while
// its samples are there.
TEST(RingBufferBlocking, OneWriteServingTwoBlockedReadersWakesBoth) {
    Int16RingBuffer ring(1000);
    auto first = readAsync(ring, 160, longTimeoutMs);
    auto second = readAsync(ring, 160, longTimeoutMs);
    std::this_thread::sleep_for(50ms);  // both block; a reader that comes later finds its samples anyway
    write(ring, sequence(0, 320));
    ASSERT_EQ(first.wait_for(promptly), std::future_status::ready);
    ASSERT_EQ(second.wait_for(promptly), std::future_status::ready) << "the second reader was not woken";
    const ReadResult a = first.get();
    const ReadResult b = second.get();
    ASSERT_EQ(a.result, 160);
    ASSERT_EQ(b.result, 160);
    EXPECT_TRUE(a.samples == sequence(0, 160) || a.samples == sequence(160, 160));
    EXPECT_NE(a.samples, b.samples);
}

TEST(RingBufferBlocking, ABlockedReaderWakesAtTheEndOfTheStreamWithWhatIsLeftOrTheCode) {
    {
        Int16RingBuffer ring(1000);
        write(ring, sequence(0, 50));
        auto reader = readAsync(ring, 160, longTimeoutMs);
        std::this_thread::sleep_for(20ms);  // let it block; the outcome is the same if it has not yet
        ring.endStream(false);
        ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
        const ReadResult result = reader.get();
        ASSERT_EQ(result.result, 50);
        EXPECT_EQ(result.samples, sequence(0, 50));
    }
    {
        Int16RingBuffer ring(1000);
        auto reader = readAsync(ring, 160, longTimeoutMs);
        std::this_thread::sleep_for(20ms);
        ring.endStream(true);
        ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
        EXPECT_EQ(reader.get().result, -2);
    }
}

TEST(RingBufferBlocking, WakeUpsThatDoNotServeTheReadDoNotMoveItsDeadline) {
    Int16RingBuffer ring(1000);
    std::atomic<bool> writing{true};
    // One sample every 20 ms for 3 s: every write wakes the reader, none completes its request.
    std::thread writer([&] {
        const auto end = Clock::now() + 3s;
        for (int64_t i = 0; writing && Clock::now() < end; ++i) {
            write(ring, sequence(i, 1));
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto started = Clock::now();
    const ReadResult result = read(ring, 1000, 300);
    const auto waited = Clock::now() - started;
    writing = false;
    writer.join();
    EXPECT_EQ(result.result, 0);
    EXPECT_GE(waited, 295ms);
    EXPECT_LT(waited, 2s) << "the deadline was moved by wake-ups";
}

TEST(RingBufferConcurrency, AWriterAndAReaderLoseNoSampleAndKeepTheOrder) {
    constexpr int64_t capacity = 4096;
    constexpr int64_t total = 400000;
    Int16RingBuffer ring(capacity);
    std::atomic<int64_t> consumed{0};

    // Paced so that it never overwrites: any loss is then the ring's fault.
    std::thread writer([&] {
        std::mt19937 random(11);
        std::uniform_int_distribution<int64_t> chunk(1, 700);
        for (int64_t written = 0; written < total;) {
            const int64_t n = std::min(chunk(random), total - written);
            while (written + n - consumed.load() > capacity) std::this_thread::yield();
            write(ring, sequence(written, n));
            written += n;
        }
        ring.endStream(false);
    });

    std::mt19937 random(12);
    std::uniform_int_distribution<int64_t> chunk(1, 500);
    int64_t received = 0;
    bool inOrder = true;
    for (;;) {
        const int64_t count = chunk(random);
        const ReadResult result = read(ring, count, 2000);
        if (result.result < 0) {
            EXPECT_EQ(result.result, -1);
            break;
        }
        if (result.result > 0 && result.result < count) {
            EXPECT_EQ(received + result.result, total) << "only the end of the stream may be short";
        }
        for (int16_t s : result.samples) inOrder = inOrder && s == sampleOf(received++);
        consumed = received;
        if (!inOrder) break;
    }
    writer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, total);
}

TEST(RingBufferConcurrency, ConcurrentReadersEachGetWholeConsecutiveChunksAndNothingIsDuplicated) {
    constexpr int64_t total = 120000;
    constexpr int64_t chunkSize = 40;
    Int16RingBuffer ring(total);  // large enough that nothing is overwritten
    std::vector<std::vector<std::vector<int16_t>>> perReader(3);
    std::vector<std::thread> readers;
    for (auto& chunks : perReader) {
        readers.emplace_back([&ring, &chunks] {
            for (;;) {
                const ReadResult result = read(ring, chunkSize, 2000);
                if (result.result < 0) return;
                if (result.result > 0) chunks.push_back(result.samples);
            }
        });
    }
    std::thread writer([&] {
        for (int64_t at = 0; at < total; at += 333) write(ring, sequence(at, std::min<int64_t>(333, total - at)));
        ring.endStream(false);
    });
    writer.join();
    for (auto& reader : readers) reader.join();

    // Every chunk is consecutive, and the chunks together are the stream exactly once.
    int64_t count = 0;
    for (const auto& chunks : perReader) {
        for (const auto& chunk : chunks) {
            ASSERT_EQ(static_cast<int64_t>(chunk.size()), chunkSize) << "total is a multiple of the chunk";
            for (size_t i = 1; i < chunk.size(); ++i) ASSERT_EQ(static_cast<int16_t>(chunk[i - 1] + 1), chunk[i]);
            count += chunkSize;
        }
    }
    EXPECT_EQ(count, total);
    // Samples repeat every 65536, so check the multiset of values per residue instead of positions.
    std::vector<int64_t> expected(65536, 0), actual(65536, 0);
    for (int64_t i = 0; i < total; ++i) ++expected[static_cast<uint16_t>(sampleOf(i))];
    for (const auto& chunks : perReader) {
        for (const auto& chunk : chunks) {
            for (int16_t s : chunk) ++actual[static_cast<uint16_t>(s)];
        }
    }
    EXPECT_EQ(actual, expected);
}

}  // namespace
}  // namespace mivo::capture
