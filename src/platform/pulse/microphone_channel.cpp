#include "platform/pulse/microphone_channel.h"

#include <algorithm>
#include <cmath>

namespace mivo::platform::pulse {

namespace {

// A device's garbage would stay in a channel's long-window energy for good (not a number) or for
// minutes (far beyond full scale), and pin the choice to that channel or away from it. Loudness is
// all the choice compares, so nothing counts for more than full scale.
double saneSquare(float sample) {
    if (std::isnan(sample)) return 0.0;
    const double clamped = std::clamp(static_cast<double>(sample), -1.0, 1.0);
    return clamped * clamped;
}

}  // namespace

void MicrophoneChannelChoice::prepare(uint32_t channelCount, uint32_t framesPerSecond) {
    energy_.assign(std::max<uint32_t>(channelCount, 1), 0.0);
    frameEnergy_.assign(energy_.size(), 0.0);
    chosen_ = 0;
    challenger_ = 0;
    challengerFrames_ = 0;
    heardFrames_ = 0;
    windowFrames_ = std::max<uint64_t>(1, static_cast<uint64_t>(windowSeconds * framesPerSecond));
    holdFrames_ = std::max<uint64_t>(1, static_cast<uint64_t>(holdSeconds * framesPerSecond));
}

uint32_t MicrophoneChannelChoice::choose(const float* const* channels, uint32_t frames) {
    const auto count = static_cast<uint32_t>(energy_.size());
    if (count < 2 || frames == 0) return chosen_;
    double loudestFrame = 0.0;
    // Until a window's worth has been heard the mean is over what there is, so that the first
    // estimates are not dragged towards zero.
    const double weight = 1.0 / static_cast<double>(std::min(heardFrames_ + 1, windowFrames_));
    for (uint32_t c = 0; c < count; ++c) {
        double sum = 0.0;
        for (uint32_t i = 0; i < frames; ++i) sum += saneSquare(channels[c][i]);
        const double meanSquare = sum / frames;
        frameEnergy_[c] = meanSquare;
        loudestFrame = std::max(loudestFrame, meanSquare);
        if (heardFrames_ > 0 || meanSquare > silence) energy_[c] += weight * (meanSquare - energy_[c]);
    }
    if (heardFrames_ == 0 && !(loudestFrame > silence)) return chosen_;
    ++heardFrames_;

    uint32_t loudest = chosen_;
    for (uint32_t c = 0; c < count; ++c) {
        if (energy_[c] > energy_[loudest]) loudest = c;
    }
    if (loudest == chosen_ || !(energy_[loudest] > switchRatio * energy_[chosen_])) {
        challengerFrames_ = 0;
        return chosen_;
    }
    if (loudest != challenger_) {
        challenger_ = loudest;
        challengerFrames_ = 0;
    }
    // Only frames in which it is clearly louder itself count: a short loud burst on another channel
    // keeps its long-window lead for seconds after it, but adds no more to the count.
    if (frameEnergy_[challenger_] > switchRatio * frameEnergy_[chosen_]) ++challengerFrames_;
    // Early in a run a lead as long as half of what has been heard is enough.
    if (challengerFrames_ >= std::min(holdFrames_, std::max<uint64_t>(1, heardFrames_ / 2))) {
        chosen_ = challenger_;
        challengerFrames_ = 0;
    }
    return chosen_;
}

}  // namespace mivo::platform::pulse
