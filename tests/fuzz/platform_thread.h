#pragma once

#include <cstdint>
#include <memory>

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

    size_t below(size_t bound) { return dice_.below(bound); }
    bool chance(double probability) { return dice_.chance(probability); }

    World& world_;
    const size_t index_;
    Dice dice_;
};

}  // namespace mivo::testing::fuzz
