// Readers that block, and readers and writers on threads of their own: each case bounds its waits,
// so that a reader never woken fails the test rather than hanging the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "capture/int16_ring_buffer.h"
#include "ring_buffer_test_support.h"

namespace mivo::capture {
namespace {

using namespace ring_test;

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
