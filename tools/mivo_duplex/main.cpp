// mivo-duplex: play a sound file through the loudspeaker while recording the echo-cancelled
// microphone, using nothing but the library's C interface.
#include <mivo_voice_io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mivo_duplex/check/check.h"
#include "mivo_duplex/options.h"
#include "mivo_duplex/status_line.h"
#include "mivo_duplex/wav_files.h"

namespace {

using namespace mivo::duplex;
using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

void onSignal(int) { interrupted.store(true); }

std::string lastError(mivo_voice_io* voice) {
    char text[512];
    mivo_voice_io_copy_last_error(voice, text, static_cast<int32_t>(sizeof text));
    return text;
}

struct VoiceDeleter {
    void operator()(mivo_voice_io* voice) const { mivo_voice_io_destroy(voice); }
};

constexpr int32_t playbackChunk = 4800;  // 100 ms at 48 kHz
constexpr int32_t captureChunk = 1600;   // 100 ms at 16 kHz

int run(const Options& options) {
    std::vector<int16_t> playback;
    if (!options.playPath.empty()) playback = readAsPlaybackFrames(options.playPath);
    std::optional<CaptureWavWriter> recording;
    if (!options.recordPath.empty()) recording.emplace(options.recordPath);

    const double playbackSeconds = static_cast<double>(playback.size()) / 48000.0;
    const double totalSeconds = options.seconds > 0 ? options.seconds : playbackSeconds;

    std::unique_ptr<mivo_voice_io, VoiceDeleter> voice(mivo_voice_io_create());
    if (mivo_voice_io_start(voice.get()) != 0) {
        std::fprintf(stderr, "mivo-duplex: %s\n", lastError(voice.get()).c_str());
        return 1;
    }

    // Writes in chunks; back-pressure in the library paces it to real time.
    std::atomic<bool> finishing{false};
    std::atomic<bool> writerDone{playback.empty()};
    std::atomic<double> outputDb{-99.0};
    std::string writerFailure;
    std::thread writer([&] {
        int32_t result = 1;
        for (size_t offset = 0; offset < playback.size() && result == 1 && !finishing.load(); offset += playbackChunk) {
            const auto count = static_cast<int32_t>(std::min<size_t>(playbackChunk, playback.size() - offset));
            outputDb.store(peakDb(playback.data() + offset, count));
            result = mivo_voice_io_write_playback(voice.get(), playback.data() + offset, count);
        }
        if (result == 1 && !finishing.load() && !playback.empty()) result = mivo_voice_io_wait_playback(voice.get());
        outputDb.store(-99.0);
        // Failures caused by our own shutdown are not failures.
        if (result < 0 && !finishing.load()) writerFailure = lastError(voice.get());
        writerDone.store(true);
    });

    StatusLine status(stdout);
    std::vector<int16_t> captured(captureChunk);
    const auto begin = Clock::now();
    int exitCode = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        if (interrupted.load()) break;
        if (options.seconds > 0 ? elapsed >= options.seconds : writerDone.load() && !playback.empty()) break;
        const int32_t got = mivo_voice_io_read_capture(voice.get(), captured.data(), captureChunk, 200);
        if (got < 0) {
            status.finish();
            std::fprintf(stderr, "mivo-duplex: capture ended: %s\n", lastError(voice.get()).c_str());
            exitCode = 1;
            break;
        }
        if (got > 0 && recording) recording->append(captured.data(), got);
        status.update(Progress{elapsed, totalSeconds, got > 0 ? peakDb(captured.data(), got) : -99.0, outputDb.load(),
                               mivo_voice_io_played_frames(voice.get())});
    }
    status.finish();

    // Ctrl-C or the end of the run: drop what is still queued, stop, and close the file whole.
    finishing.store(true);
    mivo_voice_io_interrupt_playback(voice.get());
    mivo_voice_io_stop(voice.get());
    writer.join();
    if (recording) recording->close();

    if (exitCode == 0 && !writerFailure.empty()) {
        std::fprintf(stderr, "mivo-duplex: playback failed: %s\n", writerFailure.c_str());
        exitCode = 1;
    }
    std::printf("played %llu frames\n", static_cast<unsigned long long>(mivo_voice_io_played_frames(voice.get())));
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    std::string problem;
    const std::optional<Options> options = parseOptions(argc, argv, problem);
    if (!options) {
        if (!problem.empty()) std::fprintf(stderr, "mivo-duplex: %s\n", problem.c_str());
        std::fputs(usage(), problem.empty() ? stdout : stderr);
        return problem.empty() ? 0 : 2;
    }
    if (options->check) {
        // Ctrl-C ends the check outright; its private server ends with it.
        try {
            return mivo::duplex::check::runCheck(*options->check);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "mivo-duplex --check: the check could not run: %s\n", error.what());
            return 2;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        return run(*options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mivo-duplex: %s\n", error.what());
        return 1;
    }
}
