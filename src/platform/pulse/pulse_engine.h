#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/pulse/voice_processor.h"

struct pa_threaded_mainloop;

namespace mivo::platform::pulse {

class ObserverRegistry;
class PulsePlayerNode;

struct EngineOptions {
    // Bound on each synchronous question to the server (formats of the default devices).
    std::chrono::milliseconds queryTimeout{2000};
    // Bound on start: connecting, looking up the devices and getting both streams ready.
    std::chrono::milliseconds startTimeout{3000};
    // Makes the voice-processing stage of each run; pass-through when empty.
    VoiceProcessorFactory makeVoiceProcessor;
};

// One connection to the PulseAudio server per run, with its own event-loop thread: a record
// stream on the default source feeds the input node's tap, and a playback stream on the default
// sink plays the mix of every attached player. Every callback of a run (tap, completion handlers,
// configuration-change observers) runs on that thread.
class PulseEngine final : public AudioEngine, public std::enable_shared_from_this<PulseEngine> {
public:
    static std::shared_ptr<PulseEngine> create(std::shared_ptr<ObserverRegistry> center, EngineOptions options);
    ~PulseEngine() override;
    PulseEngine(const PulseEngine&) = delete;
    PulseEngine& operator=(const PulseEngine&) = delete;

    std::shared_ptr<InputNode> inputNode() override;
    std::shared_ptr<OutputNode> outputNode() override;
    std::shared_ptr<MixerNode> mainMixerNode() override;
    void attachNode(const std::shared_ptr<PlayerNode>& node) override;
    void connect(const std::shared_ptr<AudioNode>& from, const std::shared_ptr<AudioNode>& to,
                 const AudioFormat& format) override;
    void prepare() override {}
    std::optional<PlatformError> start() override;
    void stop() override;

    // While one is held no callback of this engine runs, and none starts. Taken from inside one
    // of the engine's own callbacks it holds nothing: that thread already excludes the others.
    class CallbackExclusion {
    public:
        CallbackExclusion() = default;
        CallbackExclusion(CallbackExclusion&& other) noexcept;
        CallbackExclusion& operator=(CallbackExclusion&&) = delete;
        ~CallbackExclusion();

    private:
        friend class PulseEngine;
        std::unique_lock<std::mutex> lifecycle_;
        pa_threaded_mainloop* loop_ = nullptr;
    };
    CallbackExclusion excludeCallbacks();

    // The echo reference no longer matches what will be heard (a player dropped rendered audio).
    void noteDiscontinuity() { discontinuity_.store(true, std::memory_order_release); }

    // True on the engine's event-loop thread while it runs one of this engine's callbacks.
    bool inCallback() const;

    // What the nodes ask.
    AudioFormat inputFormat() const;
    AudioFormat outputFormat() const;
    AudioFormat mixerFormat() const;
    // Enabling makes the processing stage at once, so that a failure is reported here.
    std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled);
    void setInputMuted(bool muted) { muted_.store(muted); }
    void setBypassed(bool bypassed) { bypassed_.store(bypassed); }
    void setAGCEnabled(bool enabled) { agc_.store(enabled); }
    void installTap(uint32_t bufferSize, TapBlock block);
    void removeTap();

private:
    struct Session;
    struct Callbacks;

    PulseEngine(std::shared_ptr<ObserverRegistry> center, EngineOptions options);

    bool open(Session& session, std::string& failure);
    void close(std::unique_ptr<Session> session);
    void prepareTapStorage(Session& session);
    void capture(Session& session);
    bool processCaptureFrame(Session& session, int64_t framesAfterReadIndex);
    static CaptureTiming captureTiming(Session& session, int64_t framesAfterReadIndex);
    bool deliverTap(Session& session);
    void render(Session& session, size_t requestedBytes);
    void tick(Session& session);
    void postConfigurationChange(Session& session);
    void rewindPlayers();

    const std::shared_ptr<ObserverRegistry> center_;
    const EngineOptions options_;
    std::shared_ptr<InputNode> input_;
    std::shared_ptr<OutputNode> output_;
    std::shared_ptr<MixerNode> mixer_;

    // Held by start, stop and every exclusion taken off the event-loop thread. The event-loop
    // thread never takes it, so a callback can never wait for a stop that waits for it.
    std::mutex lifecycle_;
    // The current run; replaced only under lifecycle_ while no callback can run.
    std::unique_ptr<Session> session_;

    std::atomic<bool> voiceProcessing_{false};
    // Made when voice processing is enabled, taken by the next run; guarded by lifecycle_.
    std::unique_ptr<VoiceProcessor> preparedProcessor_;
    std::atomic<bool> muted_{false};
    std::atomic<bool> bypassed_{false};
    std::atomic<bool> agc_{false};
    std::atomic<bool> discontinuity_{false};
    // Threads waiting to exclude callbacks. The loop thread re-takes its lock at once after every
    // dispatch, so while someone waits, callbacks that could keep it busy (a slow tap working
    // through a backlog) put their work off and let the loop reach its poll.
    std::atomic<int> exclusionsWanted_{0};

    // Read by callbacks; changed only with callbacks excluded.
    std::vector<std::shared_ptr<PulsePlayerNode>> players_;
    std::shared_ptr<TapBlock> tap_;
    uint32_t tapSize_ = 0;
    // A tap removed or replaced from inside itself lives until that call has returned.
    std::shared_ptr<TapBlock> retiredTap_;
    bool tapCalling_ = false;
    bool tapResizePending_ = false;

    // The formats of the two connections; read when a run starts.
    mutable std::mutex graphMutex_;
    AudioFormat playerFormat_;
    std::optional<AudioFormat> mixerOutputFormat_;
};

}  // namespace mivo::platform::pulse
