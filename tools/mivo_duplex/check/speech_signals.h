#pragma once

// The check's talkers, spoken by espeak-ng: the far end the library plays, and a near-end talker
// for a virtual room.

#include <cstdint>
#include <string>
#include <vector>

namespace mivo::duplex::check {

struct Talkers {
    std::vector<int16_t> farEnd;  // 48 kHz mono, at least the asked length
    std::vector<float> nearEnd;   // 48 kHz mono
};

// False with the reason when espeak-ng is missing or fails.
bool speakTalkers(double farSeconds, Talkers& talkers, std::string& failure);

}  // namespace mivo::duplex::check
