// The echo room after the library's audio thread stalled for 2 s while the far end talked.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "echo_room.h"
#include "platform/pulse/pulse_platform.h"
#include "platform/pulse/webrtc_voice_processor.h"

namespace mivo::testing {
namespace {

// The library's canceller, with one stall of the audio thread when the test asks for it.
class StallingCanceller final : public platform::pulse::VoiceProcessor {
public:
    StallingCanceller(std::unique_ptr<platform::pulse::VoiceProcessor> real, std::shared_ptr<std::atomic<int>> stall)
        : real_(std::move(real)), stall_(std::move(stall)) {}
    void analyzeRender(const float* frame) override {
        if (const int milliseconds = stall_->exchange(0)) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        real_->analyzeRender(frame);
    }
    void processVoice(float* frame, const platform::pulse::CaptureTiming& timing, bool gainControl) override {
        real_->processVoice(frame, timing, gainControl);
    }
    void noteDiscontinuity(platform::pulse::Discontinuity discontinuity) override {
        real_->noteDiscontinuity(discontinuity);
    }

private:
    const std::unique_ptr<platform::pulse::VoiceProcessor> real_;
    const std::shared_ptr<std::atomic<int>> stall_;
};

// The loop thread stops for 2 s while the far end talks: the loudspeaker runs dry, the capture
// piles up, and the echo comes back later than before. The echo is taken out again (the library
// before this one stayed at its worst for good), and no far-end audio was lost on the way.
TEST_F(EchoRoomTest, AfterTheAudioThreadStalledTheEchoIsCancelledAgain) {
    auto stall = std::make_shared<std::atomic<int>>(0);
    platform::pulse::PulsePlatformOptions options;
    options.makeVoiceProcessor = [stall](std::string& error) -> std::unique_ptr<platform::pulse::VoiceProcessor> {
        auto real = platform::pulse::WebRtcVoiceProcessor::create(error);
        if (!real) return nullptr;
        return std::make_unique<StallingCanceller>(std::move(real), stall);
    };
    constexpr double stallAt = 3.0;
    constexpr double stallSeconds = 2.0;
    bool stalled = false;
    const Session session =
        run(std::make_shared<platform::pulse::PulsePlatform>(std::move(options)), false, [&](double at) {
            if (!stalled && at >= stallAt) {
                stalled = true;
                stall->store(static_cast<int>(stallSeconds * 1000));
            }
        });
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(session.playedFrames, session.writtenFrames);

    // The far end's writes waited for the stall, so its speech runs on 2 s later in time.
    const double end = farOnlyEnd + stallSeconds - 0.2;
    double microphoneDb = 0.0;
    const double before = echoReductionBetween(session, convergence - 1.0, stallAt, nullptr);
    const double lastSecond = echoReductionBetween(session, end - 1.0, end, &microphoneDb);
    double backAfter = -1.0;  // seconds from the stall's end to the first second above 30 dB
    for (double at = stallAt + stallSeconds; at + 1.0 <= end && backAfter < 0.0; at += 0.25) {
        if (echoReductionBetween(session, at, at + 1.0, nullptr) >= 30.0) backAfter = at - stallAt - stallSeconds;
    }
    ASSERT_GT(microphoneDb, -35.0) << "the room returned no echo after the stall";
    EXPECT_GE(lastSecond, 25.0) << "before the stall " << before << " dB";
    std::printf("echo reduction before the stall %.1f dB, in the last second %.1f dB; above 30 dB again %.2f s "
                "after the stall (echo at the microphone %.1f dBFS)\n",
                before, lastSecond, backAfter, microphoneDb);
}

}  // namespace
}  // namespace mivo::testing
