#include "format_room.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "platform/audio_platform.h"
#include "private_pulse_daemon.h"
#include "spoken_signal.h"

namespace mivo::testing {

namespace {

using Clock = EchoSession::Clock;

// The first sample of the first read that arrived at or after `when`.
size_t indexAt(const std::vector<std::pair<size_t, Clock::time_point>>& reads, Clock::time_point when,
               size_t total) {
    size_t previous = 0;
    for (const auto& [end, arrived] : reads) {
        if (arrived >= when) return previous;
        previous = end;
    }
    return total;
}

Clock::time_point after(Clock::time_point base, double seconds) {
    return base + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double correlationAt(const std::vector<float>& recorded, const std::vector<float>& expected, long offset) {
    if (offset < 0 || static_cast<size_t>(offset) + expected.size() > recorded.size()) return 0.0;
    double dot = 0.0;
    double energy = 0.0;
    double expectedEnergy = 0.0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const double r = recorded[static_cast<size_t>(offset) + i];
        dot += r * expected[i];
        energy += r * r;
        expectedEnergy += static_cast<double>(expected[i]) * expected[i];
    }
    return energy > 0.0 ? dot / std::sqrt(energy * expectedEnergy) : 0.0;
}

// The Blackman window at `x` of a filter reaching `halfWidth` either side of its centre.
double blackman(double x, double halfWidth) {
    return 0.42 + 0.5 * std::cos(M_PI * x / halfWidth) + 0.08 * std::cos(2.0 * M_PI * x / halfWidth);
}

// `signal` delayed by `fraction` of a sample, through a windowed sinc: the signals placed here lie
// well below the Nyquist rate, where 32 taps a side interpolate far more closely than the checks ask.
std::vector<float> delayedBy(const std::vector<float>& signal, double fraction) {
    if (fraction == 0.0) return signal;
    constexpr int half = 32;
    std::vector<double> taps(2 * half + 1);
    for (int k = -half; k <= half; ++k) {
        const double x = k - fraction;
        const double sinc = x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
        taps[static_cast<size_t>(k + half)] = sinc * blackman(x, half + 1);
    }
    std::vector<float> delayed(signal.size());
    for (long n = 0; n < static_cast<long>(signal.size()); ++n) {
        double acc = 0.0;
        for (int k = -half; k <= half; ++k) {
            const long at = n - k;
            if (at >= 0 && at < static_cast<long>(signal.size())) acc += taps[static_cast<size_t>(k + half)] * signal[static_cast<size_t>(at)];
        }
        delayed[static_cast<size_t>(n)] = static_cast<float>(acc);
    }
    return delayed;
}

}  // namespace

std::vector<float> bandLimitedNoise(size_t count, unsigned seed) {
    std::vector<float> white(count + 128);
    uint32_t state = seed;
    for (float& v : white) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int32_t>(state >> 8) % 65536 - 32768) / 32768.0f;
    }
    // A windowed-sinc low pass at 12 kHz, 129 taps.
    constexpr int half = 64;
    std::vector<double> taps(2 * half + 1);
    double sum = 0.0;
    for (int k = -half; k <= half; ++k) {
        const double x = 2.0 * M_PI * 12000.0 / 48000.0 * k;
        const double sinc = k == 0 ? 1.0 : std::sin(x) / x;
        const double window = blackman(k, half);
        taps[static_cast<size_t>(k + half)] = sinc * window;
        sum += sinc * window;
    }
    std::vector<float> noise(count);
    for (size_t i = 0; i < count; ++i) {
        double acc = 0.0;
        for (size_t k = 0; k < taps.size(); ++k) acc += taps[k] * white[i + k];
        noise[i] = static_cast<float>(0.5 * acc / sum);
    }
    return noise;
}

Placement place(const std::vector<float>& recorded, const std::vector<float>& expected) {
    Placement placement;
    const size_t head = std::min<size_t>(1024, expected.size());
    placement.offset = bestOffset(recorded, std::vector<float>(expected.begin(), expected.begin() + head));
    if (placement.offset < 0) return placement;
    if (static_cast<size_t>(placement.offset) + expected.size() > recorded.size()) return placement;
    // Between samples, in eighths, then 64ths, then 512ths around the best of each: what is left
    // after 64ths alone, up to 1/128 of a sample, is a residual near -40 dB at 12 kHz.
    auto correlationWhenDelayed = [&](double fraction) {
        return correlationAt(recorded, delayedBy(expected, fraction), placement.offset);
    };
    double best = correlationWhenDelayed(0.0);
    for (double step : {1.0 / 8, 1.0 / 64, 1.0 / 512}) {
        const double centre = placement.fraction;
        for (int k = -8; k <= 8; ++k) {
            const double fraction = centre + k * step;
            if (k == 0 || std::fabs(fraction) > 0.5) continue;
            const double found = correlationWhenDelayed(fraction);
            if (found > best) best = found, placement.fraction = fraction;
        }
    }
    const std::vector<float> placed = delayedBy(expected, placement.fraction);
    placement.correlation = best;
    placement.neighbourCorrelation = std::max(correlationAt(recorded, placed, placement.offset - 1),
                                              correlationAt(recorded, placed, placement.offset + 1));
    double dot = 0.0;
    double expectedEnergy = 0.0;
    for (size_t i = 0; i < placed.size(); ++i) {
        dot += static_cast<double>(recorded[static_cast<size_t>(placement.offset) + i]) * placed[i];
        expectedEnergy += static_cast<double>(placed[i]) * placed[i];
    }
    const double gain = dot / expectedEnergy;
    double residual = 0.0;
    for (size_t i = 0; i < placed.size(); ++i) {
        const double error = recorded[static_cast<size_t>(placement.offset) + i] - gain * placed[i];
        residual += error * error;
    }
    placement.gainDb = 20.0 * std::log10(std::max(gain, 1e-12));
    placement.residualDb = 10.0 * std::log10(std::max(residual, 1e-30) / expectedEnergy);
    return placement;
}

std::vector<float> farEndSpeech(const std::string& directory) {
    return spokenSpeech("Good morning. This is the far end of the call, speaking through your loudspeaker, on a "
                        "device of another format.",
                        "en-us+m3", 165, directory);
}

EchoSession runEchoSession(const std::vector<float>& far, unsigned roomChannels, const std::string& roomMap) {
    EchoSession session;
    std::vector<int16_t> frames(far.size());
    for (size_t i = 0; i < far.size(); ++i) {
        frames[i] = static_cast<int16_t>(std::lround(std::clamp(far[i], -1.0f, 0.99997f) * 32768.0f));
    }
    // The first of the room's channels as it is: the level of one microphone, as the library's is.
    Recorder microphone("room.monitor", 5, roomChannels, 0, roomMap);
    // A fresh server renders its null sinks in long blocks until a low-latency client is served.
    if (!microphone.waitForFrames(480, std::chrono::seconds(10))) {
        session.failure = "room.monitor delivered nothing within 10 s";
        return session;
    }
    std::unique_ptr<mivo_voice_io, void (*)(mivo_voice_io*)> voice(api::createHandle(platform::defaultAudioPlatform()),
                                                                   mivo_voice_io_destroy);
    if (mivo_voice_io_start(voice.get()) != 0) {
        char text[512];
        mivo_voice_io_copy_last_error(voice.get(), text, sizeof text);
        session.failure = std::string("the library did not start: ") + text;
        return session;
    }
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        std::vector<int16_t> chunk(160);
        while (reading.load()) {
            const int32_t got = mivo_voice_io_read_capture(voice.get(), chunk.data(), 160, 200);
            if (got < 0) break;
            const auto now = Clock::now();
            for (int32_t i = 0; i < got; ++i) session.library.push_back(chunk[static_cast<size_t>(i)] / 32768.0);
            if (got > 0) session.libraryReads.emplace_back(session.library.size(), now);
        }
    });
    session.farStarted = Clock::now();
    bool written = true;
    for (size_t at = 0; at < frames.size() && written; at += 480) {
        const auto count = static_cast<int32_t>(std::min<size_t>(480, frames.size() - at));
        written = mivo_voice_io_write_playback(voice.get(), frames.data() + at, count) == 1;
    }
    const bool drained = mivo_voice_io_wait_playback(voice.get()) == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool nearFailed = false;
    {
        SignalPlayer near("room", sine(1000.0, nearAmplitude, nearSeconds), false, 60,
                          {std::vector<float>(roomChannels, 1.0f), roomMap});
        session.nearStarted = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(nearSeconds + 0.2));
        nearFailed = near.failed();
    }
    reading.store(false);
    reader.join();
    mivo_voice_io_stop(voice.get());
    microphone.stop();
    if (!written || !drained) session.failure = "the library did not play the far end";
    if (microphone.failed()) session.failure = "room.monitor could not be recorded";
    if (nearFailed) session.failure = "the near-end talker could not play into the room";

    const std::vector<float> raw = microphone.samples();
    const std::vector<float> narrow = resampled(raw, 48000.0, 16000.0);
    session.microphone.assign(narrow.begin(), narrow.end());
    for (size_t end = 480; end <= raw.size(); end += 480) {
        session.microphoneReads.emplace_back(end / 3, microphone.arrivalOf(end - 1));
    }
    return session;
}

double EchoSession::reductionDb(double fromSeconds, double toSeconds, double* microphoneDb) const {
    const auto from = after(farStarted, fromSeconds);
    const auto to = after(farStarted, toSeconds);
    const double heard = meanSquare(microphone, indexAt(microphoneReads, from, microphone.size()),
                                    indexAt(microphoneReads, to, microphone.size()));
    const double kept = meanSquare(library, indexAt(libraryReads, from, library.size()),
                                   indexAt(libraryReads, to, library.size()));
    if (microphoneDb) *microphoneDb = 10.0 * std::log10(std::max(heard, 1e-20));
    return 10.0 * std::log10(std::max(heard, 1e-20) / std::max(kept, 1e-20));
}

double EchoSession::nearAmplitudeHeard() const {
    const size_t from = indexAt(libraryReads, after(nearStarted, nearSeconds - 1.0), library.size());
    const size_t to = indexAt(libraryReads, after(nearStarted, nearSeconds), library.size());
    if (to <= from) return 0.0;
    std::vector<float> heard(library.begin() + static_cast<long>(from), library.begin() + static_cast<long>(to));
    // By 20 ms blocks: a skip in the talker's own stream must not read as a quiet near end.
    return typicalToneAmplitude(heard.data(), heard.size(), 1000.0, 16000.0);
}

}  // namespace mivo::testing
