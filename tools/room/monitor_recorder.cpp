#include "monitor_recorder.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "priority.h"

namespace mivo::room {

namespace {

constexpr uint32_t rate = 48000;
const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate, 1};
// Not a multiple of the servers' 5 or 10 ms blocks: every look is off by where it falls within a
// block, and looks at every phase average that out.
constexpr double lookSeconds = 0.023;

struct Recording {
    pa_stream* stream = nullptr;
    std::vector<float> samples;
};

class MonitorRecorder {
public:
    MonitorRecorder(double seconds, std::string path, std::string speaker, std::string microphone)
        : seconds_(seconds), path_(std::move(path)), speakerDevice_(std::move(speaker)), microphoneDevice_(std::move(microphone)) {}
    int run();

private:
    static void onContextState(pa_context* context, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    static void onSignal(pa_mainloop_api* api, pa_signal_event* event, int signal, void* self);

    void connect(Recording& recording, const char* device);
    void read(Recording& recording);
    void look();
    int write();

    const double seconds_;
    const std::string path_;
    const std::string speakerDevice_;
    const std::string microphoneDevice_;
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* timer_ = nullptr;
    Recording speaker_;
    Recording microphone_;
    std::vector<double> offsets_;  // microphone's stream time minus the loudspeaker's, in samples
    int looks_ = 0;
    int status_ = 0;
};

void MonitorRecorder::onContextState(pa_context* context, void* self) {
    auto* recorder = static_cast<MonitorRecorder*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        recorder->connect(recorder->speaker_, recorder->speakerDevice_.c_str());
        recorder->connect(recorder->microphone_, recorder->microphoneDevice_.c_str());
    } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        std::fprintf(stderr, "mivo-room record: lost the sound server\n");
        recorder->status_ = 1;
        pa_mainloop_quit(recorder->loop_, 1);
    }
}

void MonitorRecorder::connect(Recording& recording, const char* device) {
    recording.samples.reserve(static_cast<size_t>((seconds_ + 2.0) * rate));
    recording.stream = pa_stream_new(context_, "room truth", &sampleSpec, nullptr);
    pa_stream_set_read_callback(recording.stream, &MonitorRecorder::onRead, this);
    const pa_buffer_attr attributes{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                    static_cast<uint32_t>(-1), 480 * sizeof(float)};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_NOT_MONOTONIC);
    if (pa_stream_connect_record(recording.stream, device, &attributes, flags) < 0) {
        std::fprintf(stderr, "mivo-room record: cannot record %s\n", device);
        status_ = 1;
        pa_mainloop_quit(loop_, 1);
    }
}

void MonitorRecorder::onRead(pa_stream* stream, size_t, void* self) {
    auto* recorder = static_cast<MonitorRecorder*>(self);
    recorder->read(stream == recorder->speaker_.stream ? recorder->speaker_ : recorder->microphone_);
}

void MonitorRecorder::read(Recording& recording) {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(recording.stream) > 0 && pa_stream_peek(recording.stream, &data, &bytes) == 0 &&
           bytes > 0) {
        const size_t count = bytes / sizeof(float);
        if (data) {
            const auto* samples = static_cast<const float*>(data);
            recording.samples.insert(recording.samples.end(), samples, samples + count);
        } else {
            recording.samples.insert(recording.samples.end(), count, 0.0f);
        }
        pa_stream_drop(recording.stream);
    }
}

// Both streams' positions at the same moment: sample k of the loudspeaker was heard with sample
// k + offset of the microphone.
void MonitorRecorder::look() {
    pa_usec_t speaker = 0;
    pa_usec_t microphone = 0;
    if (speaker_.stream && microphone_.stream && pa_stream_get_state(speaker_.stream) == PA_STREAM_READY &&
        pa_stream_get_state(microphone_.stream) == PA_STREAM_READY &&
        pa_stream_get_time(speaker_.stream, &speaker) == 0 && pa_stream_get_time(microphone_.stream, &microphone) == 0 &&
        speaker > 0 && microphone > 0) {
        offsets_.push_back((static_cast<double>(microphone) - static_cast<double>(speaker)) * rate / 1e6);
    }
}

void MonitorRecorder::onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self) {
    auto* recorder = static_cast<MonitorRecorder*>(self);
    if (++recorder->looks_ > 10) recorder->look();  // the first 230 ms: streams still settling
    if (recorder->looks_ * lookSeconds >= recorder->seconds_) return pa_mainloop_quit(recorder->loop_, 0);
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(lookSeconds * 1e6));
    api->time_restart(event, &when);
}

void MonitorRecorder::onSignal(pa_mainloop_api*, pa_signal_event*, int, void* self) {
    auto* recorder = static_cast<MonitorRecorder*>(self);
    pa_mainloop_quit(recorder->loop_, 0);
}

int MonitorRecorder::write() {
    if (offsets_.empty()) {
        std::fprintf(stderr, "mivo-room record: the server gave no timing for the two streams\n");
        return 1;
    }
    std::vector<double> sorted = offsets_;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0.0;
    const size_t cut = sorted.size() / 10;
    for (size_t i = cut; i < sorted.size() - cut; ++i) sum += sorted[i];
    const long offset = std::lround(sum / static_cast<double>(sorted.size() - 2 * cut));
    const double spreadMs = (sorted[sorted.size() * 9 / 10] - sorted[sorted.size() / 10]) * 1000.0 / rate;
    const auto& a = speaker_.samples;
    const auto& b = microphone_.samples;
    // Sample i of the output is loudspeaker sample i + first and microphone sample i + first + offset.
    const long first = std::max(0L, -offset);
    const long frames = std::min(static_cast<long>(a.size()) - first, static_cast<long>(b.size()) - first - offset);
    FILE* file = std::fopen(path_.c_str(), "wb");
    if (!file || frames <= 0) {
        std::fprintf(stderr, "mivo-room record: nothing to write to %s\n", path_.c_str());
        if (file) std::fclose(file);
        return 1;
    }
    for (long i = 0; i < frames; ++i) {
        const float pair[2] = {a[static_cast<size_t>(i + first)], b[static_cast<size_t>(i + first + offset)]};
        std::fwrite(pair, sizeof pair, 1, file);
    }
    std::fclose(file);
    std::printf("recorded frames=%ld spread_ms=%.3f\n", frames, spreadMs);
    return 0;
}

int MonitorRecorder::run() {
    raiseToServerPriority();
    loop_ = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(loop_);
    pa_signal_init(api);
    pa_signal_new(SIGTERM, &MonitorRecorder::onSignal, this);
    pa_signal_new(SIGINT, &MonitorRecorder::onSignal, this);
    context_ = pa_context_new(api, "mivo-room record");
    pa_context_set_state_callback(context_, &MonitorRecorder::onContextState, this);
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(lookSeconds * 1e6));
    timer_ = api->time_new(api, &when, &MonitorRecorder::onTimer, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        std::fprintf(stderr, "mivo-room record: cannot reach the sound server\n");
        status_ = 1;
    } else {
        int result = 0;
        pa_mainloop_run(loop_, &result);
    }
    const int written = status_ == 0 ? write() : status_;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    for (Recording* recording : {&speaker_, &microphone_}) {
        if (recording->stream) {
            pa_stream_disconnect(recording->stream);
            pa_stream_unref(recording->stream);
        }
    }
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_signal_done();
    pa_mainloop_free(loop_);
    return written;
}

}  // namespace

int recordMonitors(double seconds, const std::string& path, const std::string& speaker, const std::string& microphone) {
    MonitorRecorder recorder(seconds, path, speaker, microphone);
    return recorder.run();
}

}  // namespace mivo::room
