// Host int16 frames to the player's float samples, next to a plain memcpy of the float output size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "playback/sample_conversion.h"

namespace {

void BM_Int16ToFloat(benchmark::State& state) {
    const auto frames = static_cast<size_t>(state.range(0));
    std::vector<int16_t> source(frames);
    for (size_t i = 0; i < frames; ++i) source[i] = static_cast<int16_t>(i * 7919);
    std::vector<float> destination(frames);
    for (auto _ : state) {
        mivo::playback::int16ToFloat(source.data(), destination.data(), frames);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frames * sizeof(float)));
}
BENCHMARK(BM_Int16ToFloat)->Arg(480)->Arg(48000);

void BM_MemcpyFloatOutput(benchmark::State& state) {
    const auto frames = static_cast<size_t>(state.range(0));
    std::vector<float> source(frames, 0.25f);
    std::vector<float> destination(frames);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), frames * sizeof(float));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frames * sizeof(float)));
}
BENCHMARK(BM_MemcpyFloatOutput)->Arg(480)->Arg(48000);

}  // namespace
