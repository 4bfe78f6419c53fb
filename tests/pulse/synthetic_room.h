#pragma once

// A synthetic room for the voice-processing stage: a speech-like far end and its echo, in the
// 10 ms frames and the order that the engine uses.

#include <cstdint>
#include <random>
#include <vector>

#include "platform/pulse/voice_processor.h"

namespace mivo::testing {

using platform::pulse::processingFrameLength;

// Speech-like reference: noise through a slow resonance, switched on and off like syllables.
class Talker {
public:
    explicit Talker(uint32_t seed) : random_(seed) {}
    float next() {
        const float noise = std::normal_distribution<float>(0.0f, 0.1f)(random_);
        state_ = 0.95f * state_ + noise;
        const bool on = (count_++ / 9600) % 3 != 2;  // 200 ms on, 200 ms on, 200 ms off
        return on ? state_ : 0.0f;
    }

private:
    std::mt19937 random_;
    float state_ = 0.0f;
    uint64_t count_ = 0;
};

// Plays `seconds` more of the talker as reference and captures it back `lagSamples` later (with
// `gain` and noise of its own), in 10 ms frames; the render runs `aheadFrames` ahead of the capture.
class Room {
public:
    explicit Room(uint32_t seed, uint32_t aheadFrames = 3) : talker_(seed), ahead_(aheadFrames) {}

    // `listener` gets reference(frame) and capture(frame) calls, as the engine makes them; the
    // captured frame may be changed in place.
    template <typename Listener>
    void run(Listener& listener, size_t lagSamples, double seconds, float gain = 0.5f, float noiseLevel = 0.0f) {
        std::vector<float> frame(processingFrameLength);
        const auto frames = static_cast<int>(seconds * 100);
        for (int f = 0; f < frames; ++f) {
            while (rendered_.size() < captured_ + processingFrameLength * (ahead_ + 1)) {
                for (float& v : frame) {
                    v = talker_.next();
                    rendered_.push_back(v);
                }
                listener.reference(frame.data());
            }
            for (uint32_t i = 0; i < processingFrameLength; ++i) {
                const size_t n = captured_ + i;
                const float echo = n >= lagSamples ? rendered_[n - lagSamples] : 0.0f;
                frame[i] = gain * echo + std::normal_distribution<float>(0.0f, noiseLevel + 1e-6f)(noise_);
            }
            captured_ += processingFrameLength;
            listener.capture(frame.data());
        }
    }

private:
    Talker talker_;
    const uint32_t ahead_;
    std::mt19937 noise_{7};
    std::vector<float> rendered_;
    size_t captured_ = 0;
};

inline int lagOf(double milliseconds) { return static_cast<int>(milliseconds * 48); }

}  // namespace mivo::testing
