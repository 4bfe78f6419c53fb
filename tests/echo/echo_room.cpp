// How a session in the echo room is played, recorded and measured.

#include "echo_room.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "private_pulse_daemon.h"
#include "spoken_signal.h"

namespace mivo::testing {

using namespace std::chrono_literals;

double decibels(double ratio) { return 10.0 * std::log10(std::max(ratio, 1e-20)); }

std::vector<float> speech(const std::string& text, const std::string& voice, const std::string& directory) {
    return spokenSpeech(text, voice, 175, directory);
}

namespace {

void place(std::vector<float>& track, const std::vector<float>& signal, double at, double until) {
    const size_t start = static_cast<size_t>(at * playRate);
    const size_t length = std::min(signal.size(), static_cast<size_t>((until - at) * playRate));
    const size_t fade = static_cast<size_t>(0.02 * playRate);
    for (size_t i = 0; i < length && start + i < track.size(); ++i) {
        const double gain = i + fade > length ? static_cast<double>(length - i) / static_cast<double>(fade) : 1.0;
        track[start + i] += static_cast<float>(signal[i] * gain);
    }
}

// 48 kHz to 16 kHz, so that the raw microphone is compared with the library's capture over the
// same band.
std::vector<double> toCaptureRate(const std::vector<float>& input) {
    const std::vector<float> output = resampled(input, playRate, captureRate);
    return std::vector<double>(output.begin(), output.end());
}

}  // namespace

Clock::time_point after(Clock::time_point base, double seconds) {
    return base + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Session EchoRoomTest::run(std::shared_ptr<platform::AudioPlatform> platform, bool withNearEnd,
                      const std::function<void(double)>& beforeWrite) {
    Session session;
    session.nearSeconds = static_cast<double>(near_.size()) / playRate;
    // Without a near-end talker only the far-end-only part is needed.
    std::vector<float> far(static_cast<size_t>((withNearEnd ? sessionEnd : farOnlyEnd + 0.3) * playRate));
    place(far, far_, 0.0, farOnlyEnd);
    if (withNearEnd) place(far, farAgain_, farDoubleAt, farDoubleEnd);
    std::vector<float> near(far.size());
    place(near, near_, nearAloneAt, sessionEnd);
    place(near, near_, nearDoubleAt, sessionEnd);
    std::vector<int16_t> farFrames(far.size());
    for (size_t i = 0; i < far.size(); ++i) {
        farFrames[i] = static_cast<int16_t>(std::lround(std::clamp(far[i], -1.0f, 0.99997f) * 32768.0f));
    }

    Recorder microphone("room.monitor");
    // A daemon that has just started renders its null sinks in long blocks until the first
    // low-latency client is served: start only once the microphone delivers.
    if (!microphone.waitForFrames(480, 10s)) {
        ADD_FAILURE() << "room.monitor delivered nothing within 10 s";
        return session;
    }
    std::unique_ptr<mivo_voice_io, void (*)(mivo_voice_io*)> voice(api::createHandle(std::move(platform)),
                                                                   mivo_voice_io_destroy);
    if (mivo_voice_io_start(voice.get()) != 0) {
        char text[512];
        mivo_voice_io_copy_last_error(voice.get(), text, sizeof text);
        ADD_FAILURE() << "the library did not start: " << text;
        return session;
    }

    std::atomic<bool> reading{true};
    std::thread reader([&] {
        std::vector<int16_t> chunk(160);
        size_t total = 0;
        while (reading.load()) {
            const int32_t got = mivo_voice_io_read_capture(voice.get(), chunk.data(), 160, 200);
            if (got < 0) break;
            const auto now = Clock::now();
            for (int32_t i = 0; i < got; ++i) session.library.samples.push_back(chunk[i] / 32768.0);
            total += static_cast<size_t>(got);
            if (got > 0) session.library.reads.emplace_back(total, now);
        }
    });

    std::unique_ptr<SignalPlayer> talker;
    session.farStarted = Clock::now();
    if (withNearEnd) talker = std::make_unique<SignalPlayer>("room", near, false);
    bool written = true;
    for (size_t at = 0; at < farFrames.size() && written; at += 480) {
        const auto count = static_cast<int32_t>(std::min<size_t>(480, farFrames.size() - at));
        if (beforeWrite) beforeWrite(static_cast<double>(at) / playRate);
        written = mivo_voice_io_write_playback(voice.get(), farFrames.data() + at, count) == 1;
        if (written) session.writtenFrames += static_cast<uint64_t>(count);
    }
    EXPECT_TRUE(written) << "the library refused far-end audio";
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1);
    session.playedFrames = mivo_voice_io_played_frames(voice.get());
    std::this_thread::sleep_for(300ms);

    reading.store(false);
    reader.join();
    mivo_voice_io_stop(voice.get());
    if (talker) {
        talker->stop();
        session.nearStarted = talker->started();
        EXPECT_FALSE(talker->failed()) << "the near-end talker could not play into the room";
    }
    microphone.stop();
    EXPECT_FALSE(microphone.failed()) << "room.monitor could not be recorded";

    const std::vector<float> raw = microphone.samples();
    session.microphone.samples = toCaptureRate(raw);
    // Arrival of every 10 ms of the raw recording, in 16 kHz samples.
    for (size_t end = 480; end <= raw.size(); end += 480) {
        session.microphone.reads.emplace_back(end / 3, microphone.arrivalOf(end - 1));
    }
    return session;
}


NearEndPresence findNearEnd(const Session& session) {
    const auto& out = session.library.samples;
    const size_t begin = session.library.indexAt(after(session.nearStarted, nearAloneAt - 0.1));
    const size_t length = static_cast<size_t>((session.nearSeconds + 0.35) * captureRate);
    const size_t expected = begin + static_cast<size_t>((nearDoubleAt - nearAloneAt) * captureRate);
    const long search = static_cast<long>(0.3 * captureRate);
    NearEndPresence result;
    if (expected + search + length > out.size() || static_cast<long>(expected) < search) return result;
    const std::vector<double> alone(out.begin() + static_cast<long>(begin), out.begin() + static_cast<long>(begin + length));
    double aloneEnergy = 0.0;
    for (double v : alone) aloneEnergy += v * v;
    if (aloneEnergy <= 0.0) return result;
    double bestDot = -1e300;
    long bestLag = 0;
    for (long lag = -search; lag <= search; ++lag) {
        const double* piece = out.data() + expected + lag;
        double dot = 0.0;
        for (size_t i = 0; i < length; ++i) dot += piece[i] * alone[i];
        if (dot > bestDot) {
            bestDot = dot;
            bestLag = lag;
        }
    }
    const double* piece = out.data() + expected + bestLag;
    double pieceEnergy = 0.0;
    for (size_t i = 0; i < length; ++i) pieceEnergy += piece[i] * piece[i];
    result.correlation = bestDot / std::sqrt(aloneEnergy * std::max(pieceEnergy, 1e-20));
    result.lossDb = bestDot > 0 ? -20.0 * std::log10(bestDot / aloneEnergy) : 120.0;
    return result;
}

}  // namespace mivo::testing
