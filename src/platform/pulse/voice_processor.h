#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pulse/frame_format.h"

namespace mivo::platform::pulse {

// The voice-processing stage between the record stream and the input tap. The engine calls it on
// its event-loop thread only, with exactly one 10 ms frame at a time:
//  - analyzeRender with every frame as it is handed to the playback stream (the echo reference,
//    silence included, so that reference and capture stay in step);
//  - processCapture with every captured frame, processed in place, together with the current
//    delay between rendering a frame and hearing it (playback + record latency);
//  - realign whenever the reference stops matching what will be heard: at start, after a player
//    dropped audio already rendered, after an underrun and after a device change.
class VoiceProcessor {
public:
    virtual ~VoiceProcessor() = default;

    virtual void analyzeRender(const float* const* channels, uint32_t channelCount) = 0;
    virtual void processCapture(float* const* channels, uint32_t channelCount, int32_t delayMilliseconds,
                                bool agcEnabled) = 0;
    virtual void realign() = 0;
};

// Leaves the voice untouched: the stage of an engine made without a voice processor factory.
class PassThroughVoiceProcessor final : public VoiceProcessor {
public:
    void analyzeRender(const float* const*, uint32_t) override {}
    void processCapture(float* const*, uint32_t, int32_t, bool) override {}
    void realign() override {}
};

// Makes the voice-processing stage of a run; on failure returns null and describes why in `error`.
using VoiceProcessorFactory = std::function<std::unique_ptr<VoiceProcessor>(std::string& error)>;

}  // namespace mivo::platform::pulse
