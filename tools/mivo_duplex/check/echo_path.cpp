#include "mivo_duplex/check/echo_path.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "mivo_duplex/check/spectra.h"

namespace mivo::duplex::check {

namespace {

constexpr size_t near = 48;                 // an arrival's level counts what lies within 1 ms of it
constexpr size_t longestPath = 28800;       // 0.6 s of response per window
constexpr size_t lead = 2880;               // estimates start 60 ms before the strongest arrival
constexpr size_t windowLength = 3 * 48000;  // a delay per window: drift and changes show
constexpr size_t windowStep = windowLength / 2;

struct TalkSpan {
    size_t begin;
    size_t end;
    bool overlaps(size_t start, size_t length) const { return start < end && begin < start + length; }
};

struct WindowResult {
    double atSeconds = 0.0;
    double delayMs = 0.0;
    double levelDb = 0.0;
    double strongestMs = 0.0;
};

struct Arrival {
    double index = 0.0;
    double amplitude = 0.0;
    size_t strongest = 0;
    bool clear = false;
};

Arrival firstArrival(const ImpulseEstimate& estimate) {
    const std::vector<double>& r = estimate.response;
    std::vector<double> magnitude(r.size());
    std::transform(r.begin(), r.end(), magnitude.begin(), [](double v) { return std::abs(v); });
    Arrival arrival;
    arrival.strongest = static_cast<size_t>(std::max_element(magnitude.begin(), magnitude.end()) - magnitude.begin());
    const double peak = magnitude[arrival.strongest];
    const double rms = std::sqrt(std::inner_product(r.begin(), r.end(), r.begin(), 0.0) / r.size());
    arrival.clear = peak > 8.0 * rms;
    size_t index = 0;
    while (magnitude[index] < peak * std::pow(10.0, -12.0 / 20.0)) ++index;
    while (index + 1 < magnitude.size() && magnitude[index + 1] > magnitude[index]) ++index;
    double offset = 0.0;
    if (index > 0 && index + 1 < magnitude.size()) {
        const double a = magnitude[index - 1], b = magnitude[index], c = magnitude[index + 1];
        if (a - 2 * b + c != 0.0) offset = 0.5 * (a - c) / (a - 2 * b + c);
    }
    double energy = 0.0;
    for (size_t i = index >= near ? index - near : 0; i <= std::min(index + near, r.size() - 1); ++i) energy += r[i] * r[i];
    const double spreadEnergy =
        std::inner_product(estimate.spread.begin(), estimate.spread.end(), estimate.spread.begin(), 0.0);
    arrival.index = static_cast<double>(index) + offset;
    arrival.amplitude = std::sqrt(energy / spreadEnergy);
    return arrival;
}

double rms(const float* data, size_t count) {
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) sum += static_cast<double>(data[i]) * data[i];
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

// Near-end speech confuses the search for the strongest arrival: windows with a talker are left out.
std::vector<WindowResult> measureWindows(const std::vector<float>& speaker, const std::vector<float>& microphone,
                                         TalkSpan talk) {
    const size_t count = std::min(speaker.size(), microphone.size());
    double loudest = 0.0;
    for (size_t start = 0; start + windowLength <= count; start += windowStep)
        loudest = std::max(loudest, rms(&speaker[start], windowLength));
    std::vector<WindowResult> rows;
    for (size_t start = 0; start + windowLength <= count; start += windowStep) {
        if (talk.overlaps(start, windowLength)) continue;
        const float* s = &speaker[start];
        const float* m = &microphone[start];
        // A window with little from the loudspeaker has nothing to measure the room by.
        if (rms(s, windowLength) < std::max(0.1 * loudest, 1e-4)) continue;
        const size_t bulk = strongestLag(s, m, windowLength, longestPath);
        const size_t skip = bulk > lead ? bulk - lead : 0;
        const ImpulseEstimate estimate = estimateImpulseResponse(s, m + skip, windowLength - skip, longestPath, near);
        if (estimate.response.empty()) continue;
        const Arrival arrival = firstArrival(estimate);
        if (!arrival.clear) continue;
        rows.push_back({(static_cast<double>(start) + windowLength / 2.0) / analysisRate,
                        1000.0 * (arrival.index + static_cast<double>(skip)) / analysisRate,
                        20.0 * std::log10(std::max(arrival.amplitude, 1e-12)),
                        1000.0 * static_cast<double>(arrival.strongest + skip) / analysisRate});
    }
    return rows;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

double slope(const std::vector<double>& x, const std::vector<double>& y) {
    const double mx = std::accumulate(x.begin(), x.end(), 0.0) / x.size();
    const double my = std::accumulate(y.begin(), y.end(), 0.0) / y.size();
    double num = 0.0, den = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        num += (x[i] - mx) * (y[i] - my);
        den += (x[i] - mx) * (x[i] - mx);
    }
    return den > 0.0 ? num / den : 0.0;
}

// How much of the delays' spread a straight line explains (R squared); 1 when they do not move.
double straightness(const std::vector<double>& x, const std::vector<double>& y) {
    const double my = std::accumulate(y.begin(), y.end(), 0.0) / y.size();
    const double mx = std::accumulate(x.begin(), x.end(), 0.0) / x.size();
    const double b = slope(x, y);
    double residual = 0.0, total = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double fitted = my + b * (x[i] - mx);
        residual += (y[i] - fitted) * (y[i] - fitted);
        total += (y[i] - my) * (y[i] - my);
    }
    return total > 1e-6 ? 1.0 - residual / total : 1.0;
}

// Windows far from the run's usual delay belong to a path that moved (or had too little sound to
// go by): they are reported as a change, not averaged in.
void summarise(std::vector<WindowResult> rows, EchoPath& path) {
    std::vector<double> all;
    for (const WindowResult& row : rows) all.push_back(row.delayMs);
    const double usual = median(all);
    std::vector<double> delays, levels, strongest, times, moved;
    for (const WindowResult& row : rows) {
        if (std::abs(row.delayMs - usual) >= 10.0) {
            moved.push_back(row.delayMs);
            continue;
        }
        delays.push_back(row.delayMs);
        levels.push_back(row.levelDb);
        strongest.push_back(row.strongestMs);
        times.push_back(row.atSeconds);
    }
    path.heard = !delays.empty();
    path.windows = static_cast<int>(delays.size());
    path.delayMs = median(delays);
    path.levelDb = median(levels);
    path.strongestMs = median(strongest);
    // Drift moves the delay steadily; a step (a path that changed) is not drift.
    if (delays.size() >= 3 && times.back() - times.front() > 5.0 && straightness(times, delays) >= 0.9)
        path.driftPpm = slope(times, delays) * 1000.0;
    // A path that moved stays moved: the far windows come last and agree with each other. A lone
    // window elsewhere is a reflection taken for the first arrival, not a change.
    std::vector<double> movedTimes;
    for (const WindowResult& row : rows)
        if (std::abs(row.delayMs - usual) >= 10.0) movedTimes.push_back(row.atSeconds);
    const auto [low, high] = std::minmax_element(moved.begin(), moved.end());
    path.changed = moved.size() >= 2 && !delays.empty() && movedTimes.front() > times.back() && *high - *low < 3.0;
    path.changedDelayMs = median(moved);
}

// The run's response from the loudspeaker to the microphone, for the reverberation and the echo
// the microphone should contain.
std::vector<double> wholeRunTaps(const AlignedSignals& signals, double delayMs, TalkSpan talk) {
    constexpr size_t length = 38400;  // 0.8 s: long enough for a reverberant room's tail
    size_t count = std::min(signals.speaker.size(), signals.microphone.size());
    if (talk.begin < count && talk.begin > 4 * length) count = talk.begin;
    const auto bulk = static_cast<size_t>(delayMs * analysisRate / 1000.0);
    const size_t skip = bulk > lead ? bulk - lead : 0;
    if (count <= skip + 2 * length) return {};
    const ImpulseEstimate estimate = estimateImpulseResponse(signals.speaker.data(), signals.microphone.data() + skip,
                                                             count - skip, length, near);
    if (estimate.response.empty()) return {};
    std::vector<double> taps(skip, 0.0);
    taps.insert(taps.end(), estimate.response.begin(), estimate.response.end());
    return taps;
}

// A drifting path smears each window's arrival; stretched back by the drift it holds still.
std::vector<float> stretched(const std::vector<float>& signal, double ppm) {
    const double factor = 1.0 + ppm * 1e-6;
    std::vector<float> out(signal.size(), 0.0f);
    for (size_t i = 0; i < out.size(); ++i) {
        const double position = static_cast<double>(i) * factor;
        const auto left = static_cast<size_t>(position);
        if (left + 1 >= signal.size()) break;
        const double fraction = position - static_cast<double>(left);
        out[i] = static_cast<float>(signal[left] * (1.0 - fraction) + signal[left + 1] * fraction);
    }
    return out;
}

}  // namespace

EchoPath measureEchoPath(const AlignedSignals& signals, size_t talkBegin, size_t talkEnd) {
    const TalkSpan talk{talkBegin, talkEnd};
    EchoPath path;
    summarise(measureWindows(signals.speaker, signals.microphone, talk), path);
    if (!path.heard) return path;
    if (std::abs(path.driftPpm) >= 20.0) {
        EchoPath steady;
        summarise(measureWindows(signals.speaker, stretched(signals.microphone, path.driftPpm), talk), steady);
        if (steady.heard) path.levelDb = steady.levelDb;
    }
    path.taps = wholeRunTaps(signals, path.delayMs, talk);
    const auto first = static_cast<size_t>(path.delayMs * analysisRate / 1000.0);
    if (first < path.taps.size()) path.rt60Seconds = reverberationSeconds(path.taps, first, analysisRate);
    return path;
}

double reverberationSeconds(const std::vector<double>& response, size_t first, double rate) {
    // The estimate's own noise, from the taps before the first arrival (or, when it comes too soon
    // for that, the last fifth of the response), must not count as decay: integration starts
    // where the tail sinks into it (10 ms blocks within 3 dB of it).
    const size_t block = static_cast<size_t>(rate / 100);
    size_t quietEnd = first > 2 * near ? first - 2 * near : 0;
    size_t quietBegin = 0;  // taps before the estimate began are zero, not noise
    while (quietBegin < quietEnd && response[quietBegin] == 0.0) ++quietBegin;
    if (quietEnd < quietBegin + block) {
        quietBegin = response.size() - (response.size() - first) / 5;
        quietEnd = response.size();
    }
    if (quietEnd < quietBegin + block) return -1.0;
    double noise = 0.0;
    for (size_t i = quietBegin; i < quietEnd; ++i) noise += response[i] * response[i];
    noise /= static_cast<double>(quietEnd - quietBegin);
    size_t end = first + block;
    for (; end + block <= response.size(); end += block) {
        double energy = 0.0;
        for (size_t i = end; i < end + block; ++i) energy += response[i] * response[i];
        if (energy / static_cast<double>(block) < 2.0 * noise) break;
    }
    end = std::min(end, response.size());
    std::vector<double> decay(end - first);
    double sum = 0.0;
    for (size_t i = decay.size(); i-- > 0;) {
        sum += std::max(response[first + i] * response[first + i] - noise, 0.0);
        decay[i] = sum;
    }
    if (decay.empty() || decay[0] <= 0.0) return -1.0;
    std::vector<double> times, levels;
    for (size_t i = 0; i < decay.size(); ++i) {
        const double db = 10.0 * std::log10(std::max(decay[i], 1e-300) / decay[0]);
        if (db > -5.0 || db < -25.0) continue;
        times.push_back(static_cast<double>(i) / rate);
        levels.push_back(db);
    }
    // A tail too short to fit a slope to: no reverberation to speak of.
    if (times.size() < block) return 0.0;
    const double dbPerSecond = slope(times, levels);
    return dbPerSecond < 0.0 ? -60.0 / dbPerSecond : -1.0;
}

}  // namespace mivo::duplex::check
