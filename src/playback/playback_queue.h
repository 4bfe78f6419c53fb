#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/atomic_shared.h"
#include "base/condition.h"
#include "base/last_error.h"
#include "base/serial_queue.h"
#include "platform/audio_platform.h"

namespace mivo::testing {
struct VoiceIOProbe;
}

namespace mivo::playback {

inline constexpr int64_t backPressureLimit = 9600;  // 200 ms at 48 kHz
inline constexpr auto capacityWaitLimit = std::chrono::seconds(5);
inline constexpr auto playbackWaitLimit = std::chrono::seconds(5);
inline constexpr const char* controlQueueLabel = "mivo.voice-processing.control";

// From the host to the player: admission with back-pressure, scheduling on the control queue,
// completions that count what was played, the wait for the queue to empty and the interruption.
// It also holds the running flag, which every admission and wait tests under the same lock.
//
// A generation names the current epoch of playback work. Stop, an interruption and a device
// change each end it; work begun in an earlier generation schedules nothing more and counts nothing.
class PlaybackQueue {
public:
    PlaybackQueue(platform::AudioPlatform& platform, base::LastError& lastError);
    PlaybackQueue(const PlaybackQueue&) = delete;
    PlaybackQueue& operator=(const PlaybackQueue&) = delete;

    const platform::AudioFormat& playbackFormat() const { return playbackFormat_; }

    // The run, as start, stop and a device change move it.
    bool isRunning() const;
    // False when the system gives no thread for the control queue.
    bool startControlThread() noexcept { return controlQueue_.startThread(); }
    void usePlayer(std::shared_ptr<platform::PlayerNode> player) noexcept;
    void markRunning();
    // Clears running and ends the generation, running or not.
    void endRun() noexcept;
    // The same, but only while running; false (and nothing changed) otherwise.
    bool endRunIfRunning() noexcept;
    // Drops what the player holds, after any scheduling or interruption already on the control
    // queue. A player call that throws does not keep the other from being made.
    void stopPlayer() noexcept;
    void releasePlayer() noexcept;

    // 1 scheduled (also for no frames), 0 its generation ended meanwhile, -1 failed.
    // `source`: native-endian int16 frames, at any address.
    int32_t writePlayback(const void* source, int64_t frameCount);
    // 1 everything queued has played, 0 interrupted, -1 failed.
    int32_t waitForPlayback();
    // Ends the generation at once; throws when the player could not be stopped.
    void interruptPlayback();
    uint64_t playedFrames() const;

private:
    friend struct testing::VoiceIOProbe;  // reads the private state in tests

    // Everything stateCondition guards.
    struct Counters {
        base::Condition stateCondition;
        bool running = false;
        uint64_t generation = 0;
        int64_t queuedPlaybackFrames = 0;
        uint64_t playedFrames = 0;

        // A buffer of `snapshot`'s generation has been played.
        void completed(uint64_t snapshot, int64_t frameCount) noexcept;
    };
    struct SchedulingRequest;
    struct ScheduledBuffer;
    enum class Ending { interruption, stop, deviceChange, playerDrop };
    enum class WaitOutcome { ready, notRunning, timedOut, stopped, cancelled };

    bool endGeneration(Ending ending) noexcept;
    template <typename Ready>
    WaitOutcome waitWhileRunning(base::Condition::Clock::duration limit, uint64_t& snapshot, Ready ready);
    static std::string_view failureText(WaitOutcome outcome, std::string_view timedOut);
    void schedule(SchedulingRequest& request);
    std::shared_ptr<platform::PCMBuffer> makeBuffer(const SchedulingRequest& request);
    bool hand(std::shared_ptr<platform::PCMBuffer> buffer, platform::PlayerNode& player, SchedulingRequest& request);

    platform::AudioPlatform& platform_;
    base::LastError& lastError_;
    base::SerialQueue controlQueue_;
    const platform::AudioFormat playbackFormat_;
    base::AtomicShared<platform::PlayerNode> player_;
    // Shared with the completion handlers, which hold it weakly and do nothing once it is gone.
    const std::shared_ptr<Counters> counters_;
};

}  // namespace mivo::playback
