// Measures the library on the sound server that PULSE_SERVER names (run it through
// measure_latency.sh, which starts a private virtual room):
//  - start time: how long mivo_voice_io_start takes;
//  - capture latency: a click played into the room by a separate plain client, until
//    mivo_voice_io_read_capture returns it, next to the same figure for a plain client recording
//    the room's monitor, for the very same clicks;
//  - CPU time per second of duplex audio (capture read and playback written all along);
//  - interrupt to silence: mivo_voice_io_interrupt_playback while a tone plays, until a plain
//    client recording speaker.monitor in 5 ms fragments last hears it (that client's own delivery
//    delay, a few milliseconds, is part of the figure).
//
// Usage: measure_latency [--clicks N] [--duplex-seconds S] [--starts N] [--interrupts N]

#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mivo_voice_io.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// When each click was found by one listener.
class Detections {
public:
    void add(Clock::time_point when) {
        std::lock_guard<std::mutex> hold(mutex_);
        times_.push_back(when);
    }
    // The first detection at or after `from`, if any before `until`.
    bool find(Clock::time_point from, Clock::time_point until, Clock::time_point& found) const {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto when : times_) {
            if (when >= from && when < until) {
                found = when;
                return true;
            }
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> times_;
};

// A click is a sample above half scale; a listener reports it once, then waits for 100 ms of
// quiet before it looks for the next.
class ClickDetector {
public:
    explicit ClickDetector(Detections& detections, double rate) : detections_(detections), quietNeeded_(rate / 10) {}
    template <typename Sample>
    void feed(const Sample* samples, size_t count, double fullScale, Clock::time_point arrived) {
        for (size_t i = 0; i < count; ++i) {
            const bool loud = std::fabs(static_cast<double>(samples[i]) / fullScale) > 0.5;
            if (loud && armed_) {
                detections_.add(arrived);
                armed_ = false;
                quiet_ = 0;
            } else if (!loud && ++quiet_ >= quietNeeded_) {
                armed_ = true;
            }
        }
    }

private:
    Detections& detections_;
    const double quietNeeded_;
    double quiet_ = 0;
    bool armed_ = true;
};

pa_simple* openPlain(pa_stream_direction_t direction, const char* device, uint32_t milliseconds) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, 48000, 1};
    const uint32_t bytes = milliseconds * 48 * sizeof(float);
    const uint32_t unset = static_cast<uint32_t>(-1);
    pa_buffer_attr attributes = direction == PA_STREAM_PLAYBACK ? pa_buffer_attr{unset, bytes, unset, unset, unset}
                                                                 : pa_buffer_attr{unset, unset, unset, unset, bytes};
    int error = 0;
    pa_simple* client = pa_simple_new(nullptr, "mivo-measure", direction, device, "measure", &sampleFormat, nullptr,
                                      &attributes, &error);
    if (!client) std::fprintf(stderr, "cannot open %s: %s\n", device, pa_strerror(error));
    return client;
}

struct Options {
    int clicks = 10;
    double duplexSeconds = 10.0;
    int starts = 20;
    int interrupts = 20;
};

bool measureStart(const Options& options) {
    mivo_voice_io* voice = mivo_voice_io_create();
    std::vector<double> times;
    for (int i = 0; i < options.starts; ++i) {
        const auto begin = Clock::now();
        if (mivo_voice_io_start(voice) != 0) {
            char text[256];
            mivo_voice_io_copy_last_error(voice, text, sizeof(text));
            std::fprintf(stderr, "start failed: %s\n", text);
            mivo_voice_io_destroy(voice);
            return false;
        }
        times.push_back(milliseconds(Clock::now() - begin));
        mivo_voice_io_stop(voice);
    }
    mivo_voice_io_destroy(voice);
    std::printf("start: median %.1f ms, slowest %.1f ms over %d starts\n", median(times),
                *std::max_element(times.begin(), times.end()), options.starts);
    return true;
}

bool measureCaptureLatency(const Options& options) {
    mivo_voice_io* voice = mivo_voice_io_create();
    if (mivo_voice_io_start(voice) != 0) {
        std::fprintf(stderr, "start failed\n");
        mivo_voice_io_destroy(voice);
        return false;
    }
    std::atomic<bool> done{false};
    Detections viaLibrary;
    Detections viaPlainClient;

    std::thread libraryReader([&] {
        ClickDetector detector(viaLibrary, 16000);
        std::vector<int16_t> samples(160);
        while (!done) {
            const int32_t got = mivo_voice_io_read_capture(voice, samples.data(), 160, 100);
            if (got < 0) break;
            detector.feed(samples.data(), static_cast<size_t>(got), 32768.0, Clock::now());
        }
    });
    // The same fragment size as the library's record stream: 10 ms.
    pa_simple* monitor = openPlain(PA_STREAM_RECORD, "room.monitor", 10);
    std::thread plainReader([&] {
        if (!monitor) return;
        ClickDetector detector(viaPlainClient, 48000);
        std::vector<float> samples(480);
        int error = 0;
        while (!done) {
            if (pa_simple_read(monitor, samples.data(), samples.size() * sizeof(float), &error) < 0) break;
            detector.feed(samples.data(), samples.size(), 1.0, Clock::now());
        }
    });

    // The clicker keeps its stream fed with silence in 5 ms pieces and drops a 1 ms click in
    // every 400 ms; the clock starts when the click is handed to the server.
    pa_simple* clicker = openPlain(PA_STREAM_PLAYBACK, "room", 10);
    std::vector<Clock::time_point> clicks;
    if (clicker) {
        std::vector<float> silence(240, 0.0f);
        std::vector<float> click(240, 0.0f);
        std::fill(click.begin(), click.begin() + 48, 0.9f);
        int error = 0;
        // A second of silence first: the streams settle.
        for (int i = 0; i < 200; ++i) pa_simple_write(clicker, silence.data(), silence.size() * sizeof(float), &error);
        for (int c = 0; c < options.clicks; ++c) {
            clicks.push_back(Clock::now());
            pa_simple_write(clicker, click.data(), click.size() * sizeof(float), &error);
            for (int i = 0; i < 79; ++i) pa_simple_write(clicker, silence.data(), silence.size() * sizeof(float), &error);
        }
        pa_simple_drain(clicker, &error);
        pa_simple_free(clicker);
    }
    std::this_thread::sleep_for(300ms);
    done = true;
    mivo_voice_io_stop(voice);
    libraryReader.join();
    plainReader.join();
    if (monitor) pa_simple_free(monitor);
    mivo_voice_io_destroy(voice);
    if (clicks.empty()) return false;

    std::vector<double> library;
    std::vector<double> plain;
    std::vector<double> difference;
    std::printf("capture latency per click (ms): library / plain client on room.monitor\n");
    for (size_t c = 0; c < clicks.size(); ++c) {
        const auto until = clicks[c] + 350ms;
        Clock::time_point a;
        Clock::time_point b;
        const bool seenByLibrary = viaLibrary.find(clicks[c], until, a);
        const bool seenByPlain = viaPlainClient.find(clicks[c], until, b);
        std::printf("  click %2zu: %7s / %7s\n", c + 1,
                    seenByLibrary ? std::to_string(milliseconds(a - clicks[c])).substr(0, 6).c_str() : "missed",
                    seenByPlain ? std::to_string(milliseconds(b - clicks[c])).substr(0, 6).c_str() : "missed");
        if (seenByLibrary) library.push_back(milliseconds(a - clicks[c]));
        if (seenByPlain) plain.push_back(milliseconds(b - clicks[c]));
        if (seenByLibrary && seenByPlain) difference.push_back(milliseconds(a - b));
    }
    std::printf("capture latency: library median %.1f ms, plain client median %.1f ms, library later by %.1f ms "
                "(median of %zu pairs)\n",
                median(library), median(plain), median(difference), difference.size());
    return !library.empty();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool measureCpu(const Options& options) {
    mivo_voice_io* voice = mivo_voice_io_create();
    if (mivo_voice_io_start(voice) != 0) {
        mivo_voice_io_destroy(voice);
        return false;
    }
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<int16_t> samples(320);
        while (!done && mivo_voice_io_read_capture(voice, samples.data(), 320, 100) >= 0) {
        }
    });
    std::vector<int16_t> chunk(4800);
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 48000.0));
    }
    std::this_thread::sleep_for(500ms);
    const double before = cpuSeconds();
    const auto begin = Clock::now();
    const int chunks = static_cast<int>(options.duplexSeconds * 10);
    for (int i = 0; i < chunks; ++i) mivo_voice_io_write_playback(voice, chunk.data(), static_cast<int32_t>(chunk.size()));
    mivo_voice_io_wait_playback(voice);
    const double cpu = cpuSeconds() - before;
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    done = true;
    mivo_voice_io_stop(voice);
    reader.join();
    mivo_voice_io_destroy(voice);
    std::printf("cpu: %.1f ms of CPU per second of duplex audio (%.2f s CPU over %.2f s, whole process)\n",
                1000.0 * cpu / wall, cpu, wall);
    return true;
}

// When each 5 ms piece of a source arrived, and whether it held sound.
class LoudnessLog {
public:
    void add(Clock::time_point when, bool loud) {
        std::lock_guard<std::mutex> hold(mutex_);
        pieces_.emplace_back(when, loud);
    }
    // The arrival of the last piece with sound in [from, until), or `from` when there is none.
    Clock::time_point lastLoud(Clock::time_point from, Clock::time_point until) const {
        std::lock_guard<std::mutex> hold(mutex_);
        Clock::time_point last = from;
        for (const auto& [when, loud] : pieces_) {
            if (loud && when >= from && when < until) last = when;
        }
        return last;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, bool>> pieces_;
};

bool measureInterrupt(const Options& options) {
    mivo_voice_io* voice = mivo_voice_io_create();
    pa_simple* monitor = openPlain(PA_STREAM_RECORD, "speaker.monitor", 5);
    if (!monitor || mivo_voice_io_start(voice) != 0) {
        if (monitor) pa_simple_free(monitor);
        mivo_voice_io_destroy(voice);
        return false;
    }
    std::atomic<bool> done{false};
    LoudnessLog log;
    std::thread listener([&] {
        std::vector<float> samples(240);
        int error = 0;
        while (!done && pa_simple_read(monitor, samples.data(), samples.size() * sizeof(float), &error) >= 0) {
            const bool loud = std::any_of(samples.begin(), samples.end(), [](float x) { return std::fabs(x) > 1e-3f; });
            log.add(Clock::now(), loud);
        }
    });
    std::vector<int16_t> tone(48000);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 48000.0));
    }
    std::vector<double> silentAfter;
    for (int i = 0; i < options.interrupts; ++i) {
        mivo_voice_io_write_playback(voice, tone.data(), static_cast<int32_t>(tone.size()));
        std::this_thread::sleep_for(300ms);
        const auto interrupted = Clock::now();
        mivo_voice_io_interrupt_playback(voice);
        std::this_thread::sleep_for(300ms);
        silentAfter.push_back(milliseconds(log.lastLoud(interrupted, interrupted + 300ms) - interrupted));
    }
    done = true;
    mivo_voice_io_stop(voice);
    listener.join();
    pa_simple_free(monitor);
    mivo_voice_io_destroy(voice);
    std::printf("interrupt to silence on speaker.monitor: median %.1f ms, slowest %.1f ms over %d interrupts\n",
                median(silentAfter), *std::max_element(silentAfter.begin(), silentAfter.end()), options.interrupts);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--clicks") options.clicks = std::atoi(argv[i + 1]);
        else if (name == "--duplex-seconds") options.duplexSeconds = std::atof(argv[i + 1]);
        else if (name == "--starts") options.starts = std::atoi(argv[i + 1]);
        else if (name == "--interrupts") options.interrupts = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: %s [--clicks N] [--duplex-seconds S] [--starts N] [--interrupts N]\n", argv[0]);
            return 2;
        }
    }
    bool ok = measureStart(options);
    ok = measureCaptureLatency(options) && ok;
    ok = measureCpu(options) && ok;
    if (options.interrupts > 0) ok = measureInterrupt(options) && ok;
    return ok ? 0 : 1;
}
