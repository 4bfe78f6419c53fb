#include "spoken_signal.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "private_pulse_daemon.h"

namespace mivo::testing {

namespace {

// The first channel of a sound file and its rate; empty if it cannot be read.
std::vector<float> readSound(const std::string& path, double& rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    std::vector<float> samples(static_cast<size_t>(std::max<sf_count_t>(read, 0)));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = frames[i * static_cast<size_t>(info.channels)];
    rate = info.samplerate;
    return samples;
}

}  // namespace

std::vector<float> spokenSpeech(const std::string& text, const std::string& voice, int wordsPerMinute,
                                const std::string& directory) {
    const std::string path = directory + "/" + voice + ".wav";
    const std::string command = "espeak-ng -v " + voice + " -s " + std::to_string(wordsPerMinute) + " -w '" + path +
                                "' '" + text + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    double rate = 0.0;
    const std::vector<float> spoken = readSound(path, rate);
    const auto loud = [](float v) { return std::fabs(v) > 0.01f; };
    const auto first = std::find_if(spoken.begin(), spoken.end(), loud);
    const auto last = std::find_if(spoken.rbegin(), spoken.rend(), loud).base();
    if (first >= last || rate <= 0) return {};
    std::vector<float> result = resampled(std::vector<float>(first, last), rate, 48000.0);
    const double level = rms(result.data(), result.size());
    if (!(level > 0.0)) return {};
    for (float& v : result) v = static_cast<float>(v * 0.1 / level);
    return result;
}

std::vector<float> resampled(const std::vector<float>& input, double from, double to) {
    std::vector<float> output(static_cast<size_t>(static_cast<double>(input.size()) * to / from) + 16);
    size_t made = 0;
    const soxr_io_spec_t types = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    if (input.empty() || soxr_oneshot(from, to, 1, input.data(), input.size(), nullptr, output.data(), output.size(),
                                      &made, &types, nullptr, nullptr)) {
        return {};
    }
    output.resize(made);
    return output;
}

double meanSquare(const std::vector<double>& samples, size_t begin, size_t end) {
    end = std::min(end, samples.size());
    if (begin >= end) return 0.0;
    double total = 0.0;
    for (size_t i = begin; i < end; ++i) total += samples[i] * samples[i];
    return total / static_cast<double>(end - begin);
}

}  // namespace mivo::testing
