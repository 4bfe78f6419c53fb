// The stateful fuzzer: host threads call the ten entry points at random, destroy included, while
// platform threads make the scripted platform misbehave in every way it may. Every answer is checked
// against the contract as it comes; at the end no instance and no thread may be left.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "fuzz/fuzz_world.h"
#include "fuzz/host_thread.h"
#include "fuzz/platform_thread.h"

namespace mivo::testing::fuzz {
namespace {

size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

TEST(VoiceIOFuzz, RandomCallsAndPlatformFaultsKeepTheContract) {
    const Settings settings = Settings::fromEnvironment();
    std::printf("voice_io_fuzz: seed %llu (replay with MIVO_FUZZ_SEED=%llu)\n",
                static_cast<unsigned long long>(settings.seed), static_cast<unsigned long long>(settings.seed));
    std::fflush(stdout);

    // One instance first, so that whatever the runtime starts lazily is there before the count.
    {
        mivo_voice_io* handle = api::createHandle(std::make_shared<ScriptedPlatform>());
        mivo_voice_io_start(handle);
        mivo_voice_io_destroy(handle);
    }
    const size_t threadsBefore = threadCount();
    const auto began = Clock::now();

    World world(settings);
    std::vector<HostThread> hosts;
    std::vector<PlatformThread> platforms;
    hosts.reserve(settings.hostThreads);
    platforms.reserve(settings.platformThreads);
    for (size_t i = 0; i < settings.hostThreads; ++i) hosts.emplace_back(world, i);
    for (size_t i = 0; i < settings.platformThreads; ++i) platforms.emplace_back(world, i);
    {
        std::vector<std::jthread> threads;
        for (auto& host : hosts) threads.emplace_back([&host] { host.run(); });
        for (auto& platform : platforms) threads.emplace_back([&platform] { platform.run(); });
        threads.emplace_back([&world] { world.watchStarvation(); });
    }
    world.dropRetired();

    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("voice_io_fuzz: %llu operations in %.1f s, seed %llu\n",
                static_cast<unsigned long long>(world.operations()), seconds,
                static_cast<unsigned long long>(settings.seed));
    std::printf("voice_io_fuzz: answers\n%s", world.tallies().c_str());
    EXPECT_GE(world.operations(), settings.minimumOperations) << "seed " << settings.seed;
    EXPECT_EQ(world.instancesAlive(), 0u) << "instances left after the last destroy, seed " << settings.seed;
    EXPECT_EQ(threadCount(), threadsBefore) << "threads left after the last destroy, seed " << settings.seed;
}

}  // namespace
}  // namespace mivo::testing::fuzz
