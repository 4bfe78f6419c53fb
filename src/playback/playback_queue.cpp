#include "playback/playback_queue.h"

#include <algorithm>
#include <atomic>

#include "base/attempt.h"
#include "base/error_texts.h"
#include "playback/sample_conversion.h"

namespace mivo::playback {

using base::attempt;
using base::Condition;
using base::ConditionLock;

void PlaybackQueue::Counters::completed(uint64_t snapshot, int64_t frameCount) noexcept {
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
    const void* source;  // int16 samples at any address
    bool scheduled;
};

// What a completion handler holds: the counters weakly, so that it does nothing once the queue is
// gone, and a mark that makes a handler the platform calls twice count once.
struct PlaybackQueue::ScheduledBuffer {
    std::weak_ptr<Counters> counters;
    uint64_t snapshot = 0;
    int64_t frameCount = 0;
    std::atomic<bool> completed{false};
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

void PlaybackQueue::usePlayer(std::shared_ptr<platform::PlayerNode> player) noexcept {
    player_.store(std::move(player));
}

void PlaybackQueue::markRunning() {
    ConditionLock hold(counters_->stateCondition);
    counters_->running = true;
}

void PlaybackQueue::endRun() noexcept { endGeneration(Ending::stop); }

bool PlaybackQueue::endRunIfRunning() noexcept { return endGeneration(Ending::deviceChange); }

void PlaybackQueue::stopPlayer() noexcept {
    attempt([this] {
        controlQueue_.sync([this] {
            if (auto player = player_.load()) {
                attempt([&] { player->stop(); });
                attempt([&] { player->reset(); });
            }
        });
    });
}

void PlaybackQueue::releasePlayer() noexcept { player_.reset(); }

uint64_t PlaybackQueue::playedFrames() const {
    ConditionLock hold(counters_->stateCondition);
    return counters_->playedFrames;
}

// Waiting writers and waits wake and give up; late completions of the ended generation's buffers
// are ignored. Returns whether the instance was running.
bool PlaybackQueue::endGeneration(Ending ending) noexcept {
    Counters& counters = *counters_;
    ConditionLock hold(counters.stateCondition);
    const bool wasRunning = counters.running;
    if (ending == Ending::deviceChange && !wasRunning) return false;
    if (ending == Ending::playerDrop && counters.queuedPlaybackFrames <= 0) return wasRunning;
    if (ending == Ending::stop || ending == Ending::deviceChange) counters.running = false;
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

int32_t PlaybackQueue::writePlayback(const void* source, int64_t frameCount) {
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

    std::shared_ptr<platform::PCMBuffer> buffer = makeBuffer(request);
    if (!buffer) {
        lastError_.set(base::texts::bufferFailure);
        return;
    }
    {
        ConditionLock hold(counters_->stateCondition);
        if (counters_->running && counters_->generation == request.snapshot) {
            counters_->queuedPlaybackFrames += request.frameCount;
            request.scheduled = true;
        }
    }
    if (!request.scheduled || !hand(std::move(buffer), *player, request)) return;
    // A player that will not start leaves the buffer queued: writers then time out for capacity.
    attempt([&] {
        if (!player->isPlaying()) player->play();
    });
}

// The request's frames as a float buffer; null when the platform gives none with sample memory.
std::shared_ptr<platform::PCMBuffer> PlaybackQueue::makeBuffer(const SchedulingRequest& request) {
    // A count that does not fit the platform's 32-bit capacity cannot be made into one buffer.
    if (request.frameCount > int64_t{UINT32_MAX}) return nullptr;
    const auto frames = static_cast<uint32_t>(request.frameCount);
    std::shared_ptr<platform::PCMBuffer> buffer;
    try {
        buffer = platform_.makePCMBuffer(playbackFormat_, frames);
    } catch (...) {
        return nullptr;
    }
    float* const* channels = buffer ? buffer->floatChannelData() : nullptr;
    if (!channels) return nullptr;
    buffer->setFrameLength(frames);
    int16ToFloat(request.source, channels[0], frames);
    return buffer;
}

// Schedules a buffer already counted as queued. When that fails the count is taken back (unless
// the generation ended meanwhile, which zeroed it), so that no wait is held open by it.
bool PlaybackQueue::hand(std::shared_ptr<platform::PCMBuffer> buffer, platform::PlayerNode& player,
                         SchedulingRequest& request) {
    try {
        auto record = std::make_shared<ScheduledBuffer>();
        record->counters = counters_;
        record->snapshot = request.snapshot;
        record->frameCount = request.frameCount;
        player.scheduleBuffer(std::move(buffer), platform::CompletionCallbackType::dataPlayedBack,
                              [record](platform::CompletionCallbackType) {
                                  if (record->completed.exchange(true)) return;
                                  if (auto counters = record->counters.lock()) {
                                      counters->completed(record->snapshot, record->frameCount);
                                  }
                              });
        return true;
    } catch (...) {
    }
    {
        ConditionLock hold(counters_->stateCondition);
        if (counters_->generation == request.snapshot) {
            counters_->queuedPlaybackFrames = std::max<int64_t>(0, counters_->queuedPlaybackFrames - request.frameCount);
            counters_->stateCondition.broadcast();
        }
    }
    request.scheduled = false;
    lastError_.set(base::texts::bufferFailure);
    return false;
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
    // Without a control thread no start has succeeded, so there is no player to reach.
    if (!controlQueue_.hasThread()) return;
    controlQueue_.sync([this, wasRunning] {
        // Writes admitted after the generation ended above may have reached the player before this
        // runs. The stop drops them unplayed, so their generation ends with them.
        endGeneration(Ending::playerDrop);
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
