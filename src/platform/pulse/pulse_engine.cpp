#include "platform/pulse/pulse_engine.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "platform/pulse/observer_registry.h"
#include "platform/pulse/pulse_player_node.h"
#include "platform/pulse/server_query.h"

namespace mivo::platform::pulse {

namespace {

constexpr pa_usec_t tickInterval = 10 * PA_USEC_PER_MSEC;
constexpr uint32_t playbackTargetMilliseconds = 40;
constexpr uint32_t frameMilliseconds = 10;

// The engine whose callback this thread is running, if any. Callbacks mark themselves, so an
// operation can tell that it was called from inside one and must not wait for it.
thread_local const void* callbackOwner = nullptr;

class CallbackScope {
public:
    explicit CallbackScope(const void* owner) : previous_(callbackOwner) { callbackOwner = owner; }
    ~CallbackScope() { callbackOwner = previous_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const void* previous_;
};

uint32_t bytesFor(uint32_t milliseconds, uint32_t rate, uint32_t channels) {
    return milliseconds * (rate / 1000) * channels * static_cast<uint32_t>(sizeof(float));
}

std::string serverError(pa_context* context) {
    return context ? pa_strerror(pa_context_errno(context)) : "no connection";
}

AudioFormat unusableFormat() { return AudioFormat{CommonFormat::float32, 0.0, 0, false}; }

class PulseInputNode final : public InputNode {
public:
    explicit PulseInputNode(std::weak_ptr<PulseEngine> engine) : engine_(std::move(engine)) {}

    AudioFormat outputFormatForBus(uint32_t) const override {
        auto engine = engine_.lock();
        return engine ? engine->inputFormat() : unusableFormat();
    }
    std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled) override {
        auto engine = engine_.lock();
        if (!engine) return PlatformError{"The audio engine is gone"};
        return engine->setVoiceProcessingEnabled(enabled);
    }
    void setVoiceProcessingInputMuted(bool muted) override {
        if (auto engine = engine_.lock()) engine->setInputMuted(muted);
    }
    void setVoiceProcessingBypassed(bool bypassed) override {
        if (auto engine = engine_.lock()) engine->setBypassed(bypassed);
    }
    void setVoiceProcessingAGCEnabled(bool enabled) override {
        if (auto engine = engine_.lock()) engine->setAGCEnabled(enabled);
    }
    // Taps always get the node's own format; only the size is the caller's.
    void installTapOnBus(uint32_t, uint32_t bufferSize, const AudioFormat&, TapBlock block) override {
        if (auto engine = engine_.lock()) engine->installTap(bufferSize, std::move(block));
    }
    void removeTapOnBus(uint32_t) override {
        if (auto engine = engine_.lock()) engine->removeTap();
    }

private:
    const std::weak_ptr<PulseEngine> engine_;
};

class PulseOutputNode final : public OutputNode {
public:
    explicit PulseOutputNode(std::weak_ptr<PulseEngine> engine) : engine_(std::move(engine)) {}
    AudioFormat outputFormatForBus(uint32_t) const override {
        auto engine = engine_.lock();
        return engine ? engine->outputFormat() : unusableFormat();
    }

private:
    const std::weak_ptr<PulseEngine> engine_;
};

class PulseMixerNode final : public MixerNode {
public:
    explicit PulseMixerNode(std::weak_ptr<PulseEngine> engine) : engine_(std::move(engine)) {}
    AudioFormat outputFormatForBus(uint32_t) const override {
        auto engine = engine_.lock();
        return engine ? engine->mixerFormat() : unusableFormat();
    }

private:
    const std::weak_ptr<PulseEngine> engine_;
};

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

// Everything one run owns. Its callbacks get it as their userdata.
struct PulseEngine::Session {
    Session(PulseEngine& engine) : owner(&engine), weakOwner(engine.weak_from_this()) {}

    const void* const owner;
    const std::weak_ptr<PulseEngine> weakOwner;

    pa_threaded_mainloop* mainloop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_stream* record = nullptr;
    pa_stream* playback = nullptr;
    pa_time_event* ticker = nullptr;
    pa_defer_event* changeEvent = nullptr;

    bool started = false;         // start has returned success
    bool closing = false;         // teardown has begun: streams and connection ending is expected
    bool closed = false;          // torn down from its own thread; its loop thread ends by itself
    bool changePosted = false;

    DeviceInfo source;
    DeviceInfo sink;

    bool voiceProcessing = false;
    uint32_t captureChannels = 1;
    // With voice processing on the server delivers the voice rate; otherwise the render rate.
    uint32_t captureRate = renderRate;
    uint32_t captureFrameLength = renderFrameLength;
    std::vector<float> frameStorage;
    std::vector<float*> frame;
    uint32_t frameFill = 0;
    std::vector<float> tapStorage;
    std::vector<float*> tapChannels;
    uint32_t tapLength = 0;
    uint32_t tapFill = 0;
    uint64_t capturedFrames = 0;

    uint32_t renderChannels = 1;
    std::vector<float> mixStorage;
    std::vector<float*> mix;
    std::vector<float> interleaved;
    uint64_t writtenFrames = 0;

    std::unique_ptr<VoiceProcessor> processor;
};

// The C callbacks: each marks the thread as inside this engine's callback and holds the engine
// for the whole call, so a block that drops the last other reference cannot free it under us.
struct PulseEngine::Callbacks {
    static void contextState(pa_context* context, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        pa_threaded_mainloop_signal(s->mainloop, 0);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) requestChange(*s);
    }

    static void streamState(pa_stream* stream, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        pa_threaded_mainloop_signal(s->mainloop, 0);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) requestChange(*s);
    }

    static void moved(pa_stream*, void* userdata) { requestChange(*static_cast<Session*>(userdata)); }

    static void suspended(pa_stream* stream, void* userdata) {
        if (pa_stream_is_suspended(stream) > 0) requestChange(*static_cast<Session*>(userdata));
    }

    static void underflow(pa_stream*, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        if (s->processor) s->processor->noteDiscontinuity(Discontinuity::renderUnderrun);
    }

    static void readable(pa_stream*, size_t, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        CallbackScope scope(s->owner);
        auto engine = s->weakOwner.lock();
        if (engine) engine->capture(*s);
    }

    static void writable(pa_stream*, size_t bytes, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        CallbackScope scope(s->owner);
        auto engine = s->weakOwner.lock();
        if (engine) engine->render(*s, bytes);
    }

    static void ticked(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        CallbackScope scope(s->owner);
        auto engine = s->weakOwner.lock();
        if (!engine) return;
        engine->tick(*s);
        if (!s->closing) pa_context_rttime_restart(s->context, event, pa_rtclock_now() + tickInterval);
    }

    static void changed(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
        api->defer_enable(event, 0);
        auto* s = static_cast<Session*>(userdata);
        CallbackScope scope(s->owner);
        auto engine = s->weakOwner.lock();
        if (engine) engine->postConfigurationChange(*s);
    }

    static void subscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                             void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        pa_operation* operation = nullptr;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            operation = pa_context_get_server_info(context, serverChanged, s);
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == s->sink.index) {
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) requestChange(*s);
            else operation = pa_context_get_sink_info_by_index(context, index, sinkChanged, s);
        } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && index == s->source.index) {
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) requestChange(*s);
            else operation = pa_context_get_source_info_by_index(context, index, sourceChanged, s);
        }
        if (operation) pa_operation_unref(operation);
    }

    static void serverChanged(pa_context*, const pa_server_info* info, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        if (!info) return;
        const ServerDefaults now = serverDefaultsOf(*info);
        if (now.sinkName != s->sink.name || now.sourceName != s->source.name) requestChange(*s);
    }

    static void sinkChanged(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        if (eol == 0 && info && deviceInfoOf(*info).activePort != s->sink.activePort) requestChange(*s);
    }

    static void sourceChanged(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        if (eol == 0 && info && deviceInfoOf(*info).activePort != s->source.activePort) requestChange(*s);
    }

    static void serverInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* answer = static_cast<std::pair<Session*, std::optional<ServerDefaults>>*>(userdata);
        if (info) answer->second = serverDefaultsOf(*info);
        pa_threaded_mainloop_signal(answer->first->mainloop, 0);
    }

    template <typename Info>
    static void deviceInfo(pa_context*, const Info* info, int eol, void* userdata) {
        auto* answer = static_cast<std::pair<Session*, std::optional<DeviceInfo>>*>(userdata);
        if (eol == 0 && info) answer->second = deviceInfoOf(*info);
        pa_threaded_mainloop_signal(answer->first->mainloop, 0);
    }

    static void wake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }

    // Posting happens from a deferred event, outside the library's own callback stacks, and at
    // most once per run: after it the run is over for the core.
    static void requestChange(Session& s) {
        if (!s.started || s.closing || s.changePosted) return;
        s.changePosted = true;
        s.api->defer_enable(s.changeEvent, 1);
    }

    static void closeStream(pa_stream*& stream) {
        if (!stream) return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    // With the loop locked, or on the loop thread: after this no callback of the run can come.
    static void closeConnections(Session& s) {
        s.closing = true;
        if (s.ticker) {
            s.api->time_free(s.ticker);
            s.ticker = nullptr;
        }
        if (s.changeEvent) {
            s.api->defer_free(s.changeEvent);
            s.changeEvent = nullptr;
        }
        closeStream(s.record);
        closeStream(s.playback);
        if (s.context) {
            pa_context_set_state_callback(s.context, nullptr, nullptr);
            pa_context_set_subscribe_callback(s.context, nullptr, nullptr);
            pa_context_disconnect(s.context);
            pa_context_unref(s.context);
            s.context = nullptr;
        }
    }

    // Waits, with the loop locked, until `done` or the deadline.
    template <typename Done>
    static bool waitUntil(Session& s, std::chrono::steady_clock::time_point deadline, Done done) {
        // A callback may end the run while start waits (a block that stops the engine).
        while (!s.closed && !done()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
            pa_time_event* alarm = pa_context_rttime_new(s.context, pa_rtclock_now() + static_cast<pa_usec_t>(remaining),
                                                         wake, s.mainloop);
            pa_threaded_mainloop_wait(s.mainloop);
            if (alarm) s.api->time_free(alarm);
        }
        return !s.closed;
    }

    static bool await(Session& s, pa_operation* operation, std::chrono::steady_clock::time_point deadline) {
        if (!operation) return false;
        // Some operations have no result callback of their own; every one wakes the waiter.
        pa_operation_set_state_callback(
            operation, [](pa_operation*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            s.mainloop);
        const bool finished = waitUntil(s, deadline, [&] {
            return pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
                   !PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context));
        });
        if (s.closed) {
            pa_operation_unref(operation);
            return false;
        }
        pa_operation_set_state_callback(operation, nullptr, nullptr);
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return finished;
    }
};

PulseEngine::CallbackExclusion::CallbackExclusion(CallbackExclusion&& other) noexcept
    : lifecycle_(std::move(other.lifecycle_)), loop_(std::exchange(other.loop_, nullptr)) {}

PulseEngine::CallbackExclusion::~CallbackExclusion() {
    if (loop_) pa_threaded_mainloop_unlock(loop_);
}

std::shared_ptr<PulseEngine> PulseEngine::create(std::shared_ptr<ObserverRegistry> center, EngineOptions options) {
    std::shared_ptr<PulseEngine> engine(new PulseEngine(std::move(center), std::move(options)));
    engine->input_ = std::make_shared<PulseInputNode>(engine);
    engine->output_ = std::make_shared<PulseOutputNode>(engine);
    engine->mixer_ = std::make_shared<PulseMixerNode>(engine);
    return engine;
}

PulseEngine::PulseEngine(std::shared_ptr<ObserverRegistry> center, EngineOptions options)
    : center_(std::move(center)), options_(std::move(options)), playerFormat_(standardFormat(renderRate, 1)) {}

PulseEngine::~PulseEngine() {
    if (!inCallback()) {
        stop();
        return;
    }
    // The last reference went inside one of our own callbacks: end the run from here and let a
    // thread of its own wait for the loop thread, which cannot join itself.
    Session* session = session_.release();
    if (!session) return;
    if (!session->closed) {
        Callbacks::closeConnections(*session);
        session->closed = true;
        session->api->quit(session->api, 0);
        pa_threaded_mainloop_signal(session->mainloop, 0);
    }
    std::thread([session] {
        pa_threaded_mainloop_free(session->mainloop);
        delete session;
    }).detach();
}

bool PulseEngine::inCallback() const { return callbackOwner == this; }

std::shared_ptr<InputNode> PulseEngine::inputNode() { return input_; }
std::shared_ptr<OutputNode> PulseEngine::outputNode() { return output_; }
std::shared_ptr<MixerNode> PulseEngine::mainMixerNode() { return mixer_; }

PulseEngine::CallbackExclusion PulseEngine::excludeCallbacks() {
    CallbackExclusion exclusion;
    if (inCallback()) return exclusion;
    exclusionsWanted_.fetch_add(1);
    exclusion.lifecycle_ = std::unique_lock<std::mutex>(lifecycle_);
    if (session_ && session_->mainloop) {
        pa_threaded_mainloop_lock(session_->mainloop);
        exclusion.loop_ = session_->mainloop;
    }
    exclusionsWanted_.fetch_sub(1);
    return exclusion;
}

void PulseEngine::attachNode(const std::shared_ptr<PlayerNode>& node) {
    auto player = std::dynamic_pointer_cast<PulsePlayerNode>(node);
    if (!player) return;
    player->attachTo(shared_from_this());
    auto exclusion = excludeCallbacks();
    if (std::find(players_.begin(), players_.end(), player) == players_.end()) players_.push_back(player);
}

void PulseEngine::connect(const std::shared_ptr<AudioNode>& from, const std::shared_ptr<AudioNode>& to,
                          const AudioFormat& format) {
    if (auto player = std::dynamic_pointer_cast<PulsePlayerNode>(from); player && to == mixer_) {
        player->setFormat(format);
        std::lock_guard<std::mutex> hold(graphMutex_);
        playerFormat_ = format;
    } else if (from == mixer_ && to == output_) {
        std::lock_guard<std::mutex> hold(graphMutex_);
        mixerOutputFormat_ = format;
    }
}

AudioFormat PulseEngine::inputFormat() const {
    if (voiceProcessing_.load()) return standardFormat(voiceRate, 1);
    ServerQuery query(options_.queryTimeout);
    const auto source = query.defaultSource();
    if (!source || source->channels == 0) return unusableFormat();
    return standardFormat(renderRate, source->channels);
}

AudioFormat PulseEngine::outputFormat() const {
    ServerQuery query(options_.queryTimeout);
    const auto sink = query.defaultSink();
    if (!sink || sink->channels == 0) return unusableFormat();
    return standardFormat(sink->sampleRate, sink->channels);
}

AudioFormat PulseEngine::mixerFormat() const {
    std::lock_guard<std::mutex> hold(graphMutex_);
    return mixerOutputFormat_.value_or(standardFormat(renderRate, 1));
}

void PulseEngine::installTap(uint32_t bufferSize, TapBlock block) {
    auto installed = std::make_shared<TapBlock>(std::move(block));
    std::shared_ptr<TapBlock> previous;
    {
        auto exclusion = excludeCallbacks();
        previous = std::exchange(tap_, std::move(installed));
        tapSize_ = std::max<uint32_t>(bufferSize, 1);
        if (tapCalling_ && inCallback()) {
            // The running tap reads the storage that a resize would free: resize once it returns.
            retiredTap_ = previous;
            tapResizePending_ = true;
        } else if (session_) {
            prepareTapStorage(*session_);
        }
    }
}

void PulseEngine::removeTap() {
    std::shared_ptr<TapBlock> previous;
    {
        auto exclusion = excludeCallbacks();
        previous = std::move(tap_);
        if (tapCalling_ && inCallback()) retiredTap_ = previous;
    }
    // The block is destroyed here, outside every lock (or later, when it removed itself).
}

void PulseEngine::prepareTapStorage(Session& s) {
    s.tapLength = std::max<uint32_t>(tapSize_, 1);
    s.tapStorage.assign(size_t{s.tapLength} * s.captureChannels, 0.0f);
    s.tapChannels.resize(s.captureChannels);
    for (uint32_t c = 0; c < s.captureChannels; ++c) s.tapChannels[c] = s.tapStorage.data() + size_t{c} * s.tapLength;
    s.tapFill = 0;
}

std::optional<PlatformError> PulseEngine::setVoiceProcessingEnabled(bool enabled) {
    if (inCallback()) return PlatformError{"Voice processing cannot be changed from inside the engine's callbacks"};
    std::lock_guard<std::mutex> life(lifecycle_);
    if (enabled && !preparedProcessor_ && options_.makeVoiceProcessor) {
        std::string failure;
        preparedProcessor_ = options_.makeVoiceProcessor(failure);
        if (!preparedProcessor_) return PlatformError{std::move(failure)};
    }
    voiceProcessing_.store(enabled);
    return std::nullopt;
}

std::optional<PlatformError> PulseEngine::start() {
    if (inCallback()) {
        if (session_ && !session_->closed) return std::nullopt;
        return PlatformError{"The audio engine cannot be restarted from inside its own callbacks"};
    }
    std::unique_lock<std::mutex> life(lifecycle_);
    if (session_) {
        bool closed = false;
        {
            MainloopLock hold(session_->mainloop);
            closed = session_->closed;
        }
        if (!closed) return std::nullopt;
        close(std::move(session_));
    }
    // In place before its loop thread exists: callbacks that call back into the engine find it.
    session_ = std::make_unique<Session>(*this);
    std::string failure;
    if (!open(*session_, failure)) {
        close(std::move(session_));
        return PlatformError{std::move(failure)};
    }
    return std::nullopt;
}

bool PulseEngine::open(Session& s, std::string& failure) {
    const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    const auto timeoutText = "The PulseAudio server did not answer within " +
                             std::to_string(options_.startTimeout.count()) + " ms";

    AudioFormat renderFormat;
    {
        std::lock_guard<std::mutex> hold(graphMutex_);
        renderFormat = mixerOutputFormat_.value_or(standardFormat(renderRate, 1));
        if (playerFormat_.sampleRate != renderRate) {
            failure = "The player format's sample rate does not match the mixer's output";
            return false;
        }
    }
    // The mix is made at the players' rate, whatever the rate of the mixer's connection to the
    // output (the voice rate when it is connected with the input's format): the server converts.
    if (renderFormat.commonFormat != CommonFormat::float32 || renderFormat.interleaved ||
        renderFormat.channelCount == 0 || renderFormat.channelCount > PA_CHANNELS_MAX) {
        failure = "The mixer's output format is not one the engine can play";
        return false;
    }

    s.mainloop = pa_threaded_mainloop_new();
    if (!s.mainloop) {
        failure = "Unable to create the PulseAudio event loop";
        return false;
    }
    pa_threaded_mainloop_set_name(s.mainloop, "mivo-audio");
    s.api = pa_threaded_mainloop_get_api(s.mainloop);

    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
    s.context = pa_context_new_with_proplist(s.api, clientName, properties);
    pa_proplist_free(properties);
    if (!s.context) {
        failure = "Unable to create a PulseAudio context";
        return false;
    }
    pa_context_set_state_callback(s.context, Callbacks::contextState, &s);
    // Never start a server: with none running the engine fails to start.
    if (pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = "Unable to connect to the PulseAudio server: " + serverError(s.context);
        return false;
    }
    if (pa_threaded_mainloop_start(s.mainloop) < 0) {
        failure = "Unable to start the PulseAudio event loop";
        return false;
    }

    MainloopLock hold(s.mainloop);
    const bool settled = Callbacks::waitUntil(s, deadline, [&] {
        const pa_context_state_t state = pa_context_get_state(s.context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    const std::string stoppedText = "The audio engine was stopped while it was starting";
    if (s.closed) {
        failure = stoppedText;
        return false;
    }
    if (pa_context_get_state(s.context) != PA_CONTEXT_READY) {
        failure = settled ? "Unable to connect to the PulseAudio server: " + serverError(s.context) : timeoutText;
        return false;
    }

    // Subscribe before reading the defaults, so that no change falls between the two.
    pa_context_set_subscribe_callback(s.context, Callbacks::subscription, &s);
    if (!Callbacks::await(s,
                          pa_context_subscribe(s.context,
                                               static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                                                   PA_SUBSCRIPTION_MASK_SINK |
                                                                                   PA_SUBSCRIPTION_MASK_SOURCE),
                                               nullptr, nullptr),
                          deadline)) {
        failure = timeoutText;
        return false;
    }
    std::pair<Session*, std::optional<ServerDefaults>> defaults{&s, std::nullopt};
    if (!Callbacks::await(s, pa_context_get_server_info(s.context, Callbacks::serverInfo, &defaults), deadline) ||
        !defaults.second) {
        failure = timeoutText;
        return false;
    }
    std::pair<Session*, std::optional<DeviceInfo>> source{&s, std::nullopt};
    std::pair<Session*, std::optional<DeviceInfo>> sink{&s, std::nullopt};
    if (!defaults.second->sourceName.empty()) {
        Callbacks::await(s,
                         pa_context_get_source_info_by_name(s.context, defaults.second->sourceName.c_str(),
                                                            Callbacks::deviceInfo<pa_source_info>, &source),
                         deadline);
    }
    if (!defaults.second->sinkName.empty()) {
        Callbacks::await(s,
                         pa_context_get_sink_info_by_name(s.context, defaults.second->sinkName.c_str(),
                                                          Callbacks::deviceInfo<pa_sink_info>, &sink),
                         deadline);
    }
    if (s.closed || !source.second || !sink.second || source.second->channels == 0) {
        failure = s.closed                                          ? stoppedText
                  : std::chrono::steady_clock::now() >= deadline ? timeoutText
                  : !source.second ? "No default audio input device is available"
                  : !sink.second   ? "No default audio output device is available"
                                   : "The default input device has no channels";
        return false;
    }
    s.source = *source.second;
    s.sink = *sink.second;

    // Everything the callbacks touch exists before the first of them can run.
    s.voiceProcessing = voiceProcessing_.load();
    s.captureChannels = s.voiceProcessing ? 1 : s.source.channels;
    s.captureRate = s.voiceProcessing ? voiceRate : renderRate;
    s.captureFrameLength = s.captureRate / 100;
    s.frameStorage.assign(size_t{s.captureFrameLength} * s.captureChannels, 0.0f);
    s.frame.resize(s.captureChannels);
    for (uint32_t c = 0; c < s.captureChannels; ++c) {
        s.frame[c] = s.frameStorage.data() + size_t{c} * s.captureFrameLength;
    }
    prepareTapStorage(s);
    s.renderChannels = renderFormat.channelCount;
    s.mixStorage.assign(size_t{renderFrameLength} * s.renderChannels, 0.0f);
    s.mix.resize(s.renderChannels);
    for (uint32_t c = 0; c < s.renderChannels; ++c) s.mix[c] = s.mixStorage.data() + size_t{c} * renderFrameLength;
    s.interleaved.assign(size_t{renderFrameLength} * s.renderChannels, 0.0f);
    if (s.voiceProcessing && !preparedProcessor_ && options_.makeVoiceProcessor) {
        preparedProcessor_ = options_.makeVoiceProcessor(failure);
        if (!preparedProcessor_) return false;
    }
    s.processor = std::move(preparedProcessor_);
    if (!s.processor) s.processor = std::make_unique<PassThroughVoiceProcessor>();
    discontinuity_.store(false);

    pa_proplist* streamProperties = pa_proplist_new();
    // The engine cancels its own echo; the server must not stack its canceller on top.
    pa_proplist_sets(streamProperties, "filter.suppress", "echo-cancel");

    const pa_sample_spec captureSampleFormat{PA_SAMPLE_FLOAT32NE, s.captureRate, static_cast<uint8_t>(s.captureChannels)};
    pa_channel_map captureMap;
    pa_channel_map_init_extend(&captureMap, captureSampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist_sets(streamProperties, PA_PROP_MEDIA_NAME, "Voice capture");
    s.record = pa_stream_new_with_proplist(s.context, "Voice capture", &captureSampleFormat, &captureMap, streamProperties);

    const pa_sample_spec renderSampleFormat{PA_SAMPLE_FLOAT32NE, renderRate, static_cast<uint8_t>(s.renderChannels)};
    pa_channel_map renderMap;
    pa_channel_map_init_extend(&renderMap, renderSampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist_sets(streamProperties, PA_PROP_MEDIA_NAME, "Voice playback");
    s.playback = pa_stream_new_with_proplist(s.context, "Voice playback", &renderSampleFormat, &renderMap, streamProperties);
    pa_proplist_free(streamProperties);
    if (!s.record || !s.playback) {
        failure = "Unable to create the PulseAudio streams: " + serverError(s.context);
        return false;
    }

    for (pa_stream* stream : {s.record, s.playback}) {
        pa_stream_set_state_callback(stream, Callbacks::streamState, &s);
        pa_stream_set_moved_callback(stream, Callbacks::moved, &s);
        pa_stream_set_suspended_callback(stream, Callbacks::suspended, &s);
    }
    pa_stream_set_read_callback(s.record, Callbacks::readable, &s);
    pa_stream_set_write_callback(s.playback, Callbacks::writable, &s);
    pa_stream_set_underflow_callback(s.playback, Callbacks::underflow, &s);

    const auto timing = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                       PA_STREAM_AUTO_TIMING_UPDATE);
    const uint32_t unset = static_cast<uint32_t>(-1);
    pa_buffer_attr captureAttributes{unset, unset, unset, unset,
                                     bytesFor(frameMilliseconds, s.captureRate, s.captureChannels)};
    // A short target keeps what is heard close to what is written; a small prebuffer starts it
    // at once and, after an underrun, holds the stream rather than let writes fall in the past.
    const uint32_t frameBytes = bytesFor(frameMilliseconds, renderRate, s.renderChannels);
    pa_buffer_attr renderAttributes{unset, bytesFor(playbackTargetMilliseconds, renderRate, s.renderChannels),
                                    frameBytes, frameBytes, unset};
    if (pa_stream_connect_record(s.record, s.source.name.c_str(), &captureAttributes, timing) < 0 ||
        pa_stream_connect_playback(s.playback, s.sink.name.c_str(), &renderAttributes, timing, nullptr, nullptr) < 0) {
        failure = "Unable to connect the PulseAudio streams: " + serverError(s.context);
        return false;
    }
    const bool ready = Callbacks::waitUntil(s, deadline, [&] {
        const pa_stream_state_t record = pa_stream_get_state(s.record);
        const pa_stream_state_t playback = pa_stream_get_state(s.playback);
        return (record == PA_STREAM_READY && playback == PA_STREAM_READY) || !PA_STREAM_IS_GOOD(record) ||
               !PA_STREAM_IS_GOOD(playback);
    });
    if (!ready) {
        failure = s.closed ? stoppedText : timeoutText;
        return false;
    }
    if (pa_stream_get_state(s.record) != PA_STREAM_READY) {
        failure = "The PulseAudio record stream on " + s.source.name + " failed: " + serverError(s.context);
        return false;
    }
    if (pa_stream_get_state(s.playback) != PA_STREAM_READY) {
        failure = "The PulseAudio playback stream on " + s.sink.name + " failed: " + serverError(s.context);
        return false;
    }

    s.changeEvent = s.api->defer_new(s.api, Callbacks::changed, &s);
    s.api->defer_enable(s.changeEvent, 0);
    s.ticker = pa_context_rttime_new(s.context, pa_rtclock_now() + tickInterval, Callbacks::ticked, &s);
    s.started = true;
    return true;
}

void PulseEngine::close(std::unique_ptr<Session> session) {
    if (session->mainloop) {
        {
            MainloopLock hold(session->mainloop);
            if (!session->closed) Callbacks::closeConnections(*session);
        }
        pa_threaded_mainloop_stop(session->mainloop);
        pa_threaded_mainloop_free(session->mainloop);
        session->mainloop = nullptr;
    } else {
        Callbacks::closeConnections(*session);
    }
    rewindPlayers();
}

void PulseEngine::stop() {
    if (inCallback()) {
        // From inside a callback: end the run here; the loop thread leaves when the callback
        // returns, and whoever takes the lifecycle next joins it.
        Session* s = session_.get();
        if (s && !s->closed) {
            Callbacks::closeConnections(*s);
            s->closed = true;
            s->api->quit(s->api, 0);
            // A start waiting for the server wakes and gives up.
            pa_threaded_mainloop_signal(s->mainloop, 0);
            rewindPlayers();
        }
        return;
    }
    std::unique_lock<std::mutex> life(lifecycle_);
    if (session_) close(std::move(session_));
}

void PulseEngine::rewindPlayers() {
    for (const auto& player : players_) player->rewind();
}

void PulseEngine::capture(Session& s) {
    const size_t frameBytes = size_t{s.captureChannels} * sizeof(float);
    // What is left stays queued in the stream until the next read callback.
    while (!s.closing && exclusionsWanted_.load(std::memory_order_relaxed) == 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s.record, &data, &bytes) < 0 || bytes == 0) return;
        // No data with a length is a hole in the stream, heard as silence.
        const auto* samples = static_cast<const float*>(data);
        const size_t frames = bytes / frameBytes;
        size_t at = 0;
        while (at < frames) {
            const size_t count = std::min<size_t>(frames - at, s.captureFrameLength - s.frameFill);
            for (uint32_t c = 0; c < s.captureChannels; ++c) {
                float* out = s.frame[c] + s.frameFill;
                if (!samples) {
                    std::fill(out, out + count, 0.0f);
                    continue;
                }
                const float* in = samples + at * s.captureChannels + c;
                for (size_t i = 0; i < count; ++i) out[i] = in[i * s.captureChannels];
            }
            s.frameFill += static_cast<uint32_t>(count);
            at += count;
            if (s.frameFill == s.captureFrameLength) {
                s.frameFill = 0;
                // A block may have ended the run; the stream is gone then. The frame began this
                // many frames after the read index (before it, when it began in an earlier read).
                if (!processCaptureFrame(s, static_cast<int64_t>(at) - s.captureFrameLength)) return;
            }
        }
        pa_stream_drop(s.record);
    }
}

CaptureTiming PulseEngine::captureTiming(Session& s, int64_t framesAfterReadIndex) {
    CaptureTiming timing;
    pa_usec_t playback = 0;
    pa_usec_t record = 0;
    int playbackNegative = 0;
    int recordNegative = 0;
    if (pa_stream_get_latency(s.playback, &playback, &playbackNegative) != 0 ||
        pa_stream_get_latency(s.record, &record, &recordNegative) != 0) {
        return timing;
    }
    // Until the last rendered frame is heard, plus how long ago this frame's first sample was
    // captured: the record latency counts from the read index.
    const int64_t lead = playbackNegative ? -static_cast<int64_t>(playback) : static_cast<int64_t>(playback);
    const int64_t age = (recordNegative ? -static_cast<int64_t>(record) : static_cast<int64_t>(record)) -
                        framesAfterReadIndex * 1000000 / s.captureRate;
    timing.renderLeadMicroseconds = lead + age;
    timing.known = true;
    return timing;
}

bool PulseEngine::processCaptureFrame(Session& s, int64_t framesAfterReadIndex) {
    if (s.voiceProcessing) {
        if (discontinuity_.exchange(false)) s.processor->noteDiscontinuity(Discontinuity::renderDropped);
        if (!bypassed_.load(std::memory_order_relaxed)) {
            s.processor->processVoice(s.frame[0], captureTiming(s, framesAfterReadIndex),
                                      agc_.load(std::memory_order_relaxed));
        }
        if (muted_.load(std::memory_order_relaxed)) std::fill(s.frameStorage.begin(), s.frameStorage.end(), 0.0f);
    }
    uint32_t at = 0;
    while (at < s.captureFrameLength) {
        const uint32_t count = std::min(s.captureFrameLength - at, s.tapLength - s.tapFill);
        for (uint32_t c = 0; c < s.captureChannels; ++c) {
            std::memcpy(s.tapChannels[c] + s.tapFill, s.frame[c] + at, count * sizeof(float));
        }
        s.tapFill += count;
        at += count;
        if (s.tapFill == s.tapLength) {
            s.tapFill = 0;
            if (!deliverTap(s)) return false;
        }
    }
    return true;
}

bool PulseEngine::deliverTap(Session& s) {
    const uint64_t first = s.capturedFrames;
    s.capturedFrames += s.tapLength;
    TapBlock* block = tap_.get();
    if (!block) return true;
    const BorrowedFloatBuffer buffer(standardFormat(s.captureRate, s.captureChannels), s.tapChannels.data(),
                                     s.tapLength);
    tapCalling_ = true;
    (*block)(buffer, AudioTime{first, static_cast<double>(s.captureRate)});
    tapCalling_ = false;
    if (retiredTap_) retiredTap_.reset();
    if (tapResizePending_) {
        tapResizePending_ = false;
        if (!s.closed) prepareTapStorage(s);
    }
    return !s.closing;
}

void PulseEngine::render(Session& s, size_t requestedBytes) {
    const size_t frameBytes = size_t{renderFrameLength} * s.renderChannels * sizeof(float);
    // Whole 10 ms frames, so that the echo reference sees exactly what is written; at least one,
    // or a request smaller than a frame would stall the stream.
    const size_t count = std::max<size_t>(requestedBytes / frameBytes, 1);
    for (size_t n = 0; n < count && !s.closing; ++n) {
        float* mono = s.mix[0];
        std::fill(mono, mono + renderFrameLength, 0.0f);
        for (size_t i = 0; i < players_.size(); ++i) players_[i]->mixInto(mono, renderFrameLength, s.writtenFrames);
        for (uint32_t c = 1; c < s.renderChannels; ++c) std::memcpy(s.mix[c], mono, renderFrameLength * sizeof(float));
        if (discontinuity_.exchange(false)) s.processor->noteDiscontinuity(Discontinuity::renderDropped);
        s.processor->analyzeRender(mono);

        void* data = nullptr;
        size_t bytes = frameBytes;
        if (pa_stream_begin_write(s.playback, &data, &bytes) < 0 || !data || bytes < frameBytes) {
            if (data) pa_stream_cancel_write(s.playback);
            data = s.interleaved.data();
        }
        auto* out = static_cast<float*>(data);
        if (s.renderChannels == 1) {
            std::memcpy(out, mono, frameBytes);
        } else {
            for (uint32_t i = 0; i < renderFrameLength; ++i) {
                for (uint32_t c = 0; c < s.renderChannels; ++c) out[i * s.renderChannels + c] = s.mix[c][i];
            }
        }
        if (pa_stream_write(s.playback, data, frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        s.writtenFrames += renderFrameLength;
    }
}

void PulseEngine::tick(Session& s) {
    if (exclusionsWanted_.load(std::memory_order_relaxed) != 0) return;
    pa_usec_t played = 0;
    // Where the sink is in what we wrote: the stream's read index less the sink's own latency.
    if (pa_stream_get_time(s.playback, &played) < 0) return;
    const uint64_t position = played * renderRate / PA_USEC_PER_SEC;
    for (size_t i = 0; i < players_.size() && !s.closing; ++i) {
        const std::shared_ptr<PulsePlayerNode> player = players_[i];
        player->deliverCompletions(position);
    }
}

void PulseEngine::postConfigurationChange(Session& s) {
    if (s.closing) return;
    center_->post(engineConfigurationChangeNotification, static_cast<const AudioEngine*>(this));
}

}  // namespace mivo::platform::pulse
