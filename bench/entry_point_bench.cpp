// What the handle lookup costs each entry point: played_frames, the cheapest call, on a live handle
// (lookup, a reference for the call, one short lock) and on a destroyed one (lookup only).
#include <benchmark/benchmark.h>

#include <memory>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"

namespace {

void BM_PlayedFramesLiveHandle(benchmark::State& state) {
    mivo_voice_io* handle = mivo::api::createHandle(std::make_shared<mivo::testing::ScriptedPlatform>());
    for (auto _ : state) benchmark::DoNotOptimize(mivo_voice_io_played_frames(handle));
    mivo_voice_io_destroy(handle);
}
BENCHMARK(BM_PlayedFramesLiveHandle)->Threads(1)->Threads(2);

void BM_PlayedFramesDestroyedHandle(benchmark::State& state) {
    mivo_voice_io* handle = mivo::api::createHandle(std::make_shared<mivo::testing::ScriptedPlatform>());
    mivo_voice_io_destroy(handle);
    for (auto _ : state) benchmark::DoNotOptimize(mivo_voice_io_played_frames(handle));
}
BENCHMARK(BM_PlayedFramesDestroyedHandle);

}  // namespace
