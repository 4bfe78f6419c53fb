#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "capture/int16_ring_buffer.h"
#include "core/atomic_shared.h"
#include "core/condition.h"
#include "core/serial_queue.h"
#include "platform/audio_platform.h"

namespace mivo::core {

inline constexpr int64_t captureRingCapacity = 80000;
inline constexpr const char* controlQueueLabel = "mivo.voice-processing.control";

// Working buffers of one installed tap, reused from one tap buffer to the next while their
// sizes stay the same. Touched only by that tap, which the platform never runs concurrently.
struct CaptureScratch {
    std::shared_ptr<platform::PCMBuffer> mono;
    std::shared_ptr<platform::PCMBuffer> output;
};

// The instance behind a handle: the capture ring, the control queue, the shared state and,
// while started, the platform's engine objects.
class VoiceIO : public std::enable_shared_from_this<VoiceIO> {
public:
    explicit VoiceIO(std::shared_ptr<platform::AudioPlatform> platform);
    // Teardown: stops once more, then releases everything.
    ~VoiceIO();
    VoiceIO(const VoiceIO&) = delete;
    VoiceIO& operator=(const VoiceIO&) = delete;

    static std::shared_ptr<VoiceIO> create(std::shared_ptr<platform::AudioPlatform> platform) {
        return std::make_shared<VoiceIO>(std::move(platform));
    }

    // Start sequence; true when running on return. Never throws.
    bool start();
    // Back to idle; safe in any state, any number of times.
    void stop();

    void setLastError(std::string text);
    int64_t copyLastError(char* buffer, int64_t capacity) const;

    // One input-tap buffer: loudest channel, converted to 16 kHz int16, into the ring.
    void processCapture(const platform::PCMBuffer& buffer, CaptureScratch& scratch);
    // The engine reported that its devices changed.
    void handleConfigurationChange();

    int32_t writePlayback(const int16_t* source, int64_t frameCount);
    int32_t waitForPlayback();
    void interruptPlayback();
    uint64_t playedFrames();

    capture::Int16RingBuffer& captureRing() { return captureRing_; }
    const platform::AudioFormat& captureFormat() const { return captureFormat_; }
    const platform::AudioFormat& playbackFormat() const { return playbackFormat_; }

    // A consistent view of the shared state, for tests and diagnostics.
    struct State {
        bool running;
        uint64_t generation;
        int64_t queuedPlaybackFrames;
        uint64_t playedFrames;
        bool hasEngine;
        bool hasPlayer;
        bool hasCaptureConverter;
        bool hasCaptureConverterInputFormat;
        bool hasConfigurationObserver;
        bool tapInstalled;
    };
    State inspect();

private:
    struct SchedulingRequest;

    void buildAndStartGraph();
    void removeConfigurationObserver();
    void endGeneration(bool clearRunning);
    void tearDownGraph();
    void schedule(SchedulingRequest& request);
    void playbackCompleted(uint64_t snapshot, int64_t frameCount);

    const std::shared_ptr<platform::AudioPlatform> platform_;

    capture::Int16RingBuffer captureRing_;
    SerialQueue controlQueue_;
    Condition stateCondition_;
    mutable std::mutex errorLock_;
    const platform::AudioFormat captureFormat_;
    const platform::AudioFormat playbackFormat_;
    AtomicShared<platform::AudioEngine> engine_;
    AtomicShared<platform::PlayerNode> player_;
    AtomicShared<platform::AudioConverter> captureConverter_;
    AtomicShared<const platform::AudioFormat> captureConverterInputFormat_;
    std::shared_ptr<platform::ObserverToken> configurationObserver_;
    bool tapInstalled_ = false;
    bool running_ = false;
    uint64_t generation_ = 0;
    int64_t queuedPlaybackFrames_ = 0;
    uint64_t playedFrames_ = 0;
    std::string lastError_;
};

}  // namespace mivo::core
