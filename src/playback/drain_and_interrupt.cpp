#include <chrono>

#include "core/voice_io.h"

namespace mivo::core {

namespace {

constexpr auto drainWaitLimit = std::chrono::seconds(5);

}  // namespace

int32_t VoiceIO::waitForPlayback() {
    // Texts are recorded while stateCondition is held; errorLock is always taken after it.
    ConditionLock hold(stateCondition_);
    if (!running_) {
        setLastError("VoiceProcessingIO is not running");
        return -1;
    }
    const uint64_t snapshot = generation_;
    const auto deadline = Condition::Clock::now() + drainWaitLimit;
    for (;;) {
        if (queuedPlaybackFrames_ <= 0) return 1;
        if (!stateCondition_.waitUntil(deadline)) {
            setLastError("Timed out waiting for audio playback");
            return -1;
        }
        if (!running_) {
            setLastError("VoiceProcessingIO stopped during playback");
            return -1;
        }
        if (generation_ != snapshot) return 0;
    }
}

void VoiceIO::interruptPlayback() {
    bool wasRunning = false;
    {
        ConditionLock hold(stateCondition_);
        ++generation_;
        queuedPlaybackFrames_ = 0;
        stateCondition_.broadcast();
        wasRunning = running_;
    }
    controlQueue_.sync([this, wasRunning] {
        if (auto player = player_.load()) {
            player->stop();
            if (auto stillThere = player_.load()) stillThere->reset();
        }
        if (wasRunning) {
            if (auto player = player_.load()) player->play();
        }
    });
}

}  // namespace mivo::core
