#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/pulse/pulse_options.h"
#include "platform/pulse/voice_processor.h"

struct pa_threaded_mainloop;

namespace mivo::platform::pulse {

class PulseNotificationCenter;
class PulsePlayerNode;
class Deadline;
class ServerAccess;

// One connection to the PulseAudio server per run, with its own event-loop thread: a record
// stream on the default source feeds the input node's tap, and a playback stream on the default
// sink plays the mix of every attached player. Every callback of a run (tap, completion handlers,
// configuration-change observers) runs on that thread.
//
// Its code is split by role: pulse_engine.cpp (graph, nodes' questions, exclusion),
// pulse_engine_lifecycle.cpp (start and teardown), pulse_engine_events.cpp (stream and server
// events, change notifications), pulse_engine_capture.cpp and pulse_engine_render.cpp (the two
// audio paths and the completion tick).
class PulseEngine final : public AudioEngine, public std::enable_shared_from_this<PulseEngine> {
public:
    static std::shared_ptr<PulseEngine> create(std::shared_ptr<PulseNotificationCenter> notificationCenter,
                                               std::shared_ptr<ServerAccess> server, PulsePlatformOptions options);
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

    // With callbacks excluded: a player dropped audio that it had rendered. What the server still
    // holds of it is flushed unless another player's audio is among it, so that the loudspeaker
    // goes quiet at once; the echo reference is told when that happens.
    void dropRenderedAudio();

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
    struct RunCallbacks;

    PulseEngine(std::shared_ptr<PulseNotificationCenter> notificationCenter, std::shared_ptr<ServerAccess> server,
                PulsePlatformOptions options);

    // Start and teardown.
    bool open(Session& session, std::string& failure);
    bool renderFormatForRun(AudioFormat& format, std::string& failure) const;
    bool useDefaultDevices(Session& session, const Deadline& deadline, std::string& failure);
    bool prepareRun(Session& session, const AudioFormat& renderFormat, std::string& failure);
    bool openStreams(Session& session, const Deadline& deadline, std::string& failure);
    void close(std::unique_ptr<Session> session);
    void endRunFromCallback(Session& session);
    void rewindPlayers();

    // The audio paths.
    void prepareTapStorage(Session& session);
    void capture(Session& session);
    bool takeCaptureFrames(Session& session, const float* samples, size_t frames);
    void deferCapture(Session& session, uint64_t afterMicroseconds);
    bool fallenBehind(Session& session);
    void noteRecordBacklog(Session& session);
    bool processCaptureFrame(Session& session, int64_t framesAfterReadIndex);
    static CaptureTiming captureTiming(Session& session, int64_t framesAfterReadIndex);
    bool deliverTap(Session& session);
    void render(Session& session, size_t requestedBytes);
    void mixFrame(Session& session);
    void tick(Session& session);
    void completePlayedBuffers(Session& session);

    // Events.
    void postConfigurationChange(Session& session);
    void deliverConfigurationChange(Session& session);

    const std::shared_ptr<PulseNotificationCenter> notificationCenter_;
    const std::shared_ptr<ServerAccess> server_;
    const PulsePlatformOptions options_;
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
