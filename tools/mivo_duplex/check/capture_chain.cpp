#include "mivo_duplex/check/capture_chain.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "mivo_duplex/check/spectra.h"

namespace mivo::duplex::check {

namespace {

constexpr double rawRate = PlainRecorder::rate;
constexpr double libraryRate = 16000.0;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double decibels(double power) { return 10.0 * std::log10(std::max(power, 1e-12)); }

template <typename Sample>
double meanSquare(const std::vector<Sample>& s, double scale, int64_t begin, int64_t end) {
    begin = std::max<int64_t>(begin, 0);
    end = std::min<int64_t>(end, static_cast<int64_t>(s.size()));
    if (end <= begin) return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    for (int64_t i = begin; i < end; ++i) sum += static_cast<double>(s[i]) * s[i];
    return sum / static_cast<double>(end - begin) / (scale * scale);
}

std::vector<float> toLibraryRate(const std::vector<float>& raw) {
    std::vector<float> out(raw.size() / 3 + 64);
    size_t produced = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_oneshot(rawRate, libraryRate, 1, raw.data(), raw.size(), nullptr, out.data(), out.size(), &produced, nullptr,
                 &quality, nullptr);
    out.resize(produced);
    return out;
}

double noiseFloor(const SessionRecording& recording, Clock::time_point rawEpoch) {
    const auto begin = static_cast<int64_t>((seconds(recording.recordingStart - rawEpoch) + 0.2) * rawRate);
    const auto end = static_cast<int64_t>(seconds(recording.playbackStart - rawEpoch) * rawRate);
    std::vector<double> blocks;
    for (int64_t at = begin; at + 2400 <= end; at += 2400) {
        const double power = meanSquare(recording.raw.microphone, 1.0, at, at + 2400);
        if (!std::isnan(power)) blocks.push_back(power);
    }
    if (blocks.empty()) return -120.0;
    std::nth_element(blocks.begin(), blocks.begin() + static_cast<long>(blocks.size() / 2), blocks.end());
    return std::max(decibels(blocks[blocks.size() / 2]), -120.0);
}

}  // namespace

Clock::time_point deliveryEpoch(const std::vector<Delivery>& deliveries, double rate) {
    if (deliveries.empty()) return Clock::time_point{};
    std::vector<double> starts;
    const Clock::time_point reference = deliveries.front().at;
    for (const Delivery& d : deliveries) starts.push_back(seconds(d.at - reference) - static_cast<double>(d.endSample) / rate);
    std::nth_element(starts.begin(), starts.begin() + static_cast<long>(starts.size() / 2), starts.end());
    return reference + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(starts[starts.size() / 2]));
}

CaptureChain measureCaptureChain(const SessionRecording& recording) {
    CaptureChain chain;
    const std::vector<float>& raw = recording.raw.microphone;
    float peak = 0.0f;
    for (float s : raw) {
        peak = std::max(peak, std::abs(s));
        if (std::abs(s) >= 32767.0f / 32768.0f) ++chain.clippedSamples;
    }
    chain.peakDbfs = peak > 0.0f ? 20.0 * std::log10(peak) : -120.0;
    const Clock::time_point rawEpoch = deliveryEpoch(recording.raw.microphoneDeliveries, rawRate);
    const Clock::time_point libraryEpoch = deliveryEpoch(recording.libraryDeliveries, libraryRate);
    chain.noiseFloorDbfs = noiseFloor(recording, rawEpoch);

    // Same sound, two deliveries: the library's output lined up with the raw microphone by
    // correlation, searched from 50 ms earlier to 400 ms later than the plain client's.
    const double byClock = seconds(libraryEpoch - rawEpoch) * libraryRate;
    chain.rawLag = std::llround(byClock);
    std::vector<float> library(recording.library.size());
    std::transform(recording.library.begin(), recording.library.end(), library.begin(),
                   [](int16_t s) { return s / 32768.0f; });
    const std::vector<float> raw16 = toLibraryRate(raw);
    const auto reach = static_cast<int64_t>(std::abs(byClock)) + 8000;
    const std::vector<double> correlation = crossCorrelation(library, raw16, static_cast<size_t>(reach));
    double best = 0.0, sum = 0.0;
    int64_t bestLag = 0, counted = 0;
    for (int64_t lag = std::llround(byClock) - 6400; lag <= std::llround(byClock) + 800; ++lag) {
        const double value = correlation[static_cast<size_t>(lag + reach)];
        sum += value * value;
        ++counted;
        if (std::abs(value) > best) {
            best = std::abs(value);
            bestLag = lag;
        }
    }
    const double typical = std::sqrt(sum / static_cast<double>(std::max<int64_t>(counted, 1)));
    if (typical > 0.0 && best > 6.0 * typical) {
        chain.latencyKnown = true;
        chain.rawLag = bestLag;
        chain.latencyAddedMs = (byClock - static_cast<double>(bestLag)) * 1000.0 / libraryRate;
    }
    return chain;
}

namespace {

// The near end under the echo: the raw microphone less the echo its path predicts.
double nearEndPower(const SessionRecording& recording, const AlignedSignals& aligned, const EchoPath& path,
                    int64_t rawBegin, int64_t rawEnd) {
    const int64_t start = static_cast<int64_t>(aligned.microphoneStart);
    if (path.taps.empty()) return meanSquare(recording.raw.microphone, 1.0, rawBegin, rawEnd);
    const std::vector<float> echo = convolve(aligned.speaker, path.taps);
    double sum = 0.0;
    int64_t count = 0;
    for (int64_t i = std::max(rawBegin, start); i < rawEnd && i - start < static_cast<int64_t>(echo.size()); ++i) {
        const double near = recording.raw.microphone[static_cast<size_t>(i)] - echo[static_cast<size_t>(i - start)];
        sum += near * near;
        ++count;
    }
    return count ? sum / static_cast<double>(count) : std::numeric_limits<double>::quiet_NaN();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

Cancellation measureCancellation(const SessionRecording& recording, const CaptureChain& chain,
                                 const AlignedSignals& aligned, const EchoPath& path) {
    Cancellation result;
    const Clock::time_point libraryEpoch = deliveryEpoch(recording.libraryDeliveries, libraryRate);
    const double first = seconds(recording.playbackStart - libraryEpoch) * libraryRate;
    const double nearBegin = seconds(recording.nearStart - recording.playbackStart);
    const double nearEnd = seconds(recording.nearEnd - recording.playbackStart);
    result.doubleTalk = nearEnd > nearBegin;
    const double quiet = std::pow(10.0, chain.noiseFloorDbfs / 10.0);
    // A second counts when the raw microphone holds echo well above its noise, and no near end
    // (nor the room's tail of it).
    const auto raw = [&](int64_t j) { return 3 * (j + chain.rawLag); };
    std::vector<double> judged;
    for (int second = 0; second < static_cast<int>(SessionTimes::farEnd); ++second) {
        const auto begin = static_cast<int64_t>(first + second * libraryRate);
        const double heard = meanSquare(recording.raw.microphone, 1.0, raw(begin), raw(begin + 16000));
        const double left = meanSquare(recording.library, 32768.0, begin, begin + 16000);
        const bool talking = result.doubleTalk && second + 1 > nearBegin - 0.3 && second < nearEnd + 0.8;
        const bool echo = !std::isnan(heard) && !std::isnan(left) && heard > std::max(10.0 * quiet, 1e-8);
        const double erle = echo && !talking ? decibels(heard) - decibels(left) : std::nan("");
        result.erlePerSecond.push_back(erle);
        if (!std::isnan(erle) && second >= settleSeconds) judged.push_back(erle);
    }
    result.judged = !judged.empty();
    if (result.judged) {
        result.erleMedianDb = median(judged);
        result.erleLowestDb = *std::min_element(judged.begin(), judged.end());
    }
    if (!result.doubleTalk) return result;
    // The talker's first moments and the room's tail are left out of the comparison.
    const auto j0 = static_cast<int64_t>(first + (nearBegin + 0.3) * libraryRate);
    const auto j1 = static_cast<int64_t>(first + nearEnd * libraryRate);
    const double near = nearEndPower(recording, aligned, path, raw(j0), raw(j1));
    const double kept = meanSquare(recording.library, 32768.0, j0, j1);
    result.nearHeard = !std::isnan(near) && !std::isnan(kept) && near > std::max(10.0 * quiet, 1e-8);
    if (result.nearHeard) result.nearKeptDb = decibels(kept) - decibels(near);
    return result;
}

}  // namespace mivo::duplex::check
