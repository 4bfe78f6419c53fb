#pragma once

// A plain client of the sound server, beside the library: it records what the loudspeaker really
// played (its sink's monitor) and the raw microphone, both at 48 kHz float, lines them up on the
// server's clock, notes when each piece reached it, and can play a near-end talker into a device.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace mivo::duplex::check {

using Clock = std::chrono::steady_clock;

struct Delivery {
    int64_t endSample;  // samples received so far, this one included
    Clock::time_point at;
};

struct Recording {
    pa_stream* stream = nullptr;
    std::vector<float> samples;
    std::vector<Delivery> deliveries;
};

struct RecordedPair {
    std::vector<float> speaker;
    std::vector<float> microphone;
    // Loudspeaker sample k was played as microphone sample k + offset was captured (in the
    // server's timing, before the room's own delay).
    double offset = 0.0;
    double offsetSpreadMs = 0.0;
    std::vector<Delivery> microphoneDeliveries;
};

class PlainRecorder {
public:
    static constexpr uint32_t rate = 48000;

    PlainRecorder();
    ~PlainRecorder();
    PlainRecorder(const PlainRecorder&) = delete;
    PlainRecorder& operator=(const PlainRecorder&) = delete;

    bool start(const std::string& speakerMonitor, const std::string& microphone, std::string& failure);
    // Plays 48 kHz mono samples into `device` once, starting now.
    bool play(const std::string& device, std::vector<float> samples, std::string& failure);
    // Stops recording and hands over what was recorded; false with the reason when the server
    // gave no timing to line the two up by.
    bool finish(RecordedPair& pair, std::string& failure);

private:
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    static void onWrite(pa_stream* stream, size_t bytes, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    bool connectRecording(Recording& recording, const std::string& device);
    void look();
    void release();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* timer_ = nullptr;
    Recording speaker_;
    Recording microphone_;
    pa_stream* talker_ = nullptr;
    std::vector<float> talk_;
    size_t talkPosition_ = 0;
    std::vector<double> offsets_;
    int looks_ = 0;
    std::string lost_;
};

}  // namespace mivo::duplex::check
