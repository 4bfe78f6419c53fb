#pragma once

#include <cstdint>
#include <memory>
#include <random>

#include "fuzz/fuzz_world.h"

namespace mivo::testing::fuzz {

// The platform's side: capture buffers, completions in order, late, twice or never, device changes,
// converter errors, missing buffers and platform calls that throw. Each handle's completions come
// from one platform thread only, so that thread sees exactly what each completion added.
class PlatformThread {
public:
    PlatformThread(World& world, size_t index);
    void run();

private:
    std::shared_ptr<Life> pickLife(bool& own);
    void deliverCapture(Life& life);
    void complete(Life& life, bool own);
    void fire(Life& life, ScriptedPlayerNode& player, size_t index, bool again);
    void checkCompletion(Life& life, const ScriptedPlayerNode::Scheduled& record, bool fired, bool again,
                         uint64_t added, bool generationSteady, uint64_t generation);
    void breakSomething(Life& life);

    size_t below(size_t bound) { return static_cast<size_t>(random_() % bound); }
    bool chance(double probability) { return std::uniform_real_distribution<double>(0, 1)(random_) < probability; }

    World& world_;
    const size_t index_;
    std::mt19937_64 random_;
};

}  // namespace mivo::testing::fuzz
