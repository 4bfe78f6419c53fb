#include "signal_measures.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace mivo::testing {

std::vector<float> sine(double frequency, double amplitude, double seconds, double rate) {
    std::vector<float> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
    }
    return samples;
}

template <typename Sample>
static double rmsOf(const Sample* samples, size_t count) {
    if (count == 0) return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

double rms(const float* samples, size_t count) { return rmsOf(samples, count); }
double rms(const int16_t* samples, size_t count) { return rmsOf(samples, count); }

template <typename Sample>
static double amplitudeOf(const Sample* samples, size_t count, double frequency, double rate) {
    if (count == 0) return 0.0;
    double re = 0.0;
    double im = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        re += samples[i] * std::cos(phase);
        im -= samples[i] * std::sin(phase);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(count);
}

double toneAmplitude(const float* samples, size_t count, double frequency, double rate) {
    return amplitudeOf(samples, count, frequency, rate);
}
double toneAmplitude(const int16_t* samples, size_t count, double frequency, double rate) {
    return amplitudeOf(samples, count, frequency, rate);
}

// The median over 20 ms blocks of what `measure(block start, block length)` gives.
template <typename Measure>
static double typicalOverBlocks(size_t count, double rate, Measure measure) {
    const auto block = static_cast<size_t>(rate / 50.0);
    if (count < block) return measure(0, count);
    std::vector<double> values;
    for (size_t at = 0; at + block <= count; at += block) values.push_back(measure(at, block));
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

template <typename Sample>
static double typicalAmplitudeOf(const Sample* samples, size_t count, double frequency, double rate) {
    return typicalOverBlocks(count, rate, [&](size_t at, size_t length) {
        return amplitudeOf(samples + at, length, frequency, rate);
    });
}

double typicalToneAmplitude(const float* samples, size_t count, double frequency, double rate) {
    return typicalAmplitudeOf(samples, count, frequency, rate);
}
double typicalToneAmplitude(const int16_t* samples, size_t count, double frequency, double rate) {
    return typicalAmplitudeOf(samples, count, frequency, rate);
}

// What is left of a block once the best sinusoid at `frequency` (any amplitude and phase) is taken
// out of it, by least squares: RMS of the remainder.
static double restAfterFit(const int16_t* samples, size_t count, double frequency, double rate) {
    double cc = 0.0, ss = 0.0, cs = 0.0, xc = 0.0, xs = 0.0, xx = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        const double c = std::cos(phase), s = std::sin(phase), x = samples[i];
        cc += c * c, ss += s * s, cs += c * s, xc += x * c, xs += x * s, xx += x * x;
    }
    const double determinant = cc * ss - cs * cs;
    if (count == 0 || determinant <= 0.0) return 0.0;
    const double a = (xc * ss - xs * cs) / determinant;
    const double b = (xs * cc - xc * cs) / determinant;
    return std::sqrt(std::max(0.0, xx - a * xc - b * xs) / static_cast<double>(count));
}

double typicalRestBesideTone(const int16_t* samples, size_t count, double frequency, double rate) {
    constexpr double reachHz = 4.0;
    constexpr double stepHz = 0.1;
    return typicalOverBlocks(count, rate, [&](size_t at, size_t length) {
        double rest = restAfterFit(samples + at, length, frequency, rate);
        for (double offset = -reachHz; offset <= reachHz; offset += stepHz)
            rest = std::min(rest, restAfterFit(samples + at, length, frequency + offset, rate));
        return rest;
    });
}

long bestOffset(const std::vector<float>& haystack, const std::vector<float>& needle, double* correlation) {
    if (needle.empty() || haystack.size() < needle.size()) return -1;
    if (correlation) *correlation = 0.0;
    double needleEnergy = 0.0;
    for (float v : needle) needleEnergy += static_cast<double>(v) * v;
    long best = -1;
    double bestScore = 0.0;
    for (size_t offset = 0; offset + needle.size() <= haystack.size(); ++offset) {
        double dot = 0.0;
        double energy = 0.0;
        for (size_t i = 0; i < needle.size(); ++i) {
            dot += static_cast<double>(haystack[offset + i]) * needle[i];
            energy += static_cast<double>(haystack[offset + i]) * haystack[offset + i];
        }
        if (energy <= 0.0) continue;
        const double score = dot / std::sqrt(energy * needleEnergy);
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<long>(offset);
        }
    }
    if (correlation) *correlation = bestScore;
    return best;
}

std::string describeCopyMismatch(const std::vector<float>& recorded, size_t at, const std::vector<float>& expected,
                                 float tolerance) {
    size_t first = 0;
    while (first < expected.size() && at + first < recorded.size() &&
           std::fabs(recorded[at + first] - expected[first]) <= tolerance)
        ++first;
    if (first == expected.size()) return {};
    std::ostringstream text;
    text << "the copy first differs at sample " << first << " of " << expected.size();
    if (at + first >= recorded.size()) return text.str() + " (the recording ends there)";
    text << " (" << recorded[at + first] << " instead of " << expected[first] << ")";
    // The copy's next 480 samples later in the recording (a gap), or the recording's next 480
    // later in the copy (samples skipped), within 100 ms.
    constexpr long reach = 4800;
    constexpr long length = 480;
    const long here = static_cast<long>(at + first);
    const auto slice = [](const std::vector<float>& from, long begin, long end) {
        begin = std::clamp<long>(begin, 0, static_cast<long>(from.size()));
        end = std::clamp<long>(end, begin, static_cast<long>(from.size()));
        return std::vector<float>(from.begin() + begin, from.begin() + end);
    };
    const auto laterIn = [&](const std::vector<float>& haystack, long begin, const std::vector<float>& needle) {
        double correlation = 0.0;
        const long found = bestOffset(slice(haystack, begin, begin + reach + length), needle, &correlation);
        return found > 0 && correlation >= 0.99 ? found : 0L;
    };
    const long there = static_cast<long>(first);
    if (const long gap = laterIn(recorded, here, slice(expected, there, there + length)); gap > 0) {
        const double between = rms(recorded.data() + here, static_cast<size_t>(gap));
        text << "; the rest comes " << gap << " samples late, after " << between
             << " RMS between: a gap, a stream ran dry";
    } else if (const long lost = laterIn(expected, there, slice(recorded, here, here + length)); lost > 0) {
        text << "; the recording goes on " << lost << " samples further into the copy: samples were lost";
    } else {
        text << "; the rest is not found shifted nearby: the values changed";
    }
    return text.str();
}

}  // namespace mivo::testing
