#include "mivo_duplex/check/plain_recorder.h"

#include <algorithm>
#include <cmath>

namespace mivo::duplex::check {

namespace {

const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, PlainRecorder::rate, 1};
// Not a multiple of the servers' 5 or 10 ms blocks, so that looks fall at every phase of one.
constexpr pa_usec_t lookInterval = 23000;
constexpr uint32_t bytesPer10Ms = PlainRecorder::rate / 100 * sizeof(float);

struct Lock {
    explicit Lock(pa_threaded_mainloop* loop) : loop(loop) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    pa_threaded_mainloop* loop;
};

std::string serverError(pa_context* context, const std::string& what) {
    return what + ": " + pa_strerror(pa_context_errno(context));
}

bool waitReady(pa_threaded_mainloop* loop, pa_context* context, pa_stream* stream) {
    for (;;) {
        if (stream) {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY) return true;
            if (!PA_STREAM_IS_GOOD(state)) return false;
        } else {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) return true;
            if (!PA_CONTEXT_IS_GOOD(state)) return false;
        }
        pa_threaded_mainloop_wait(loop);
    }
}

void signalLoop(pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
void signalLoopStream(pa_stream*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

}  // namespace

PlainRecorder::PlainRecorder() : loop_(pa_threaded_mainloop_new()) {}

PlainRecorder::~PlainRecorder() { release(); }

bool PlainRecorder::start(const std::string& speakerMonitor, const std::string& microphone, std::string& failure) {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "mivo-duplex check (plain client)");
    pa_context_set_state_callback(context_, signalLoop, loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(loop_) < 0) {
        failure = serverError(context_, "cannot reach the sound server");
        return false;
    }
    Lock lock(loop_);
    if (!waitReady(loop_, context_, nullptr)) {
        failure = serverError(context_, "cannot reach the sound server");
        return false;
    }
    const size_t expected = static_cast<size_t>(rate) * 40;
    speaker_.samples.reserve(expected);
    microphone_.samples.reserve(expected);
    if (!connectRecording(speaker_, speakerMonitor) || !connectRecording(microphone_, microphone)) {
        failure = serverError(context_, "cannot record " + speakerMonitor + " and " + microphone);
        return false;
    }
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), lookInterval);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    timer_ = api->time_new(api, &when, &PlainRecorder::onTimer, this);
    return true;
}

bool PlainRecorder::connectRecording(Recording& recording, const std::string& device) {
    recording.stream = pa_stream_new(context_, "check recording", &format, nullptr);
    if (!recording.stream) return false;
    pa_stream_set_state_callback(recording.stream, signalLoopStream, loop_);
    pa_stream_set_read_callback(recording.stream, &PlainRecorder::onRead, this);
    const pa_buffer_attr attributes{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, bytesPer10Ms};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_NOT_MONOTONIC);
    if (pa_stream_connect_record(recording.stream, device.c_str(), &attributes, flags) < 0) return false;
    return waitReady(loop_, context_, recording.stream);
}

void PlainRecorder::onRead(pa_stream* stream, size_t, void* self) {
    auto* recorder = static_cast<PlainRecorder*>(self);
    Recording& recording = stream == recorder->speaker_.stream ? recorder->speaker_ : recorder->microphone_;
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        const size_t count = bytes / sizeof(float);
        if (data) {
            const auto* samples = static_cast<const float*>(data);
            recording.samples.insert(recording.samples.end(), samples, samples + count);
        } else {
            recording.samples.insert(recording.samples.end(), count, 0.0f);  // a hole the server reports
        }
        pa_stream_drop(stream);
    }
    recording.deliveries.push_back({static_cast<int64_t>(recording.samples.size()), Clock::now()});
}

// Both streams' positions at one moment: what the offset between them is.
void PlainRecorder::look() {
    pa_usec_t speaker = 0;
    pa_usec_t microphone = 0;
    if (pa_stream_get_time(speaker_.stream, &speaker) == 0 && pa_stream_get_time(microphone_.stream, &microphone) == 0 &&
        speaker > 0 && microphone > 0) {
        offsets_.push_back((static_cast<double>(microphone) - static_cast<double>(speaker)) * rate / 1e6);
    }
}

void PlainRecorder::onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self) {
    auto* recorder = static_cast<PlainRecorder*>(self);
    if (++recorder->looks_ > 10) recorder->look();  // the streams settle in their first moments
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), lookInterval);
    api->time_restart(event, &when);
}

bool PlainRecorder::play(const std::string& device, std::vector<float> samples, std::string& failure) {
    Lock lock(loop_);
    talk_ = std::move(samples);
    talkPosition_ = 0;
    talker_ = pa_stream_new(context_, "check near-end talker", &format, nullptr);
    if (!talker_) {
        failure = serverError(context_, "cannot play into " + device);
        return false;
    }
    pa_stream_set_state_callback(talker_, signalLoopStream, loop_);
    pa_stream_set_write_callback(talker_, &PlainRecorder::onWrite, this);
    if (pa_stream_connect_playback(talker_, device.c_str(), nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0 ||
        !waitReady(loop_, context_, talker_)) {
        failure = serverError(context_, "cannot play into " + device);
        return false;
    }
    return true;
}

void PlainRecorder::onWrite(pa_stream* stream, size_t bytes, void* self) {
    auto* recorder = static_cast<PlainRecorder*>(self);
    const size_t left = recorder->talk_.size() - recorder->talkPosition_;
    const size_t count = std::min(left, bytes / sizeof(float));
    if (count == 0) return;
    pa_stream_write(stream, recorder->talk_.data() + recorder->talkPosition_, count * sizeof(float), nullptr, 0,
                    PA_SEEK_RELATIVE);
    recorder->talkPosition_ += count;
}

bool PlainRecorder::finish(RecordedPair& pair, std::string& failure) {
    {
        Lock lock(loop_);
        if (offsets_.empty()) {
            failure = "the server gave no timing for the loudspeaker's monitor and the microphone";
            return false;
        }
        std::vector<double> sorted = offsets_;
        std::sort(sorted.begin(), sorted.end());
        const size_t cut = sorted.size() / 10;
        double sum = 0.0;
        for (size_t i = cut; i < sorted.size() - cut; ++i) sum += sorted[i];
        pair.offset = sum / static_cast<double>(sorted.size() - 2 * cut);
        pair.offsetSpreadMs = (sorted[sorted.size() * 9 / 10] - sorted[sorted.size() / 10]) * 1000.0 / rate;
        pair.speaker = std::move(speaker_.samples);
        pair.microphone = std::move(microphone_.samples);
        pair.microphoneDeliveries = std::move(microphone_.deliveries);
    }
    release();
    return true;
}

void PlainRecorder::release() {
    if (!loop_) return;
    pa_threaded_mainloop_stop(loop_);
    if (timer_) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
    for (pa_stream* stream : {speaker_.stream, microphone_.stream, talker_}) {
        if (!stream) continue;
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

}  // namespace mivo::duplex::check
