#include "playback/playback_queue.h"

#include <algorithm>

#include "base/error_texts.h"
#include "playback/sample_conversion.h"

namespace mivo::playback {

using base::Condition;
using base::ConditionLock;

void PlaybackQueue::Counters::completed(uint64_t snapshot, int64_t frameCount) {
    ConditionLock hold(stateCondition);
    if (generation == snapshot) {
        queuedPlaybackFrames = std::max<int64_t>(0, queuedPlaybackFrames - frameCount);
        playedFrames += static_cast<uint64_t>(frameCount);
    }
    stateCondition.broadcast();
}

// What a writer hands to its scheduling step; it lives in the writer's frame, which blocks
// until the step has run.
struct PlaybackQueue::SchedulingRequest {
    uint64_t snapshot;
    int64_t frameCount;
    const int16_t* source;
    bool scheduled;
};

PlaybackQueue::PlaybackQueue(platform::AudioPlatform& platform, base::LastError& lastError)
    : platform_(platform),
      lastError_(lastError),
      controlQueue_(controlQueueLabel),
      playbackFormat_(platform::standardFormat(48000.0, 1)),
      counters_(std::make_shared<Counters>()) {}

bool PlaybackQueue::isRunning() const {
    ConditionLock hold(counters_->stateCondition);
    return counters_->running;
}

void PlaybackQueue::usePlayer(std::shared_ptr<platform::PlayerNode> player) { player_.store(std::move(player)); }

void PlaybackQueue::markRunning() {
    ConditionLock hold(counters_->stateCondition);
    counters_->running = true;
}

void PlaybackQueue::endRun() { endGeneration(Ending::stop); }

bool PlaybackQueue::endRunIfRunning() { return endGeneration(Ending::deviceChange); }

void PlaybackQueue::stopPlayer() {
    controlQueue_.sync([this] {
        if (auto player = player_.load()) {
            player->stop();
            player->reset();
        }
    });
}

void PlaybackQueue::releasePlayer() { player_.reset(); }

uint64_t PlaybackQueue::playedFrames() const {
    ConditionLock hold(counters_->stateCondition);
    return counters_->playedFrames;
}

// Waiting writers and waits wake and give up; late completions of the ended generation's buffers
// are ignored. Returns whether the instance was running.
bool PlaybackQueue::endGeneration(Ending ending) {
    Counters& counters = *counters_;
    ConditionLock hold(counters.stateCondition);
    const bool wasRunning = counters.running;
    if (ending == Ending::deviceChange && !wasRunning) return false;
    if (ending != Ending::interruption) counters.running = false;
    ++counters.generation;
    counters.queuedPlaybackFrames = 0;
    counters.stateCondition.broadcast();
    return wasRunning;
}

// Call with stateCondition held. When running, `snapshot` takes the generation and the wait runs
// against one deadline, `limit` from now. After every wake-up the deadline, then running, then the
// generation decide, and only then `ready` is asked again.
template <typename Ready>
PlaybackQueue::WaitOutcome PlaybackQueue::waitWhileRunning(Condition::Clock::duration limit, uint64_t& snapshot,
                                                           Ready ready) {
    Counters& counters = *counters_;
    if (!counters.running) return WaitOutcome::notRunning;
    snapshot = counters.generation;
    const auto deadline = Condition::Clock::now() + limit;
    while (!ready()) {
        if (!counters.stateCondition.waitUntil(deadline)) return WaitOutcome::timedOut;
        if (!counters.running) return WaitOutcome::stopped;
        if (counters.generation != snapshot) return WaitOutcome::cancelled;
    }
    return WaitOutcome::ready;
}

// What a wait that failed records; `timedOut` names its own deadline.
std::string_view PlaybackQueue::failureText(WaitOutcome outcome, std::string_view timedOut) {
    if (outcome == WaitOutcome::notRunning) return base::texts::notRunning;
    if (outcome == WaitOutcome::stopped) return base::texts::stoppedDuringPlayback;
    return timedOut;
}

int32_t PlaybackQueue::writePlayback(const int16_t* source, int64_t frameCount) {
    if (frameCount < 1) return 1;

    Counters& counters = *counters_;
    uint64_t snapshot = 0;
    WaitOutcome admission = WaitOutcome::ready;
    {
        ConditionLock hold(counters.stateCondition);
        admission = waitWhileRunning(capacityWaitLimit, snapshot,
                                     [&] { return counters.queuedPlaybackFrames < backPressureLimit; });
    }
    // Admission reserves nothing: the queue grows only when the buffer is scheduled.
    if (admission == WaitOutcome::cancelled) return 0;
    if (admission != WaitOutcome::ready) {
        lastError_.set(failureText(admission, base::texts::capacityTimeout));
        return -1;
    }

    SchedulingRequest request{snapshot, frameCount, source, false};
    controlQueue_.sync([this, &request] { schedule(request); });
    if (request.scheduled) return 1;

    ConditionLock hold(counters.stateCondition);
    return counters.generation == snapshot && counters.running ? -1 : 0;
}

void PlaybackQueue::schedule(SchedulingRequest& request) {
    {
        ConditionLock hold(counters_->stateCondition);
        if (!counters_->running || counters_->generation != request.snapshot) return;
    }
    const std::shared_ptr<platform::PlayerNode> player = player_.load();
    if (!player) return;

    // A count that does not fit the platform's 32-bit capacity cannot be made into one buffer.
    std::shared_ptr<platform::PCMBuffer> buffer;
    if (request.frameCount <= int64_t{UINT32_MAX}) {
        buffer = platform_.makePCMBuffer(playbackFormat_, static_cast<uint32_t>(request.frameCount));
    }
    float* const* channels = buffer ? buffer->floatChannelData() : nullptr;
    if (!channels) {
        buffer.reset();
        lastError_.set(base::texts::bufferFailure);
        return;
    }
    const uint32_t frames = static_cast<uint32_t>(request.frameCount);
    buffer->setFrameLength(frames);
    int16ToFloat(request.source, channels[0], frames);

    {
        ConditionLock hold(counters_->stateCondition);
        if (counters_->running && counters_->generation == request.snapshot) {
            counters_->queuedPlaybackFrames += request.frameCount;
            request.scheduled = true;
        }
    }
    if (!request.scheduled) return;

    player->scheduleBuffer(std::move(buffer), platform::CompletionCallbackType::dataPlayedBack,
                           [weakCounters = std::weak_ptr<Counters>(counters_), frameCount = request.frameCount,
                            snapshot = request.snapshot](platform::CompletionCallbackType) {
                               if (auto counters = weakCounters.lock()) counters->completed(snapshot, frameCount);
                           });
    if (!player->isPlaying()) player->play();
}

int32_t PlaybackQueue::waitForPlayback() {
    Counters& counters = *counters_;
    // Texts are recorded while stateCondition is held; errorLock is always taken after it.
    ConditionLock hold(counters.stateCondition);
    uint64_t snapshot = 0;
    const WaitOutcome outcome =
        waitWhileRunning(playbackWaitLimit, snapshot, [&] { return counters.queuedPlaybackFrames <= 0; });
    if (outcome == WaitOutcome::ready) return 1;
    if (outcome == WaitOutcome::cancelled) return 0;
    lastError_.set(failureText(outcome, base::texts::waitTimeout));
    return -1;
}

void PlaybackQueue::interruptPlayback() {
    const bool wasRunning = endGeneration(Ending::interruption);
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

}  // namespace mivo::playback
