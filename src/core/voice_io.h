#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/atomic_shared.h"
#include "base/last_error.h"
#include "capture/capture_path.h"
#include "platform/audio_platform.h"
#include "playback/playback_queue.h"

namespace mivo::testing {
struct VoiceIOProbe;
}

namespace mivo::core {

// The instance behind a handle. It composes the capture path and the playback queue, keeps the last
// error, and starts and stops the platform's engine objects: start builds them, stop (the single
// teardown) takes them down, and a device change ends the run without taking anything down.
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

    // Start sequence; true when running on return.
    bool start() noexcept;
    // Back to idle; safe in any state, any number of times. Every step runs even when a platform
    // call in an earlier one throws.
    void stop() noexcept;
    // The engine reported that its devices changed.
    void handleConfigurationChange() noexcept;

    void setLastError(std::string_view text) noexcept { lastError_.set(text); }
    int64_t copyLastError(char* buffer, int64_t capacity) const noexcept {
        return lastError_.copy(buffer, capacity);
    }

    capture::Int16RingBuffer& captureRing() { return capture_.captureRing(); }
    const platform::AudioFormat& captureFormat() const { return capture_.captureFormat(); }
    const platform::AudioFormat& playbackFormat() const { return playback_.playbackFormat(); }

    int32_t writePlayback(const void* source, int64_t frameCount) {
        return playback_.writePlayback(source, frameCount);
    }
    int32_t waitForPlayback() { return playback_.waitForPlayback(); }
    void interruptPlayback() { playback_.interruptPlayback(); }
    uint64_t playedFrames() const { return playback_.playedFrames(); }

private:
    friend struct testing::VoiceIOProbe;  // reads the private state in tests

    void buildAndStartGraph();
    void installCaptureTap(platform::InputNode& input, const platform::AudioFormat& inputFormat);
    void failStart(std::string_view reason) noexcept;
    void removeConfigurationObserver() noexcept;
    void tearDownGraph() noexcept;

    const std::shared_ptr<platform::AudioPlatform> platform_;
    base::LastError lastError_;
    capture::CapturePath capture_;
    playback::PlaybackQueue playback_;
    // Written only by start and stop, which the host calls one at a time.
    base::AtomicShared<platform::AudioEngine> engine_;
    std::shared_ptr<platform::ObserverToken> configurationObserver_;
    bool tapInstalled_ = false;
};

}  // namespace mivo::core
