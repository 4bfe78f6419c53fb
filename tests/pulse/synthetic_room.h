#pragma once

// A synthetic room for the voice-processing stage: a speech-like far end and its echo, in the
// frames, rates and order that the engine uses, with the stream timing it reports.

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <deque>
#include <numbers>
#include <random>
#include <vector>

#include "platform/pulse/voice_processor.h"

namespace mivo::testing {

using platform::pulse::CaptureTiming;
using platform::pulse::renderFrameLength;
using platform::pulse::renderRate;
using platform::pulse::voiceFrameLength;
using platform::pulse::voiceRate;

// Speech-like: syllables of 200 ms with 200 ms pauses after every second one. Unvoiced, noise
// through a resonance; voiced, a glottal pulse train (pitch about 110 Hz, steady as synthetic speech) through the
// same resonance, which repeats itself every pitch period as speech does.
class Talker {
public:
    Talker(uint32_t seed, uint32_t rate, bool voiced = false) : random_(seed), rate_(rate), voiced_(voiced) {}
    float next() {
        const uint64_t syllable = count_ * 5 / rate_;  // 200 ms each
        const bool on = syllable % 3 != 2;
        ++count_;
        float excitation = std::normal_distribution<float>(0.0f, 0.1f)(random_);
        if (voiced_) {
            const double pitch = 110.0 + 3.0 * std::sin(2.0 * std::numbers::pi * 0.7 * count_ / rate_);
            phase_ += pitch / rate_;
            excitation = 0.02f * excitation;
            if (phase_ >= 1.0) {
                phase_ -= 1.0;
                excitation += 0.5f;
            }
        }
        state_ = 0.95f * state_ + excitation;
        return on ? state_ : 0.0f;
    }

private:
    std::mt19937 random_;
    uint32_t rate_;
    bool voiced_;
    float state_ = 0.0f;
    double phase_ = 0.0;
    uint64_t count_ = 0;
};

// A plain 48 kHz to 16 kHz low-pass and decimation for the microphone: not the one the processor
// uses for its reference, as the server's resampler is not either.
class MicrophoneDecimator {
public:
    MicrophoneDecimator() : taps_(63) {
        for (int i = 0; i < 63; ++i) {
            const double t = i - 31.0;
            const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t * 7600.0 / 24000.0) / (std::numbers::pi * t * 7600.0 / 24000.0);
            const double window = 0.54 - 0.46 * std::cos(2.0 * std::numbers::pi * i / 62.0);
            taps_[i] = static_cast<float>(sinc * window * 7600.0 / 24000.0);
        }
    }
    // One 10 ms frame in, one out.
    void process(const float* in, float* out) {
        history_.insert(history_.end(), in, in + renderFrameLength);
        for (uint32_t n = 0; n < voiceFrameLength; ++n) {
            float sum = 0.0f;
            for (size_t k = 0; k < taps_.size(); ++k) sum += taps_[k] * history_[n * 3 + k];
            out[n] = sum;
        }
        history_.erase(history_.begin(), history_.begin() + renderFrameLength);
    }

private:
    std::vector<float> taps_;
    std::deque<float> history_ = std::deque<float>(62, 0.0f);
};

// Plays the talker as the engine renders it and captures its echo through a path of taps. The
// render runs `aheadFrames` ahead of the capture; the capture sample captured while the
// loudspeaker played render sample n has the count n + streamOffset (48 kHz), as long as nothing
// breaks the streams.
class Room {
public:
    struct Tap {
        double delayMs;
        float gain;
    };

    Room(uint32_t seed, uint32_t aheadFrames = 3, bool voiced = false)
        : talker_(seed, renderRate, voiced), ahead_(aheadFrames) {}

    void setPath(std::vector<Tap> path) { path_ = std::move(path); }
    // From now on the loudspeaker plays `ms` of silence the reference never had: its echo of
    // everything rendered later comes that much later.
    // The stream runs dry once everything rendered so far has been played.
    void underrun(double ms) {
        gaps_.push_back({played_.size(), static_cast<size_t>(ms * 48)});
        played_.insert(played_.end(), gaps_.back().length, 0.0f);
    }

    // `listener` gets reference(const float* frame48) and capture(float* frame16, const
    // CaptureTiming&) calls, as the engine makes them; the captured frame may be changed in place.
    template <typename Listener>
    void run(Listener& listener, double seconds, float noiseLevel = 0.0f) {
        std::vector<float> frame(renderFrameLength);
        std::vector<float> voice(voiceFrameLength);
        const auto frames = static_cast<int>(seconds * 100);
        for (int f = 0; f < frames; ++f) {
            while (rendered_ < captured_ + renderFrameLength * (ahead_ + 1)) {
                for (float& v : frame) {
                    v = talker_.next();
                    played_.push_back(v);
                }
                rendered_ += renderFrameLength;
                listener.reference(frame.data());
            }
            for (uint32_t i = 0; i < renderFrameLength; ++i) {
                const double heardAt = static_cast<double>(captured_ + i) - streamOffset;  // in `played_`
                float echo = 0.0f;
                for (const Tap& tap : path_) {
                    const double at = heardAt - tap.delayMs * 48.0;
                    if (at >= 0.0) echo += tap.gain * played_[static_cast<size_t>(at)];
                }
                frame[i] = echo + std::normal_distribution<float>(0.0f, noiseLevel + 1e-7f)(noise_);
            }
            decimator_.process(frame.data(), voice.data());
            // What was heard as this frame began, as a place in the render stream.
            const double heard = renderPositionOf(static_cast<double>(captured_) - streamOffset);
            CaptureTiming timing;
            timing.known = true;
            timing.renderLeadMicroseconds = static_cast<int64_t>((static_cast<double>(rendered_) - heard) * 1e6 / renderRate);
            captured_ += renderFrameLength;
            listener.capture(voice.data(), timing);
        }
    }

    // Stream latencies, 20 ms: capture count minus the render sample heard at the same moment.
    static constexpr double streamOffset = 20 * 48;

private:
    struct Gap {
        size_t at;
        size_t length;
    };

    double renderPositionOf(double played) const {
        double position = played;
        for (const Gap& gap : gaps_) {
            if (played > static_cast<double>(gap.at)) position -= std::min<double>(static_cast<double>(gap.length), played - static_cast<double>(gap.at));
        }
        return position;
    }

    Talker talker_;
    const uint32_t ahead_;
    std::vector<Tap> path_{{60.0, 0.5f}};
    std::mt19937 noise_{7};
    std::vector<float> played_;
    MicrophoneDecimator decimator_;
    std::vector<Gap> gaps_;
    size_t rendered_ = 0;
    size_t captured_ = 0;
};

}  // namespace mivo::testing
