#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;

namespace mivo::duplex {

// Reads a sound file of any rate and channel count as 48 kHz mono int16: channels are averaged,
// the rate is converted with soxr. Throws std::runtime_error with a readable reason.
std::vector<int16_t> readAsPlaybackFrames(const std::string& path);

// A 16 kHz mono 16-bit WAV file, written as it goes; the header is complete once closed.
class CaptureWavWriter {
public:
    explicit CaptureWavWriter(const std::string& path);
    ~CaptureWavWriter();
    CaptureWavWriter(const CaptureWavWriter&) = delete;
    CaptureWavWriter& operator=(const CaptureWavWriter&) = delete;

    void append(const int16_t* samples, int64_t count);
    void close();

private:
    sf_private_tag* file_ = nullptr;
};

}  // namespace mivo::duplex
