#include "core/voice_io.h"

#include <algorithm>
#include <cstring>

namespace mivo::core {

using platform::AudioFormat;
using platform::CommonFormat;

VoiceIO::VoiceIO(std::shared_ptr<platform::AudioPlatform> platform)
    : platform_(std::move(platform)),
      captureRing_(captureRingCapacity),
      controlQueue_(controlQueueLabel),
      captureFormat_{CommonFormat::int16, 16000.0, 1, false},
      playbackFormat_(platform::standardFormat(48000.0, 1)) {}

VoiceIO::~VoiceIO() { stop(); }

void VoiceIO::setLastError(std::string text) {
    std::lock_guard<std::mutex> guard(errorLock_);
    lastError_ = std::move(text);
}

int64_t VoiceIO::copyLastError(char* buffer, int64_t capacity) const {
    if (capacity < 1) return 0;
    std::string bytes;
    {
        std::lock_guard<std::mutex> guard(errorLock_);
        bytes = lastError_;
    }
    const int64_t count = std::min<int64_t>(capacity - 1, static_cast<int64_t>(bytes.size()));
    std::memcpy(buffer, bytes.data(), static_cast<size_t>(count));
    buffer[count] = '\0';
    return count;
}

void VoiceIO::removeConfigurationObserver() {
    if (!configurationObserver_) return;
    platform_->notificationCenter().removeObserver(configurationObserver_);
    configurationObserver_.reset();
}

// Ends the current epoch of playback work: waiting writers and drains wake and give up,
// late completions of its buffers are ignored.
void VoiceIO::endGeneration(bool clearRunning) {
    ConditionLock hold(stateCondition_);
    if (clearRunning) running_ = false;
    ++generation_;
    queuedPlaybackFrames_ = 0;
    stateCondition_.broadcast();
}

void VoiceIO::tearDownGraph() {
    if (auto engine = engine_.load(); engine && tapInstalled_) {
        engine->inputNode()->removeTapOnBus(0);
        tapInstalled_ = false;
    }
    controlQueue_.sync([this] {
        if (auto player = player_.load()) {
            player->stop();
            player->reset();
        }
    });
    if (auto engine = engine_.load()) engine->stop();
    player_.reset();
    engine_.reset();
    captureConverter_.reset();
    captureConverterInputFormat_.reset();
}

void VoiceIO::stop() {
    removeConfigurationObserver();
    endGeneration(true);
    tearDownGraph();
    captureRing_.endStream(false);
}

uint64_t VoiceIO::playedFrames() {
    ConditionLock hold(stateCondition_);
    return playedFrames_;
}

VoiceIO::State VoiceIO::inspect() {
    State state{};
    {
        ConditionLock hold(stateCondition_);
        state.running = running_;
        state.generation = generation_;
        state.queuedPlaybackFrames = queuedPlaybackFrames_;
        state.playedFrames = playedFrames_;
    }
    state.hasEngine = static_cast<bool>(engine_);
    state.hasPlayer = static_cast<bool>(player_);
    state.hasCaptureConverter = static_cast<bool>(captureConverter_);
    state.hasCaptureConverterInputFormat = static_cast<bool>(captureConverterInputFormat_);
    state.hasConfigurationObserver = configurationObserver_ != nullptr;
    state.tapInstalled = tapInstalled_;
    return state;
}

}  // namespace mivo::core
