// The echo canceller on a synthetic room, frame by frame as the engine drives it: no daemon, no
// timing, the same result every run.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "platform/pulse/webrtc_voice_processor.h"
#include "synthetic_room.h"

namespace mivo::testing {
namespace {

using platform::pulse::WebRtcVoiceProcessor;

// Drives the processor and keeps the energy of what goes in and comes out while `measuring`.
struct Canceller {
    std::unique_ptr<WebRtcVoiceProcessor> processor;
    bool measuring = false;
    double in = 0.0;
    double out = 0.0;

    void reference(const float* frame) {
        const float* channels[] = {frame};
        processor->analyzeRender(channels, 1);
    }
    void capture(float* frame) {
        if (measuring) {
            for (uint32_t i = 0; i < processingFrameLength; ++i) in += double{frame[i]} * frame[i];
        }
        float* channels[] = {frame};
        // The server's report: about the stream buffers, not the room.
        processor->processCapture(channels, 1, 30, true);
        if (measuring) {
            for (uint32_t i = 0; i < processingFrameLength; ++i) out += double{frame[i]} * frame[i];
        }
    }
    // Echo removed over `seconds` more of the room, in dB.
    double measure(Room& room, size_t lagSamples, double seconds) {
        in = out = 0.0;
        measuring = true;
        room.run(*this, lagSamples, seconds);
        measuring = false;
        return 10.0 * std::log10(in / std::max(out, 1e-20));
    }
};

Canceller makeCanceller() {
    std::string error;
    Canceller canceller{WebRtcVoiceProcessor::create(error)};
    EXPECT_TRUE(canceller.processor) << error;
    return canceller;
}

TEST(WebRtcVoiceProcessorTest, RemovesAnEchoThatComesBackLaterThanTheServerSays) {
    // 90 ms in the room on top of what the streams report: beyond where the canceller would look.
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(11);
    const auto lag = static_cast<size_t>(lagOf(120.0));
    room.run(canceller, lag, 3.0);
    EXPECT_GE(canceller.measure(room, lag, 2.0), 25.0);
}

TEST(WebRtcVoiceProcessorTest, CancelsAgainSoonAfterADiscontinuityMovedTheEcho) {
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(12);
    room.run(canceller, static_cast<size_t>(lagOf(60.0)), 3.0);
    ASSERT_GE(canceller.measure(room, static_cast<size_t>(lagOf(60.0)), 1.0), 25.0);
    // An underrun: the sink played 15 ms of silence that the reference never had.
    canceller.processor->realign();
    const auto moved = static_cast<size_t>(lagOf(75.0));
    room.run(canceller, moved, 2.0);
    EXPECT_GE(canceller.measure(room, moved, 2.0), 25.0);
}

}  // namespace
}  // namespace mivo::testing
