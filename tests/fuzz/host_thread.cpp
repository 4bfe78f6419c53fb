#include "fuzz/host_thread.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "api/handle.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing::fuzz {

namespace {

// Every call of the start sequence, by prefix: where a fault or a device change may strike.
const char* const startSteps[] = {
    "getPropertyData", "makeEngine",     "makePlayerNode",     "input.setVoiceProcessingEnabled",
    "input.outputFormatForBus", "output.outputFormatForBus", "engine.attachNode", "engine.connect",
    "makeStandardFormat", "makeConverter", "input.installTapOnBus", "engine.prepare",
    "engine.start",    "player.play",    "addObserver",
};
const char* const teardownSteps[] = {"removeObserver", "input.removeTapOnBus", "player.stop", "player.reset",
                                     "engine.stop"};

// A platform call that runs out of memory, or fails in a way of its own.
std::function<void()> thrower(bool outOfMemory, const char* step) {
    if (outOfMemory) return [] { throw std::bad_alloc(); };
    return [step] { throw std::runtime_error(std::string("fuzz: thrown by ") + step); };
}

template <size_t count>
const char* pickFrom(const char* const (&steps)[count], size_t pick) {
    return steps[pick % count];
}

}  // namespace

HostThread::HostThread(World& world, size_t index)
    : world_(world), index_(index), dice_(world.settings().seed * 1000003u + index) {
    for (size_t h = 0; h < world.settings().handlesPerHost; ++h) {
        ownSlots_.push_back(index * world.settings().handlesPerHost + h);
    }
}

void HostThread::run() {
    while (!world_.finished()) {
        if (chance(0.04)) {
            lifecycleCall();
        } else {
            const Target target = pickTarget();
            const size_t pick = below(100);
            if (pick < 28) read(target);
            else if (pick < 58) write(target);
            else if (pick < 70) playedFrames(target);
            else if (pick < 85) copyLastError(target);
            else if (pick < 97) interrupt(target);
            else waitForPlayback(target);
        }
        world_.countOperation();
    }
    for (size_t slot : ownSlots_) {
        if (auto life = world_.slot(slot).life()) destroy(world_.slot(slot), life);
    }
}

void HostThread::lifecycleCall() {
    Slot& slot = world_.slot(ownSlots_[below(ownSlots_.size())]);
    const std::shared_ptr<Life> life = slot.life();
    if (!life) return create(slot);
    const size_t pick = below(100);
    if (pick < 50) start(*life);
    else if (pick < 80) stop(*life);
    else destroy(slot, life);
}

void HostThread::create(Slot& slot) {
    auto life = std::make_shared<Life>();
    life->platform = std::make_shared<ScriptedPlatform>();
    const auto timer = world_.startCall();
    life->handle = api::createHandle(life->platform);
    world_.checkDuration("create", timer, briefly);
    world_.tally(Call::create, life->handle ? 1 : 0);
    const std::shared_ptr<core::VoiceIO> instance = api::retain(life->handle);
    if (!life->handle || !instance) return world_.fail("create gave no usable handle");
    world_.remember(instance);
    slot.set(std::move(life));
}

// True when the start is meant to fail (unless the instance already ran).
bool HostThread::injectStartFault(ScriptedPlatform& platform) {
    const char* step = pickFrom(startSteps, below(100));
    switch (below(32)) {
        case 0: platform.setInputDevice(0, 0); return true;
        case 1: platform.setOutputDevice(-1, 41); return true;
        case 2: platform.failVoiceProcessing("fuzz: voice processing refused", Calls::nth(0)); return true;
        case 3: platform.failEngineStart("fuzz: the engine would not start", Calls::nth(0)); return true;
        case 4: platform.failMakeEngine(Calls::nth(0)); return true;
        case 5: platform.failMakePlayerNode(Calls::nth(0)); return true;
        case 6: platform.failMakeStandardFormat(Calls::nth(0)); return true;
        case 7: platform.failMakeConverter(Calls::nth(0)); return true;
        case 8: platform.setInputFormat(platform::standardFormat(0, 1)); return true;
        case 9:
            platform.onNextCall(step, thrower(chance(0.5), step));
            if (chance(0.5)) injectTeardownFault(platform);
            return true;
        case 10:
        case 11: {
            // A device change in the middle of the start: not seen by a run that has not begun.
            ScriptedPlatform* raw = &platform;  // the hook lives in the platform itself
            platform.onNextCall(step, [raw] { raw->postConfigurationChange(); });
            return false;
        }
        default: return false;
    }
}

void HostThread::injectTeardownFault(ScriptedPlatform& platform) {
    const char* step = pickFrom(teardownSteps, below(100));
    platform.onNextCall(step, thrower(chance(0.5), step));
}

void HostThread::start(Life& life) {
    ScriptedPlatform& platform = *life.platform;
    const bool faulty = injectStartFault(platform);
    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_start(life.handle);
    world_.checkDuration("start", timer, briefly);
    world_.tally(Call::start, result);
    platform.clearFaults();
    platform.clearHooks();
    platform.setInputDevice(0, 40);
    platform.setOutputDevice(0, 41);
    platform.setInputFormat(platform::standardFormat(48000, 1));
    if (result != 0 && result != -1) world_.fail("start answered " + std::to_string(result));
    if (!faulty && result != 0) {
        char text[256];
        mivo_voice_io_copy_last_error(life.handle, text, sizeof text);
        world_.fail(std::string("start failed with no fault injected: ") + text);
    }
}

// The ring has ended: a read that cannot be served returns at once, whatever its timeout.
void HostThread::stop(Life& life) {
    if (chance(0.1)) injectTeardownFault(*life.platform);
    auto timer = world_.startCall();
    mivo_voice_io_stop(life.handle);
    world_.checkDuration("stop", timer, briefly);
    world_.tally(Call::stop, 0);
    life.platform->clearHooks();

    std::vector<int16_t> samples(80001);
    timer = world_.startCall();
    const int32_t result = mivo_voice_io_read_capture(life.handle, samples.data(), 80001, 3000);
    world_.checkDuration("read_capture after stop", timer, briefly);
    if (result == 0) world_.fail("a read after stop timed out instead of finding the end of the stream");
}

void HostThread::destroy(Slot& slot, const std::shared_ptr<Life>& life) {
    if (chance(0.1)) injectTeardownFault(*life->platform);
    life->destroying = true;
    const auto timer = world_.startCall();
    mivo_voice_io_destroy(life->handle);
    world_.checkDuration("destroy", timer, briefly);
    world_.tally(Call::destroy, 0);
    life->destroyed = true;
    slot.set(nullptr);
    life->platform->clearHooks();
    world_.retire(life);
}

HostThread::Target HostThread::pickTarget() {
    Target target;
    const size_t pick = below(100);
    if (pick < 85) {
        target.life = world_.slot(below(world_.slotCount())).life();
    } else if (pick < 95) {
        target.life = world_.retired(below(64));
    } else if (pick < 98) {
        // No create ever hands out these: far beyond any handle count, or an address.
        int local = 0;
        target.handle = chance(0.5) ? reinterpret_cast<mivo_voice_io*>(uintptr_t{0xdead0000} + below(4096))
                                    : reinterpret_cast<mivo_voice_io*>(&local);
        return target;
    }
    if (!target.life) return target;  // NULL
    target.handle = target.life->handle;
    target.goneBefore = target.life->destroyed.load();
    return target;
}

void HostThread::check(bool allowed, const char* call, int64_t result, const Target& target) {
    if (allowed) return;
    world_.fail(std::string(call) + " answered " + std::to_string(result) +
                (target.goneBefore ? " on a destroyed or unknown handle" : ""));
}

void HostThread::read(const Target& target) {
    const int32_t count = chance(0.05) ? -static_cast<int32_t>(below(3)) : static_cast<int32_t>(1 + below(400));
    int32_t timeout = 0;
    if (chance(0.3)) timeout = chance(0.8) ? static_cast<int32_t>(1 + below(5)) : (chance(0.5) ? -5 : 20);
    std::vector<int16_t> samples(static_cast<size_t>(std::max(count, 0)) + 1);
    int16_t* destination = chance(0.02) ? nullptr : samples.data();

    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_read_capture(target.handle, destination, count, timeout);
    world_.checkDuration("read_capture", timer, std::chrono::milliseconds(std::max(timeout, 0)));
    world_.tally(Call::read, result);

    bool allowed = result >= -2 && result <= std::max(count, 0);
    if (target.goneBefore || !destination) allowed = result == -2;
    else if (count <= 0) allowed = result == 0 || (result == -2 && target.goneAfter());
    check(allowed, "read_capture", result, target);
}

void HostThread::write(const Target& target) {
    int32_t frames = static_cast<int32_t>(1 + below(2000));
    if (chance(0.04)) frames = -static_cast<int32_t>(below(3));
    else if (chance(0.01)) frames = 20000;
    std::vector<int16_t> samples(static_cast<size_t>(std::max(frames, 1)));
    for (auto& sample : samples) sample = static_cast<int16_t>(dice_.engine()());
    if (target.life) samples[0] = static_cast<int16_t>(target.life->nextTag.fetch_add(1));
    const int16_t* source = samples.data();
    std::vector<unsigned char> shifted;
    if (chance(0.05)) {  // at an odd address
        shifted.resize(samples.size() * sizeof(int16_t) + 1);
        std::memcpy(shifted.data() + 1, samples.data(), samples.size() * sizeof(int16_t));
        source = reinterpret_cast<const int16_t*>(shifted.data() + 1);
    }
    if (chance(0.01)) source = nullptr;

    // The generation on both sides of the call: equal, it is the one the buffer was counted in.
    const std::shared_ptr<core::VoiceIO> voice = target.goneBefore ? nullptr : api::retain(target.handle);
    const uint64_t generationBefore = voice ? VoiceIOProbe::generation(*voice) : 0;
    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_write_playback(target.handle, source, frames);
    world_.checkDuration("write_playback", timer, playbackBound);
    world_.tally(Call::write, result);
    if (voice && result == 1 && frames > 0 && VoiceIOProbe::generation(*voice) == generationBefore) {
        std::lock_guard<std::mutex> guard(target.life->tagLock);
        target.life->generationOfTag[samples[0]] = generationBefore;
    }

    bool allowed = result >= -1 && result <= 1;
    if (target.goneBefore || !source) allowed = result == -1;
    else if (frames <= 0) allowed = result == 1 || (result == -1 && target.goneAfter());
    check(allowed, "write_playback", result, target);
}

// Never below an answer given before the call began, and within what the completions have added.
void HostThread::playedFrames(const Target& target) {
    const uint64_t least = target.life ? std::max(target.life->accounted.load(), target.life->highestAnswer.load()) : 0;
    const auto timer = world_.startCall();
    const uint64_t result = mivo_voice_io_played_frames(target.handle);
    world_.checkDuration("played_frames", timer, briefly);
    world_.tally(Call::played, result > 0 ? 2 : 0);
    if (target.goneBefore) return check(result == 0, "played_frames", static_cast<int64_t>(result), target);
    if (target.goneAfter()) return;
    const uint64_t most = target.life->ceiling.load();
    if (result < least || result > most) {
        world_.fail("played_frames answered " + std::to_string(result) + ", outside [" + std::to_string(least) +
                    ", " + std::to_string(most) + "] of the frames of completed buffers");
    }
    uint64_t highest = target.life->highestAnswer.load();
    while (highest < result && !target.life->highestAnswer.compare_exchange_weak(highest, result)) {
    }
}

void HostThread::waitForPlayback(const Target& target) {
    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_wait_playback(target.handle);
    world_.checkDuration("wait_playback", timer, playbackBound);
    world_.tally(Call::wait, result);
    check(target.goneBefore ? result == -1 : result >= -1 && result <= 1, "wait_playback", result, target);
}

void HostThread::interrupt(const Target& target) {
    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_interrupt_playback(target.handle);
    world_.checkDuration("interrupt_playback", timer, briefly);
    world_.tally(Call::interrupt, result);
    check(target.goneBefore ? result == -1 : result == 0 || result == -1, "interrupt_playback", result, target);
}

void HostThread::copyLastError(const Target& target) {
    const int32_t capacities[] = {-1, 0, 1, 8, 300};
    const int32_t capacity = capacities[below(5)];
    std::vector<char> text(static_cast<size_t>(std::max(capacity, 1)) + 1, '#');
    char* destination = chance(0.02) ? nullptr : text.data();

    const auto timer = world_.startCall();
    const int32_t result = mivo_voice_io_copy_last_error(target.handle, destination, capacity);
    world_.checkDuration("copy_last_error", timer, briefly);
    world_.tally(Call::copyError, result);
    if (target.goneBefore || !destination || capacity <= 0) {
        return check(result == 0, "copy_last_error", result, target);
    }
    const bool terminated = result >= 0 && result < capacity && text[static_cast<size_t>(result)] == '\0';
    check(terminated || (result == 0 && target.goneAfter()), "copy_last_error", result, target);
    if (terminated && result < capacity - 1) world_.checkText(std::string_view(text.data(), static_cast<size_t>(result)));
}

}  // namespace mivo::testing::fuzz
