#pragma once
// Signals the echo tests play: speech from espeak-ng, and soxr conversions between rates; and the
// level of what they record.
#include <cstddef>
#include <string>
#include <vector>

namespace mivo::testing {

// `text` spoken by espeak-ng (its `voice`, `wordsPerMinute`), trimmed of silence, at 48 kHz and
// -20 dBFS RMS; empty when espeak-ng or the file it writes in `directory` fails.
std::vector<float> spokenSpeech(const std::string& text, const std::string& voice, int wordsPerMinute,
                                const std::string& directory);

// `input` from one rate to another, all at once; empty when soxr fails.
std::vector<float> resampled(const std::vector<float>& input, double from, double to);

// Mean square of samples [begin, end), clipped to what there is; 0 when that is nothing.
double meanSquare(const std::vector<double>& samples, size_t begin, size_t end);

}  // namespace mivo::testing
