#include "fuzz/platform_thread.h"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing::fuzz {

namespace {

// Calls made while running, outside the start sequence, that the platform may fail by throwing.
const char* const runningCalls[] = {"player.scheduleBuffer", "makePCMBuffer", "converter.convert",
                                    "player.isPlaying",      "player.stop",   "player.reset"};

}  // namespace

PlatformThread::PlatformThread(World& world, size_t index)
    : world_(world), index_(index), dice_(world.settings().seed * 7919u + 101u + index) {}

void PlatformThread::run() {
    while (!world_.finished()) {
        bool own = false;
        const std::shared_ptr<Life> life = pickLife(own);
        if (!life) {
            std::this_thread::yield();
            continue;
        }
        const size_t pick = below(100);
        if (pick < 30) deliverCapture(*life);
        else if (pick < 90) complete(*life, own);
        else breakSomething(*life);
    }
}

// Mostly a live handle of this thread's slots; now and then a destroyed one, whose late
// completions and captures must find nothing to touch.
std::shared_ptr<Life> PlatformThread::pickLife(bool& own) {
    const size_t threads = world_.settings().platformThreads;
    if (chance(0.1)) return world_.retired(below(64));
    const size_t mine = (world_.slotCount() + threads - 1 - index_) / threads;
    own = true;
    return world_.slot(index_ + threads * below(mine)).life();
}

void PlatformThread::deliverCapture(Life& life) {
    const size_t channels = 1 + below(3);
    const size_t frames = chance(0.9) ? 480 : 1 + below(1000);
    std::vector<std::vector<float>> samples(channels, std::vector<float>(frames));
    std::uniform_real_distribution<float> level(-1.0f, 1.0f);
    for (auto& channel : samples) {
        for (auto& sample : channel) sample = level(dice_.engine());
    }
    life.platform->deliverTap(samples);
}

void PlatformThread::complete(Life& life, bool own) {
    const std::shared_ptr<ScriptedPlayerNode> player = life.platform->currentPlayer();
    if (!player) return;
    const size_t count = player->scheduledCount();
    if (count == 0) return;
    const size_t pick = below(100);
    if (own && pick < 60) {
        // In order, the way a sound server plays them; now and then one never completes.
        if (life.cursorPlayer != player.get()) {
            life.cursorPlayer = player.get();
            life.cursor = 0;
        }
        while (life.cursor < count) {
            const auto record = player->scheduledAt(life.cursor);
            if (record && record->state == ScriptedPlayerNode::BufferState::scheduled) break;
            ++life.cursor;
        }
        if (life.cursor >= count) return;
        if (chance(0.02)) {
            ++life.cursor;
            return;
        }
        return fire(life, *player, life.cursor++, false);
    }
    // Late, out of order, after a stop dropped it, or a second time.
    fire(life, *player, below(count), pick >= 88);
}

void PlatformThread::fire(Life& life, ScriptedPlayerNode& player, size_t index, bool again) {
    const auto record = player.scheduledAt(index);
    if (!record) return;
    const std::shared_ptr<core::VoiceIO> voice = api::retain(life.handle);
    uint64_t before = 0;
    uint64_t generation = 0;
    if (voice) {
        before = voice->playedFrames();
        generation = VoiceIOProbe::generation(*voice);
        life.ceiling = life.accounted.load() + record->frameLength;
    }
    const bool fired = again ? player.completeAgain(index) : player.complete(index);
    if (!voice) return;  // destroyed: nobody may ask any more
    const uint64_t added = voice->playedFrames() - before;
    const bool generationSteady = VoiceIOProbe::generation(*voice) == generation;
    checkCompletion(life, *record, fired, again, added, generationSteady, generation);
    if (fired) world_.tally(Call::completion, added > 0 ? 1 : 0);
    life.accounted += added;
    life.ceiling = life.accounted.load();
}

// A buffer counts whole or not at all, once, and only in the generation it was queued in.
void PlatformThread::checkCompletion(Life& life, const ScriptedPlayerNode::Scheduled& record, bool fired, bool again,
                                     uint64_t added, bool generationSteady, uint64_t generation) {
    const std::string what = "a completion of " + std::to_string(record.frameLength) + " frames added " +
                             std::to_string(added) + " to played_frames";
    if (added != 0 && added != record.frameLength) return world_.fail(what);
    if (added != 0 && (again || !fired)) return world_.fail(what + " though it had already counted");
    if (added != 0 && record.state == ScriptedPlayerNode::BufferState::dropped) {
        return world_.fail(what + " for a buffer the player had dropped");
    }
    if (again || !fired || record.frameLength == 0) return;
    const auto tag = static_cast<int16_t>(std::lrint(record.samples[0] * 32768.0f));
    std::lock_guard<std::mutex> guard(life.tagLock);
    const auto known = life.generationOfTag.find(tag);
    if (known == life.generationOfTag.end()) return;
    const bool live = known->second == generation;
    life.generationOfTag.erase(known);
    if (generationSteady && added != (live ? record.frameLength : 0)) {
        world_.fail(what + (live ? " in the generation it was queued in" : " after its generation ended"));
    }
}

void PlatformThread::breakSomething(Life& life) {
    ScriptedPlatform& platform = *life.platform;
    switch (below(8)) {
        case 0:
            if (chance(0.3)) platform.postConfigurationChange();
            break;
        case 1:
        case 2: {
            ConvertScript script;
            if (chance(0.8)) script.errorDescription = "fuzz: the converter failed";
            script.produceOutput = chance(0.5);
            platform.scriptConvert(script, Calls::nth(0));
            break;
        }
        case 3:
            platform.failPCMBuffers(
                {chance(0.5) ? BufferFault::null : BufferFault::noSampleMemory, std::nullopt, std::nullopt,
                 Calls::nth(0)});
            break;
        case 4:
        case 5: {
            const char* call = runningCalls[below(std::size(runningCalls))];
            if (chance(0.5)) platform.onNextCall(call, [] { throw std::bad_alloc(); });
            else platform.onNextCall(call, [call] { throw std::runtime_error(std::string("fuzz: thrown by ") + call); });
            break;
        }
        default: platform.log().clear(); break;
    }
}

}  // namespace mivo::testing::fuzz
