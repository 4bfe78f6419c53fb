#include <chrono>

#include "core/voice_io.h"
#include "playback/sample_conversion.h"

namespace mivo::core {

namespace {

constexpr int64_t backPressureLimit = 9600;  // 200 ms at 48 kHz
constexpr auto capacityWaitLimit = std::chrono::seconds(5);

}  // namespace

// What a writer hands to its scheduling step; it lives in the writer's frame, which blocks
// until the step has run.
struct VoiceIO::SchedulingRequest {
    uint64_t snapshot;
    int64_t frameCount;
    const int16_t* source;
    bool scheduled;
};

int32_t VoiceIO::writePlayback(const int16_t* source, int64_t frameCount) {
    if (frameCount < 1) return 1;

    uint64_t snapshot = 0;
    {
        stateCondition_.lock();
        if (!running_) {
            stateCondition_.unlock();
            setLastError("VoiceProcessingIO is not running");
            return -1;
        }
        snapshot = generation_;
        const auto deadline = Condition::Clock::now() + capacityWaitLimit;
        while (queuedPlaybackFrames_ >= backPressureLimit) {
            const bool woken = stateCondition_.waitUntil(deadline);
            if (!woken) {
                stateCondition_.unlock();
                setLastError("Timed out waiting for playback queue capacity");
                return -1;
            }
            if (!running_) {
                stateCondition_.unlock();
                setLastError("VoiceProcessingIO stopped during playback");
                return -1;
            }
            if (generation_ != snapshot) {
                stateCondition_.unlock();
                return 0;
            }
        }
        stateCondition_.unlock();
    }

    SchedulingRequest request{snapshot, frameCount, source, false};
    // The strong reference keeps the instance alive for the step even if the handle goes meanwhile.
    controlQueue_.sync([self = shared_from_this(), &request] { self->schedule(request); });
    if (request.scheduled) return 1;

    ConditionLock hold(stateCondition_);
    return generation_ == snapshot && running_ ? -1 : 0;
}

void VoiceIO::schedule(SchedulingRequest& request) {
    {
        ConditionLock hold(stateCondition_);
        if (!running_ || generation_ != request.snapshot) return;
    }
    const std::shared_ptr<platform::PlayerNode> player = player_.load();
    if (!player) return;

    // A count that does not fit the platform's 32-bit capacity cannot be made into one buffer.
    std::shared_ptr<platform::PCMBuffer> buffer;
    if (request.frameCount <= int64_t{UINT32_MAX}) {
        buffer = platform_->makePCMBuffer(playbackFormat_, static_cast<uint32_t>(request.frameCount));
    }
    if (!buffer) {
        setLastError("Unable to create a playback buffer");
        return;
    }
    float* const* channels = buffer->floatChannelData();
    if (!channels) {
        buffer.reset();
        setLastError("Unable to create a playback buffer");
        return;
    }
    const uint32_t frames = static_cast<uint32_t>(request.frameCount);
    buffer->setFrameLength(frames);
    playback::int16ToFloat(request.source, channels[0], frames);

    {
        ConditionLock hold(stateCondition_);
        if (running_ && generation_ == request.snapshot) {
            queuedPlaybackFrames_ += request.frameCount;
            request.scheduled = true;
        }
    }
    if (!request.scheduled) return;

    player->scheduleBuffer(std::move(buffer), platform::CompletionCallbackType::dataPlayedBack,
                           [weakSelf = weak_from_this(), frameCount = request.frameCount,
                            snapshot = request.snapshot](platform::CompletionCallbackType) {
                               if (auto self = weakSelf.lock()) self->playbackCompleted(snapshot, frameCount);
                           });
    if (!player->isPlaying()) player->play();
}

void VoiceIO::playbackCompleted(uint64_t snapshot, int64_t frameCount) {
    ConditionLock hold(stateCondition_);
    if (generation_ == snapshot) {
        queuedPlaybackFrames_ = std::max<int64_t>(0, queuedPlaybackFrames_ - frameCount);
        playedFrames_ += static_cast<uint64_t>(frameCount);
    }
    stateCondition_.broadcast();
}

}  // namespace mivo::core
