#pragma once

// One offline session: the render and capture streams a room produced, and the order in which the
// engine handed their frames over, read from files that rooms.py writes.

#include <cstdint>
#include <string>
#include <vector>

namespace mivo::offline {

inline constexpr uint32_t renderRate = 48000;
inline constexpr uint32_t renderFrame = renderRate / 100;
inline constexpr uint32_t voiceRate = 16000;
inline constexpr uint32_t voiceFrame = voiceRate / 100;

struct Event {
    enum class Kind { render, capture, underflow, dropped, captureLost, deviceChange } kind = Kind::render;
    // Capture frames only. What the engine reports today: playback + record latency.
    int64_t delayMicroseconds = 0;
    // How long before the newest rendered frame is heard this capture frame reached the microphone.
    int64_t renderLeadMicroseconds = 0;
    bool timingKnown = true;
    // The truth, for the ideal alignment: the echo's first arrival in this frame's first sample comes
    // from this many render samples (48 kHz) before the frame, counted in stream order.
    double trueLagSamples = 0.0;
};

struct Session {
    std::vector<float> render;     // 48 kHz, in the order frames are handed over
    std::vector<float> capture48;  // the microphone at 48 kHz, frame by frame
    std::vector<float> capture16;  // the same microphone as the server would deliver it at 16 kHz
    std::vector<Event> events;
};

// Reads <prefix>.render.f32, <prefix>.capture48.f32, <prefix>.capture16.f32 and <prefix>.events.
// Empty events when something is missing; `problem` says what.
Session readSession(const std::string& prefix, std::string& problem);

}  // namespace mivo::offline
