// Start and teardown of a PulseEngine run.

#include <thread>
#include <utility>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_player_node.h"
#include "platform/pulse/server_access.h"

namespace mivo::platform::pulse {

namespace {

constexpr uint32_t playbackTargetMilliseconds = 40;
constexpr uint32_t frameMilliseconds = 10;
constexpr const char* stoppedWhileStarting = "The audio engine was stopped while it was starting";

uint32_t bytesFor(uint32_t milliseconds, uint32_t rate, uint32_t channels) {
    return milliseconds * (rate / 1000) * channels * static_cast<uint32_t>(sizeof(float));
}

// With the device's own channel positions, when they fit, so that the server has nothing to remap.
pa_stream* newStream(pa_context* context, const char* name, uint32_t rate, uint32_t channels,
                     pa_proplist* properties, const std::vector<int>& positions = {}) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, rate, static_cast<uint8_t>(channels)};
    pa_channel_map map;
    pa_channel_map_init(&map);
    if (positions.size() == channels && channels <= PA_CHANNELS_MAX) {
        map.channels = static_cast<uint8_t>(channels);
        for (uint32_t c = 0; c < channels; ++c) map.map[c] = static_cast<pa_channel_position_t>(positions[c]);
    }
    if (!pa_channel_map_valid(&map) || !pa_channel_map_compatible(&map, &sampleFormat)) {
        pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    }
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, name);
    return pa_stream_new_with_proplist(context, name, &sampleFormat, &map, properties);
}

}  // namespace

PulseEngine::~PulseEngine() {
    if (!inCallback()) {
        stop();
        return;
    }
    // The last reference went inside one of our own callbacks: end the run from here and let a
    // thread of its own wait for the loop thread, which cannot join itself.
    Session* session = session_.release();
    if (!session) return;
    if (!session->closed) endRunFromCallback(*session);
    std::thread([session] { delete session; }).detach();
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
            MainloopLock hold(session_->loop(), &exclusionsWanted_);
            closed = session_->closed;
        }
        if (!closed) return std::nullopt;
        close(std::move(session_));
    }
    // In place before its loop thread runs its callbacks: callbacks that call back into the
    // engine find it.
    session_ = std::make_unique<Session>(*this);
    std::string failure;
    if (!open(*session_, failure)) {
        close(std::move(session_));
        return PlatformError{std::move(failure)};
    }
    return std::nullopt;
}

bool PulseEngine::open(Session& s, std::string& failure) {
    const Deadline deadline(options_.startTimeout);
    AudioFormat renderFormat;
    if (!renderFormatForRun(renderFormat, failure)) return false;
    // The connection the platform asked its device questions on, when it is still there: a start
    // connects once.
    s.connection = server_->take();
    if (!s.connection) s.connection = ServerConnection::open(deadline, failure);
    if (!s.connection) return false;
    MainloopLock hold(s.loop());
    s.connection->setEvents(&s);
    if (!useDefaultDevices(s, deadline, failure) || !prepareRun(s, renderFormat, failure) ||
        !openStreams(s, deadline, failure)) {
        return false;
    }
    s.ticker = pa_context_rttime_new(s.context(), pa_rtclock_now() + tickInterval, RunCallbacks::ticked, &s);
    s.started = true;
    // A change seen while starting is posted now that the run is the core's.
    s.api()->defer_enable(s.changeEvent, s.changeRequested ? 1 : 0);
    return true;
}

bool PulseEngine::renderFormatForRun(AudioFormat& format, std::string& failure) const {
    std::lock_guard<std::mutex> hold(graphMutex_);
    format = mixerOutputFormat_.value_or(standardFormat(renderRate, 1));
    if (playerFormat_.sampleRate != renderRate) {
        failure = "The player format's sample rate does not match the mixer's output";
        return false;
    }
    // The mix is made at the players' rate, whatever the rate of the mixer's connection to the
    // output (the voice rate when it is connected with the input's format): the server converts.
    if (format.commonFormat != CommonFormat::float32 || format.interleaved || format.channelCount == 0 ||
        format.channelCount > PA_CHANNELS_MAX) {
        failure = "The mixer's output format is not one the engine can play";
        return false;
    }
    return true;
}

// What the connection last learned of the default devices, unless the server reported anything
// since: then it is asked again.
bool PulseEngine::useDefaultDevices(Session& s, const Deadline& deadline, std::string& failure) {
    std::optional<DefaultDevices> devices = s.connection->lastDefaults();
    if (!devices || s.connection->changedSinceRead()) devices = s.connection->readDefaults(deadline);
    if (!devices || !devices->source || !devices->sink || devices->source->channels == 0) {
        failure = !devices           ? deadline.missedText()
                  : !devices->source ? "No default audio input device is available"
                  : !devices->sink   ? "No default audio output device is available"
                                     : "The default input device has no channels";
        return false;
    }
    s.source = *devices->source;
    s.sink = *devices->sink;
    RunCallbacks::recheckDevices(s);
    return true;
}

// Everything the callbacks touch exists before the first of them can run.
bool PulseEngine::prepareRun(Session& s, const AudioFormat& renderFormat, std::string& failure) {
    s.voiceProcessing = voiceProcessing_.load();
    // The server converts the rate to the render rate, never the channels: averaging them would
    // leave a microphone on one input of several that much quieter.
    s.recordChannels = s.source.channels;
    s.captureChannels = s.voiceProcessing ? 1 : s.recordChannels;
    s.captureRate = s.voiceProcessing ? voiceRate : renderRate;
    s.captureFrameLength = s.captureRate / 100;
    layOutChannels(s.frameStorage, s.frame, s.captureChannels, s.captureFrameLength);
    const uint32_t gathered = s.voiceProcessing ? s.recordChannels : 0;
    layOutChannels(s.sourceStorage, s.sourceFrame, gathered, renderFrameLength);
    s.microphoneChannel.prepare(gathered, 1000 / frameMilliseconds);
    s.microphoneDownsampler.reset();
    prepareTapStorage(s);
    s.renderChannels = renderFormat.channelCount;
    layOutChannels(s.mixStorage, s.mix, s.renderChannels, renderFrameLength);
    s.interleaved.assign(size_t{renderFrameLength} * s.renderChannels, 0.0f);
    if (s.voiceProcessing && !preparedProcessor_ && options_.makeVoiceProcessor) {
        preparedProcessor_ = options_.makeVoiceProcessor(failure);
        if (!preparedProcessor_) return false;
    }
    s.processor = std::move(preparedProcessor_);
    if (!s.processor) s.processor = std::make_unique<PassThroughVoiceProcessor>();
    s.changeEvent = s.api()->defer_new(s.api(), RunCallbacks::changed, &s);
    s.api()->defer_enable(s.changeEvent, 0);
    s.captureMore = pa_context_rttime_new(s.context(), PA_USEC_INVALID, RunCallbacks::captureResumed, &s);
    return true;
}

bool PulseEngine::openStreams(Session& s, const Deadline& deadline, std::string& failure) {
    pa_proplist* properties = pa_proplist_new();
    // The engine cancels its own echo; the server must not stack its canceller on top.
    pa_proplist_sets(properties, "filter.suppress", "echo-cancel");
    s.record = newStream(s.context(), "Voice capture", renderRate, s.recordChannels, properties,
                         s.source.channelPositions);
    s.playback = newStream(s.context(), "Voice playback", renderRate, s.renderChannels, properties);
    pa_proplist_free(properties);
    if (!s.record || !s.playback) {
        failure = "Unable to create the PulseAudio streams: " + s.connection->errorText();
        return false;
    }
    for (pa_stream* stream : {s.record, s.playback}) {
        pa_stream_set_state_callback(stream, RunCallbacks::streamState, &s);
        pa_stream_set_moved_callback(stream, RunCallbacks::moved, &s);
        pa_stream_set_suspended_callback(stream, RunCallbacks::suspended, &s);
    }
    pa_stream_set_read_callback(s.record, RunCallbacks::readable, &s);
    pa_stream_set_write_callback(s.playback, RunCallbacks::writable, &s);
    pa_stream_set_underflow_callback(s.playback, RunCallbacks::underflow, &s);

    const auto timing = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                       PA_STREAM_AUTO_TIMING_UPDATE);
    const uint32_t unset = static_cast<uint32_t>(-1);
    pa_buffer_attr captureAttributes{unset, unset, unset, unset,
                                     bytesFor(frameMilliseconds, renderRate, s.recordChannels)};
    // A short target keeps what is heard close to what is written; a small prebuffer starts it
    // at once and, after an underrun, holds the stream rather than let writes fall in the past.
    const uint32_t frameBytes = bytesFor(frameMilliseconds, renderRate, s.renderChannels);
    pa_buffer_attr renderAttributes{unset, bytesFor(playbackTargetMilliseconds, renderRate, s.renderChannels),
                                    frameBytes, frameBytes, unset};
    // The server moves a stream that names the default device along with the default; one on a
    // device the user named must stay there, and end with it.
    auto pinned = [timing](const DeviceInfo& device) {
        return device.chosenByUser ? static_cast<pa_stream_flags_t>(timing | PA_STREAM_DONT_MOVE) : timing;
    };
    if (pa_stream_connect_record(s.record, s.source.name.c_str(), &captureAttributes, pinned(s.source)) < 0 ||
        pa_stream_connect_playback(s.playback, s.sink.name.c_str(), &renderAttributes, pinned(s.sink), nullptr,
                                   nullptr) < 0) {
        failure = "Unable to connect the PulseAudio streams: " + s.connection->errorText();
        return false;
    }
    // A callback may end the run while start waits (a block that stops the engine).
    const bool settled = s.connection->waitUntil(deadline, [&] {
        const pa_stream_state_t record = pa_stream_get_state(s.record);
        const pa_stream_state_t playback = pa_stream_get_state(s.playback);
        return s.closed || (record == PA_STREAM_READY && playback == PA_STREAM_READY) ||
               !PA_STREAM_IS_GOOD(record) || !PA_STREAM_IS_GOOD(playback);
    });
    if (s.closed || !settled) {
        failure = s.closed ? stoppedWhileStarting : deadline.missedText();
        return false;
    }
    if (pa_stream_get_state(s.record) != PA_STREAM_READY) {
        failure = "The PulseAudio record stream on " + s.source.name + " failed: " + s.connection->errorText();
        return false;
    }
    if (pa_stream_get_state(s.playback) != PA_STREAM_READY) {
        failure = "The PulseAudio playback stream on " + s.sink.name + " failed: " + s.connection->errorText();
        return false;
    }
    return true;
}

void PulseEngine::close(std::unique_ptr<Session> session) {
    if (session->connection) {
        {
            MainloopLock hold(session->loop(), &exclusionsWanted_);
            if (!session->closed) RunCallbacks::closeConnections(*session);
        }
        // Joins the loop thread.
        session->connection.reset();
    }
    rewindPlayers();
}

void PulseEngine::stop() {
    if (inCallback()) {
        // From inside a callback: end the run here; the loop thread leaves when the callback
        // returns, and whoever takes the lifecycle next joins it.
        Session* s = session_.get();
        if (s && !s->closed) {
            endRunFromCallback(*s);
            rewindPlayers();
        }
        return;
    }
    std::unique_lock<std::mutex> life(lifecycle_);
    if (session_) close(std::move(session_));
}

void PulseEngine::endRunFromCallback(Session& s) {
    RunCallbacks::closeConnections(s);
    s.closed = true;
    // A start waiting for the server wakes and gives up.
    s.connection->quitLoop();
}

void PulseEngine::rewindPlayers() {
    for (const auto& player : players_) player->rewind();
}

void PulseEngine::RunCallbacks::closeStream(pa_stream*& stream) {
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

void PulseEngine::RunCallbacks::closeConnections(Session& s) {
    s.closing = true;
    for (pa_time_event** event : {&s.ticker, &s.captureMore}) {
        if (*event) s.api()->time_free(*event);
        *event = nullptr;
    }
    if (s.changeEvent) {
        s.api()->defer_free(s.changeEvent);
        s.changeEvent = nullptr;
    }
    closeStream(s.record);
    closeStream(s.playback);
    s.connection->setEvents(nullptr);
    s.connection->disconnect();
}

}  // namespace mivo::platform::pulse
