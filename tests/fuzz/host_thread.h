#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/fuzz_world.h"

namespace mivo::testing::fuzz {

// A host: creates, starts, stops and destroys the handles of its own slots, one call at a time as
// the contract asks, and reads, writes, waits, interrupts and asks on any slot's handle, on
// destroyed ones and on made-up ones, checking every answer against the contract.
class HostThread {
public:
    HostThread(World& world, size_t index);
    void run();

private:
    // Whom a call goes to: a live handle's life, or none for a destroyed or made-up handle.
    struct Target {
        mivo_voice_io* handle = nullptr;
        std::shared_ptr<Life> life;
        bool goneBefore = true;  // destroyed (or never made) when the call began
        // Destroy had begun when the call returned: it may have got the answer for NULL.
        bool goneAfter() const { return !life || life->destroying.load(); }
    };

    void lifecycleCall();
    void create(Slot& slot);
    void start(Life& life);
    void stop(Life& life);
    void destroy(Slot& slot, const std::shared_ptr<Life>& life);
    bool injectStartFault(ScriptedPlatform& platform);
    void injectTeardownFault(ScriptedPlatform& platform);

    Target pickTarget();
    void read(const Target& target);
    void write(const Target& target);
    void playedFrames(const Target& target);
    void waitForPlayback(const Target& target);
    void interrupt(const Target& target);
    void copyLastError(const Target& target);
    // An answer outside what the contract allows for this call and this target.
    void check(bool allowed, const char* call, int64_t result, const Target& target);

    size_t below(size_t bound) { return dice_.below(bound); }
    bool chance(double probability) { return dice_.chance(probability); }

    World& world_;
    const size_t index_;
    Dice dice_;
    std::vector<size_t> ownSlots_;
};

}  // namespace mivo::testing::fuzz
