#pragma once

#include <cstdint>
#include <vector>

namespace mivo::platform::pulse {

// Which channel of a multi-channel microphone feeds the canceller, which takes one. A mono
// microphone on one input of a multi-input interface, or a stereo one with a dead side, would lose
// 6 to 12 dB or more if the channels were averaged; a uniform array loses nothing when one of its
// channels is taken. The choice follows each channel's energy over a long window (an exponential
// mean square with a time constant of seconds) and moves to another channel only while that one
// stays clearly louder, in the long window and in about 2 s of its own frames, since every move is
// an echo-path change to the canceller.
// Early in a run, before the canceller has converged anyway, it moves after a shorter lead.
class MicrophoneChannelChoice {
public:
    // Everything choose() touches, laid out here, before the audio path runs.
    void prepare(uint32_t channelCount, uint32_t framesPerSecond);
    // Takes one frame of every channel; returns the channel to use for it. Allocates nothing.
    uint32_t choose(const float* const* channels, uint32_t frames);
    uint32_t current() const { return chosen_; }

    // Energy ratio another channel must keep over the chosen one: 6 dB.
    static constexpr double switchRatio = 4.0;
    static constexpr double windowSeconds = 3.0;
    static constexpr double holdSeconds = 2.0;
    // Below this mean square (-90 dBFS) a frame counts as silence: it starts no clock.
    static constexpr double silence = 1e-9;

private:
    std::vector<double> energy_;       // over the long window
    std::vector<double> frameEnergy_;  // of the latest frame
    uint32_t chosen_ = 0;
    uint32_t challenger_ = 0;
    // Frames in which the challenger was clearly louder, while its long-window lead lasted.
    uint64_t challengerFrames_ = 0;
    uint64_t heardFrames_ = 0;       // frames since the first that was not silence
    uint64_t windowFrames_ = 1;
    uint64_t holdFrames_ = 1;
};

}  // namespace mivo::platform::pulse
