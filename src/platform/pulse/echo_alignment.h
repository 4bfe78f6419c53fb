#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/pulse/echo_delay_finder.h"
#include "platform/pulse/voice_processor.h"

namespace mivo::platform::pulse {

// Lines the echo reference up with the microphone. It keeps what was rendered (at 16 kHz, by its
// place in the render stream) and, for each capture frame, picks the reference frame that puts the
// echo's first arrival `placement` into the canceller's filter:
//  - where the capture sits against the render stream comes from counting both streams, moved
//    only by the step the stream timing shows right after a discontinuity the engine noted (an
//    underrun, lost capture), and only the way that discontinuity moves the echo: otherwise the
//    timing wanders and jumps by milliseconds while the streams do not, and even across a
//    discontinuity it states the gap only roughly;
//  - where the echo begins after the loudspeaker plays it (the room, converters, loopbacks, and
//    whatever the timing got wrong) comes from the signals, to the sample, and is followed as it
//    drifts; after a discontinuity it is found again from what comes after it.
// Neither ever restarts the canceller: its filter stays valid when the reference moves with the echo.
class EchoAlignment {
public:
    // Where the echo's first arrival is put in the canceller's filter (12 partitions of 4 ms):
    // early, so the room's tail fits, and clear of the start, which the canceller cannot use.
    static constexpr int32_t placementSamples = 8 * voiceRate / 1000;

    EchoAlignment();

    // The rendered reference, already at 16 kHz and delayed by `delay` samples.
    void addRender(const float* frame, uint32_t delay);
    // The reference frame to hand the canceller with this capture frame; valid until the next call.
    const float* referenceFor(const float* capture, const CaptureTiming& timing);
    void noteDiscontinuity(Discontinuity discontinuity);

    // Samples from the loudspeaker to the microphone, as measured; none until the echo was heard.
    std::optional<int32_t> roomDelay() const;
    // Frames since the far end last sounded in the reference.
    uint32_t framesSinceFarEnd() const { return finder_.framesSinceReference(); }
    // Capture samples the reference would have come too late for (the render ran too little ahead).
    uint64_t lateFrames() const { return lateFrames_; }

private:
    static constexpr uint32_t historyLength = 1u << 14;  // about a second
    static constexpr uint32_t offsetHistory = 32;
    // The finder also looks this far after the loudspeaker's place, for a timing that is late: less
    // than a captured frame's own age, so that it never needs what has not been rendered.
    static constexpr int32_t finderMargin = 8 * voiceRate / 1000;

    void followTiming(const CaptureTiming& timing);
    void keepFinderFed();
    void copyReference(int64_t position, float* out) const;

    std::vector<float> history_;
    int64_t written_ = 0;  // downsampled samples received
    uint32_t delay_ = 0;
    int64_t captured_ = 0;  // capture samples processed
    // Capture sample count minus the render position heard when it was captured.
    bool haveOffset_ = false;
    int64_t offset_ = 0;
    std::array<double, offsetHistory> measured_{};
    uint32_t measuredCount_ = 0;
    uint32_t stepFrames_ = 0;
    uint32_t sinceDiscontinuity_ = 1u << 30;
    bool expectedLater_ = true;  // which way the noted discontinuity moves the echo
    EchoDelayFinder finder_;
    std::vector<float> finderReference_;
    std::vector<float> reference_;
    uint64_t lateFrames_ = 0;
    uint32_t unfedFrames_ = 0;
};

}  // namespace mivo::platform::pulse
