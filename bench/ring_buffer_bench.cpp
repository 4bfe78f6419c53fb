// The capture ring's write and read at the tap's 10 ms size, next to a plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "capture/capture_path.h"
#include "capture/int16_ring_buffer.h"

namespace {

constexpr int64_t tapSamples = 160;  // 10 ms at 16 kHz

void BM_RingWrite160(benchmark::State& state) {
    mivo::capture::Int16RingBuffer ring(mivo::capture::captureRingCapacity);
    std::vector<int16_t> source(tapSamples, 1234);
    for (auto _ : state) {
        ring.write(source.data(), tapSamples);  // wraps and overwrites: the full-ring steady state
    }
    state.SetBytesProcessed(state.iterations() * tapSamples * int64_t{sizeof(int16_t)});
}
BENCHMARK(BM_RingWrite160);

void BM_RingWriteThenRead160(benchmark::State& state) {
    mivo::capture::Int16RingBuffer ring(mivo::capture::captureRingCapacity);
    std::vector<int16_t> source(tapSamples, 1234);
    std::vector<int16_t> destination(tapSamples);
    for (auto _ : state) {
        ring.write(source.data(), tapSamples);
        benchmark::DoNotOptimize(ring.read(destination.data(), tapSamples, 0));
    }
    state.SetBytesProcessed(state.iterations() * tapSamples * int64_t{sizeof(int16_t)});
}
BENCHMARK(BM_RingWriteThenRead160);

void BM_Memcpy160Samples(benchmark::State& state) {
    std::vector<int16_t> source(tapSamples, 1234);
    std::vector<int16_t> destination(tapSamples);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), tapSamples * sizeof(int16_t));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * tapSamples * int64_t{sizeof(int16_t)});
}
BENCHMARK(BM_Memcpy160Samples);

}  // namespace
