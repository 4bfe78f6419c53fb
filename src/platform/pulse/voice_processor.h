#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pulse/frame_format.h"

namespace mivo::platform::pulse {

// Where a capture frame sits in time against the render stream, from the server's stream timing at
// the moment the frame is processed. The engine computes, in microseconds:
//   the playback stream's latency (pa_stream_get_latency: until the last frame handed to
//   analyzeRender so far is heard), plus
//   the age of this frame's first sample: the record stream's latency (pa_stream_get_latency: since
//   the sample at the read index was captured) less the duration of the audio between the read
//   index and this frame's first sample (frames of the same read processed before it, and the part
//   of the frame carried over from the previous read).
// `known` is false while either stream has no timing yet or the server could not say.
struct CaptureTiming {
    int64_t renderLeadMicroseconds = 0;
    bool known = false;
};

// What broke the continuity between what was handed over and what is heard.
enum class Discontinuity {
    // The playback stream ran dry: the loudspeaker played silence the reference never had, so
    // the echo of everything rendered afterwards comes later (the underflow callback).
    renderUnderrun,
    // Audio already handed to analyzeRender will not be heard (the playback stream was flushed).
    renderDropped,
    // Captured audio was lost before it reached the engine (a record overrun: the stream's read
    // index moved past what was read), so later capture frames were captured later than their
    // count says. A hole the server reports is not one: the engine fills it with silence.
    captureLost,
};

// The voice-processing stage between the record stream and the input tap. The engine calls it on
// its event-loop thread only, never from two threads at once:
//  - analyzeRender with every mono frame of the mix as it is handed to pa_stream_write (the echo
//    reference), silence included, so that the reference runs on without gaps;
//  - processVoice with every captured frame, in place, as soon as it is complete, with its timing;
//  - noteDiscontinuity when the engine learns of one; the processor keeps what it learnt about
//    the room and moves the reference by what the timing shows.
// A new stream pair (start, device change) gets a new processor. None of these calls allocates,
// frees or blocks.
class VoiceProcessor {
public:
    virtual ~VoiceProcessor() = default;

    virtual void analyzeRender(const float* frame) = 0;
    virtual void processVoice(float* frame, const CaptureTiming& timing, bool gainControl) = 0;
    virtual void noteDiscontinuity(Discontinuity discontinuity) = 0;
};

// Leaves the voice untouched: the stage of an engine made without a voice processor factory.
class PassThroughVoiceProcessor final : public VoiceProcessor {
public:
    void analyzeRender(const float*) override {}
    void processVoice(float*, const CaptureTiming&, bool) override {}
    void noteDiscontinuity(Discontinuity) override {}
};

// Makes the voice-processing stage of a run; on failure returns null and describes why in `error`.
using VoiceProcessorFactory = std::function<std::unique_ptr<VoiceProcessor>(std::string& error)>;

}  // namespace mivo::platform::pulse
