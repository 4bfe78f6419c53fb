// The choice of the microphone channel that feeds the canceller, on synthetic 10 ms frames.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/pulse/microphone_channel.h"

namespace mivo::platform::pulse {
namespace {

constexpr uint32_t frameLength = 160;  // 10 ms at 16 kHz
constexpr uint32_t framesPerSecond = 100;

// Feeds frames of noise-like signal at the given amplitude per channel; returns the choice after
// each frame.
class Feeder {
public:
    explicit Feeder(uint32_t channels) : storage_(channels, std::vector<float>(frameLength)), pointers_(channels) {
        for (uint32_t c = 0; c < channels; ++c) pointers_[c] = storage_[c].data();
        choice.prepare(channels, framesPerSecond);
    }

    std::vector<uint32_t> feed(const std::vector<float>& amplitudes, double seconds) {
        std::vector<uint32_t> chosen;
        for (int frame = 0; frame < static_cast<int>(seconds * framesPerSecond); ++frame) {
            for (size_t c = 0; c < storage_.size(); ++c) {
                for (float& v : storage_[c]) {
                    state_ = state_ * 1664525u + 1013904223u;
                    v = amplitudes[c] * (static_cast<float>(state_ >> 16) / 32768.0f - 1.0f);
                }
            }
            chosen.push_back(choice.choose(pointers_.data(), frameLength));
        }
        return chosen;
    }

    MicrophoneChannelChoice choice;

private:
    std::vector<std::vector<float>> storage_;
    std::vector<const float*> pointers_;
    uint32_t state_ = 1;
};

// The frame (10 ms each) at which the choice first became `channel`; -1 if it never did.
int firstChoiceOf(const std::vector<uint32_t>& chosen, uint32_t channel) {
    for (size_t i = 0; i < chosen.size(); ++i) {
        if (chosen[i] == channel) return static_cast<int>(i);
    }
    return -1;
}

TEST(MicrophoneChannelTest, AMicrophoneOnOneInputIsTakenAtOnce) {
    // Silence first (nothing connected yet), then a microphone on the third of four inputs and
    // the others dead or 12 dB down.
    for (const std::vector<float>& amplitudes : {std::vector<float>{0, 0, 0.3f, 0}, {0.075f, 0.075f, 0.3f, 0.075f}}) {
        Feeder feeder(4);
        EXPECT_EQ(feeder.feed({0, 0, 0, 0}, 3.0).back(), 0u);
        const auto chosen = feeder.feed(amplitudes, 1.0);
        EXPECT_LE(firstChoiceOf(chosen, 2), 1);
        EXPECT_EQ(chosen.back(), 2u);
        for (size_t i = 2; i < chosen.size(); ++i) ASSERT_EQ(chosen[i], 2u) << "frame " << i;
    }
}

TEST(MicrophoneChannelTest, AUniformArrayAndSmallDifferencesKeepTheFirstChannel) {
    Feeder feeder(4);
    // 5 dB louder on the second channel: not clearly louder.
    for (uint32_t c : feeder.feed({0.2f, 0.2f * 1.78f, 0.2f, 0.2f}, 10.0)) ASSERT_EQ(c, 0u);
    Feeder uniform(4);
    for (uint32_t c : uniform.feed({0.2f, 0.2f, 0.2f, 0.2f}, 10.0)) ASSERT_EQ(c, 0u);
}

TEST(MicrophoneChannelTest, AnEstablishedChoiceMovesOnlyForALastingLead) {
    Feeder feeder(2);
    ASSERT_EQ(feeder.feed({0.3f, 0.01f}, 10.0).back(), 0u);
    // A second of 20 dB more on the other channel (someone tapping that microphone): no move.
    for (uint32_t c : feeder.feed({0.3f, 3.0f}, 1.0)) ASSERT_EQ(c, 0u);
    for (uint32_t c : feeder.feed({0.3f, 0.01f}, 8.0)) ASSERT_EQ(c, 0u);
    // The talker moves to the other microphone for good: the choice follows once the long window
    // shows it 6 dB louder (about 5 s with a 3 s window) and it has stayed so for 2 s, not before.
    const auto chosen = feeder.feed({0.01f, 0.3f}, 8.0);
    const int moved = firstChoiceOf(chosen, 1);
    ASSERT_GE(moved, 0) << "never moved";
    EXPECT_GE(moved, 200);
    EXPECT_LE(moved, 800);
    for (size_t i = static_cast<size_t>(moved); i < chosen.size(); ++i) ASSERT_EQ(chosen[i], 1u);
}

TEST(MicrophoneChannelTest, NotANumberNeverMovesTheChoice) {
    Feeder feeder(2);
    ASSERT_EQ(feeder.feed({0.3f, 0.0f}, 2.0).back(), 0u);
    for (uint32_t c : feeder.feed({0.3f, std::nanf("")}, 4.0)) ASSERT_EQ(c, 0u);
}

// One garbage frame on the chosen channel, then the talker moves to the other one: the choice must
// follow about as soon as it does without the garbage, not stay where the garbage was.
TEST(MicrophoneChannelTest, GarbageOnTheChosenChannelDoesNotPinTheChoice) {
    Feeder clean(2);
    clean.feed({0.3f, 0.0f}, 2.0);
    const int movedWhenClean = firstChoiceOf(clean.feed({0.0f, 0.3f}, 15.0), 1);
    ASSERT_GE(movedWhenClean, 0);
    for (float garbage : {std::nanf(""), INFINITY, 3e38f}) {
        Feeder feeder(2);
        ASSERT_EQ(feeder.feed({0.3f, 0.0f}, 2.0).back(), 0u);
        feeder.feed({garbage, 0.0f}, 0.01);
        const int moved = firstChoiceOf(feeder.feed({0.0f, 0.3f}, 15.0), 1);
        EXPECT_GE(moved, 0) << "garbage " << garbage << " pinned the choice";
        EXPECT_LE(moved, movedWhenClean + 50) << "garbage " << garbage;
    }
}

}  // namespace
}  // namespace mivo::platform::pulse
