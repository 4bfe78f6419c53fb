#pragma once

// What the host threads and the platform threads of the fuzzer share: the handles and what is
// known about each, the contract's answers, and the report of a broken invariant with its seed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error_texts.h"
#include "core/voice_io.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"

namespace mivo::testing::fuzz {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The documented blocking bounds, and the slack every call gets on top. Time the machine did not
// give the process at all (other work on a loaded machine) is not held against a call.
inline constexpr auto briefly = 0ms;
inline constexpr auto playbackBound = 5s;
inline constexpr auto slack = 1s;

struct Settings {
    uint64_t seed = 0;
    uint64_t minimumOperations = 100000;
    std::chrono::seconds budget{45};
    size_t hostThreads = 4;
    size_t handlesPerHost = 2;
    size_t platformThreads = 2;

    // MIVO_FUZZ_SEED replays a run's per-thread choices (the threads' interleaving differs);
    // MIVO_FUZZ_OPERATIONS and MIVO_FUZZ_SECONDS change the amount of work.
    static Settings fromEnvironment();
};

// A thread's own source of choices, seeded from the run's seed and the thread's place.
class Dice {
public:
    explicit Dice(uint64_t seed) : random_(seed) {}
    size_t below(size_t bound) { return static_cast<size_t>(random_() % bound); }
    bool chance(double probability) { return std::uniform_real_distribution<double>(0, 1)(random_) < probability; }
    std::mt19937_64& engine() { return random_; }

private:
    std::mt19937_64 random_;
};

// One handle from create to destroy, on a platform of its own.
struct Life {
    mivo_voice_io* handle = nullptr;
    std::shared_ptr<ScriptedPlatform> platform;
    std::atomic<bool> destroying{false};  // destroy has been called
    std::atomic<bool> destroyed{false};   // destroy has returned

    // Played frames as the platform thread that completes this handle's buffers saw them move:
    // `accounted` never exceeds the counter, `ceiling` never falls below it.
    std::atomic<uint64_t> accounted{0};
    std::atomic<uint64_t> ceiling{0};
    std::atomic<uint64_t> highestAnswer{0};

    // Each write's first sample is a tag; the generation its buffer was counted in, when the writer
    // saw the generation unchanged across the call.
    std::atomic<uint16_t> nextTag{1};
    std::mutex tagLock;
    std::unordered_map<int16_t, uint64_t> generationOfTag;

    // Touched only by the platform thread that owns this handle: where the oldest pending buffer of
    // `cursorPlayer` may be.
    const ScriptedPlayerNode* cursorPlayer = nullptr;
    size_t cursor = 0;
};

// Where a host thread keeps one of its handles; other threads look in to call on it.
class Slot {
public:
    std::shared_ptr<Life> life() const {
        std::lock_guard<std::mutex> guard(lock_);
        return life_;
    }
    void set(std::shared_ptr<Life> life) {
        std::lock_guard<std::mutex> guard(lock_);
        life_ = std::move(life);
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<Life> life_;
};

// The entry points and the platform's completions, for the tally of what the run did.
enum class Call { create, start, stop, destroy, read, write, played, wait, interrupt, copyError, completion, count };

// When a call began, on the wall clock and on the clock of time the process was starved.
struct CallTimer {
    Clock::time_point began;
    Clock::duration starvedBefore;
};

class World {
public:
    explicit World(Settings settings);

    const Settings& settings() const { return settings_; }
    bool finished() const;
    void countOperation() { operations_.fetch_add(1, std::memory_order_relaxed); }
    uint64_t operations() const { return operations_.load(); }

    // Reports a broken invariant with the seed that replays the run; stops the run after a few.
    void fail(const std::string& what);
    CallTimer startCall() const { return {Clock::now(), starved()}; }
    // Counts one answer: -2, -1, 0, 1, or more than 1.
    void tally(Call call, int64_t answer);
    std::string tallies() const;
    // Fails when the call took longer than `bound` plus the slack.
    void checkDuration(const char* call, const CallTimer& timer, Clock::duration bound);
    // Ticks every few milliseconds until the run is over and adds up how late its ticks came.
    void watchStarvation();
    // The last error must be empty or one of the documented texts.
    void checkText(std::string_view text);

    Slot& slot(size_t index) { return slots_[index]; }
    size_t slotCount() const { return slots_.size(); }
    void retire(std::shared_ptr<Life> life);
    std::shared_ptr<Life> retired(size_t pick);
    void remember(const std::shared_ptr<core::VoiceIO>& instance);
    // Instances not yet freed; 0 once every handle has been destroyed and every call returned.
    size_t instancesAlive();
    void dropRetired();

private:
    Clock::duration starved() const { return Clock::duration(starvedTicks_.load()); }

    const Settings settings_;
    const Clock::time_point end_;
    std::atomic<uint64_t> operations_{0};
    std::atomic<int> failures_{0};
    std::atomic<Clock::rep> starvedTicks_{0};
    static constexpr size_t answerKinds = 5;
    std::atomic<uint64_t> answers_[static_cast<size_t>(Call::count)][answerKinds] = {};
    std::vector<Slot> slots_;
    std::mutex retiredLock_;
    std::deque<std::shared_ptr<Life>> retired_;
    std::vector<std::weak_ptr<core::VoiceIO>> instances_;
};

}  // namespace mivo::testing::fuzz
