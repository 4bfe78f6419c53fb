// Test signals and what the tests measure in them; they need no server.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mivo::testing {

std::vector<float> sine(double frequency, double amplitude, double seconds, double rate = 48000.0);
double rms(const float* samples, size_t count);
double rms(const int16_t* samples, size_t count);
// Amplitude of the component at `frequency` (single-bin DFT), in the samples' own unit.
double toneAmplitude(const float* samples, size_t count, double frequency, double rate);
double toneAmplitude(const int16_t* samples, size_t count, double frequency, double rate);
// The tone's amplitude in most of the samples: the median over 20 ms blocks. A server glitch in
// a test's own player or recorder (a phase jump) spoils one block, not the whole measurement.
double typicalToneAmplitude(const float* samples, size_t count, double frequency, double rate);
double typicalToneAmplitude(const int16_t* samples, size_t count, double frequency, double rate);
// What else sounds beside that tone (RMS of the rest), likewise in most 20 ms blocks. Each block
// fits the tone's frequency within a few hertz of `frequency`: a server that matches rates moves
// a tone's pitch slightly, and that is not something else sounding.
double typicalRestBesideTone(const int16_t* samples, size_t count, double frequency, double rate);
// The offset of `needle` in `haystack` where they correlate best (normalised); -1 if none fits.
// Costs haystack x needle: keep the needle short (a distinctive head of the signal).
long bestOffset(const std::vector<float>& haystack, const std::vector<float>& needle, double* correlation = nullptr);

// Where a copy of `expected` at `at` in `recorded` first differs by more than `tolerance`, and what
// became of the rest: found again later with silence before it (a gap: a stream ran dry), found
// earlier (samples lost), or not found nearby (the values themselves changed). Empty if it is exact.
std::string describeCopyMismatch(const std::vector<float>& recorded, size_t at, const std::vector<float>& expected,
                                 float tolerance);

}  // namespace mivo::testing
