#pragma once

// The check's run: the library plays the far end and delivers the echo-cancelled microphone while
// a plain client records the loudspeaker's monitor and the raw microphone beside it.

#include <cstdint>
#include <string>
#include <vector>

#include "mivo_duplex/check/plain_recorder.h"
#include "mivo_duplex/check/speech_signals.h"

namespace mivo::duplex::check {

struct SessionPlan {
    std::string speakerMonitor;
    std::string rawMicrophone;
    std::string talkerDevice;  // a virtual room: where the near-end talker is played; empty: ask the user
    bool doubleTalk = true;
};

// Seconds of the run, counted from the first write of the far end.
struct SessionTimes {
    static constexpr double quietBefore = 1.0;  // the microphone alone, before the library starts
    static constexpr double farEnd = 15.0;
    static constexpr double nearStart = 10.0;
    static constexpr double nearLength = 3.5;
};

struct SessionRecording {
    RecordedPair raw;
    std::vector<int16_t> library;  // 16 kHz, what the host read
    std::vector<Delivery> libraryDeliveries;
    Clock::time_point recordingStart;
    Clock::time_point playbackStart;
    Clock::time_point nearStart;   // == nearEnd when there was no double talk
    Clock::time_point nearEnd;
};

// False with the reason when the run could not happen (no server, the library would not start,
// capture ended).
bool recordSession(const SessionPlan& plan, const Talkers& talkers, SessionRecording& recording, std::string& failure);

}  // namespace mivo::duplex::check
