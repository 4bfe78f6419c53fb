#pragma once

// What one run of a PulseEngine owns, and the C callbacks that reach it. Seen only by the
// engine's own source files.

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/pulse/microphone_channel.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/reference_downsampler.h"
#include "platform/pulse/server_connection.h"

namespace mivo::platform::pulse {

// How often a run looks at where the sink is, to complete what it has played.
inline constexpr pa_usec_t tickInterval = 10 * PA_USEC_PER_MSEC;

// Points each of `channelCount` channels at its part of one zeroed block of storage.
inline void layOutChannels(std::vector<float>& storage, std::vector<float*>& channels, uint32_t channelCount,
                           uint32_t frames) {
    storage.assign(size_t{frames} * channelCount, 0.0f);
    channels.resize(channelCount);
    for (uint32_t c = 0; c < channelCount; ++c) channels[c] = storage.data() + size_t{c} * frames;
}

// Marks the calling thread, for its lifetime, as running one of `owner`'s callbacks, so that an
// operation can tell that it was called from inside one and must not wait for it.
class CallbackScope {
public:
    explicit CallbackScope(const void* owner);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    static bool inside(const void* owner);

private:
    const void* previous_;
};

// Its callbacks get it as their userdata.
struct PulseEngine::Session final : ServerEvents {
    explicit Session(PulseEngine& engine) : owner(&engine), weakOwner(engine.weak_from_this()) {}

    void serverEvent(uint32_t type, uint32_t index) override;
    void connectionLost() override;

    pa_threaded_mainloop* loop() const { return connection->loop(); }
    pa_mainloop_api* api() const { return connection->api(); }
    pa_context* context() const { return connection->context(); }

    const void* const owner;
    const std::weak_ptr<PulseEngine> weakOwner;

    std::unique_ptr<ServerConnection> connection;
    pa_stream* record = nullptr;
    pa_stream* playback = nullptr;
    pa_time_event* ticker = nullptr;
    pa_defer_event* changeEvent = nullptr;

    bool started = false;  // start has returned success
    bool closing = false;  // teardown has begun: streams and connection ending is expected
    bool closed = false;   // torn down from its own thread; its loop thread ends by itself
    // A change of the devices was seen (at any time, start included): the run is over, and only
    // silence is rendered from then on. It is posted until an observer has been told.
    bool changeRequested = false;
    bool changeDelivered = false;

    // Ticks in a row in which the server sent no audio and asked for none.
    uint32_t quietTicks = 0;
    bool heardFromServer = false;
    // Device questions after server events, at most one batch at a time and a few per second.
    unsigned pendingQueries = 0;
    unsigned queriesInFlight = 0;
    pa_usec_t lastQueryAt = 0;

    // The devices the run uses; server events are weighed against them once they are chosen.
    DeviceInfo source;
    DeviceInfo sink;
    bool devicesChosen = false;

    bool voiceProcessing = false;
    // The record stream has the source's own channels at the render rate. With voice processing
    // they are gathered in sourceFrame, one is chosen for the canceller and brought to the voice
    // rate by the same filter as the echo reference: two different resamplers on the two sides
    // would leave their difference in the echo, about 45 to 55 dB down, for no filter to remove.
    // Without it every channel goes to the tap as recorded.
    uint32_t recordChannels = 1;
    uint32_t captureChannels = 1;
    uint32_t captureRate = renderRate;
    uint32_t captureFrameLength = renderFrameLength;
    std::vector<float> frameStorage;
    std::vector<float*> frame;
    std::vector<float> sourceStorage;
    std::vector<float*> sourceFrame;
    MicrophoneChannelChoice microphoneChannel;
    ReferenceDownsampler microphoneDownsampler;
    uint32_t frameFill = 0;  // record frames gathered towards the next 10 ms
    // A capture backlog is worked through in slices, one per loop iteration, each from a timer
    // due at once: the stream's read callbacks can come back to back for as long as data keeps
    // arriving, so while a backlog waits they leave it to the timer, and the loop gets on with
    // playback and the tick. (Timers run in the same iteration as the streams' callbacks;
    // deferred events would run alone.)
    pa_time_event* captureMore = nullptr;
    bool captureDeferred = false;
    // Frames of the peeked record fragment already taken, when a slice ended inside it.
    size_t peekedFramesTaken = 0;
    bool recordBacklogFull = false;
    bool captureCatchingUp = false;
    pa_usec_t youngestCapture = PA_USEC_INVALID;
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
    // Where the stream's write index is, less writtenFrames: a flush moves it back.
    int64_t streamOffset = 0;

    std::unique_ptr<VoiceProcessor> processor;
    // One bit per Discontinuity noted and not yet passed to the processor, which learns of them
    // before its next frame.
    uint32_t pendingDiscontinuities = 0;

    void noteDiscontinuity(Discontinuity kind) { pendingDiscontinuities |= 1u << static_cast<unsigned>(kind); }
    void passDiscontinuities() {
        if (pendingDiscontinuities == 0) return;
        for (Discontinuity kind : {Discontinuity::renderUnderrun, Discontinuity::renderDropped, Discontinuity::captureLost}) {
            if (pendingDiscontinuities & (1u << static_cast<unsigned>(kind))) processor->noteDiscontinuity(kind);
        }
        pendingDiscontinuities = 0;
    }
};

// The C callbacks of a run. Those that run engine code mark the thread as inside this engine's
// callback and hold the engine for the whole call, so that a block dropping the last other
// reference cannot free it under them.
struct PulseEngine::RunCallbacks {
    // pulse_engine_events.cpp
    static void streamState(pa_stream* stream, void* userdata);
    static void moved(pa_stream* stream, void* userdata);
    static void suspended(pa_stream* stream, void* userdata);
    static void underflow(pa_stream* stream, void* userdata);
    static void changed(pa_mainloop_api* api, pa_defer_event* event, void* userdata);
    static void recheckDevices(Session& session);
    static void sendDeviceQueries(Session& session);
    static void serverAnswered(pa_context* context, const pa_server_info* info, void* userdata);
    // Info is pa_sink_info or pa_source_info.
    template <typename Info>
    static void deviceAnswered(pa_context* context, const Info* info, int eol, void* userdata);
    static void requestChange(Session& session);
    // pulse_engine_capture.cpp
    static void readable(pa_stream* stream, size_t bytes, void* userdata);
    static void captureResumed(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                               void* userdata);
    // pulse_engine_render.cpp
    static void writable(pa_stream* stream, size_t bytes, void* userdata);
    static void ticked(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* userdata);
    // pulse_engine_lifecycle.cpp
    static void closeStream(pa_stream*& stream);
    // With the loop locked, or on the loop thread: after this no callback of the run can come.
    static void closeConnections(Session& session);
};

}  // namespace mivo::platform::pulse
