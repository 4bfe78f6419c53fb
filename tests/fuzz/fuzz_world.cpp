#include "fuzz/fuzz_world.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

namespace mivo::testing::fuzz {

namespace {

uint64_t fromEnvironment(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : otherwise;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

Settings Settings::fromEnvironment() {
    Settings settings;
    settings.seed = fuzz::fromEnvironment("MIVO_FUZZ_SEED", std::random_device{}());
    settings.minimumOperations = fuzz::fromEnvironment("MIVO_FUZZ_OPERATIONS", settings.minimumOperations);
    settings.budget = std::chrono::seconds(fuzz::fromEnvironment("MIVO_FUZZ_SECONDS", settings.budget.count()));
    return settings;
}

World::World(Settings settings)
    : settings_(settings),
      end_(Clock::now() + settings.budget),
      slots_(settings.hostThreads * settings.handlesPerHost) {}

bool World::finished() const {
    return operations_.load(std::memory_order_relaxed) >= settings_.minimumOperations || Clock::now() >= end_ ||
           failures_.load() >= 10;
}

void World::fail(const std::string& what) {
    ++failures_;
    ADD_FAILURE() << what << "\n  replay the choices with MIVO_FUZZ_SEED=" << settings_.seed;
}

void World::checkDuration(const char* call, const CallTimer& timer, Clock::duration bound) {
    const auto took = Clock::now() - timer.began;
    if (took > bound + slack + (starved() - timer.starvedBefore)) {
        fail(std::string(call) + " blocked for " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms");
    }
}

void World::watchStarvation() {
    constexpr auto tick = 5ms;
    auto next = Clock::now() + tick;
    while (!finished()) {
        std::this_thread::sleep_until(next);
        const auto now = Clock::now();
        // A sleeping thread wakes a little late anyway; much later means nothing of ours ran.
        if (now - next > 2ms) starvedTicks_ += (now - next).count();
        next = now + tick;
    }
}

void World::checkText(std::string_view text) {
    namespace texts = base::texts;
    if (text.empty() || startsWith(text, texts::startFailure) || startsWith(text, texts::resamplingFailure)) return;
    for (std::string_view known : {texts::configurationChanged, texts::notRunning, texts::stoppedDuringPlayback,
                                   texts::capacityTimeout, texts::bufferFailure, texts::waitTimeout}) {
        if (text == known) return;
    }
    fail("undocumented last error \"" + std::string(text) + "\"");
}

void World::tally(Call call, int64_t answer) {
    const size_t kind = static_cast<size_t>(std::clamp<int64_t>(answer, -2, 2) + 2);
    answers_[static_cast<size_t>(call)][kind].fetch_add(1, std::memory_order_relaxed);
}

std::string World::tallies() const {
    static const char* const names[] = {"create", "start", "stop", "destroy", "read_capture", "write_playback",
                                        "played_frames", "wait_playback", "interrupt_playback",
                                        "copy_last_error", "completions counted (1) or not (0)"};
    static const char* const kinds[] = {"-2", "-1", "0", "1", ">1"};
    std::string text;
    for (size_t call = 0; call < static_cast<size_t>(Call::count); ++call) {
        text += std::string("  ") + names[call] + ":";
        for (size_t kind = 0; kind < answerKinds; ++kind) {
            const uint64_t count = answers_[call][kind].load();
            if (count) text += std::string(" ") + kinds[kind] + " x" + std::to_string(count);
        }
        text += "\n";
    }
    return text;
}

void World::retire(std::shared_ptr<Life> life) {
    std::lock_guard<std::mutex> guard(retiredLock_);
    retired_.push_back(std::move(life));
    if (retired_.size() > 16) retired_.pop_front();
}

std::shared_ptr<Life> World::retired(size_t pick) {
    std::lock_guard<std::mutex> guard(retiredLock_);
    return retired_.empty() ? nullptr : retired_[pick % retired_.size()];
}

void World::remember(const std::shared_ptr<core::VoiceIO>& instance) {
    std::lock_guard<std::mutex> guard(retiredLock_);
    instances_.push_back(instance);
}

size_t World::instancesAlive() {
    std::lock_guard<std::mutex> guard(retiredLock_);
    size_t alive = 0;
    for (const auto& instance : instances_) alive += instance.expired() ? 0 : 1;
    return alive;
}

void World::dropRetired() {
    std::lock_guard<std::mutex> guard(retiredLock_);
    retired_.clear();
}

}  // namespace mivo::testing::fuzz
