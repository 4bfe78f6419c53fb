#include "capture/loudest_channel.h"

namespace mivo::capture {

uint32_t loudestChannel(const float* const* channels, uint32_t channelCount, uint32_t frames) {
    float bestEnergy = -1.0f;
    uint32_t chosen = 0;
    for (uint32_t c = 0; c < channelCount; ++c) {
        const float* samples = channels[c];
        float energy = 0.0f;
        for (uint32_t i = 0; i < frames; ++i) energy += samples[i] * samples[i];
        if (energy > bestEnergy) {
            bestEnergy = energy;
            chosen = c;
        }
    }
    return chosen;
}

}  // namespace mivo::capture
