#include "mivo_duplex/status_line.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace mivo::duplex {

namespace {

std::string meter(double db) {
    constexpr int width = 20;
    const int filled = std::clamp(static_cast<int>((db + 60.0) / 60.0 * width), 0, width);
    return std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-');
}

}  // namespace

double peakDb(const int16_t* samples, int64_t count) {
    int peak = 0;
    for (int64_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    return peak == 0 ? -99.0 : 20.0 * std::log10(peak / 32768.0);
}

StatusLine::StatusLine(std::FILE* out) : out_(out), terminal_(isatty(fileno(out)) != 0) {}

void StatusLine::update(const Progress& p) {
    const std::string total = p.totalSeconds > 0 ? " / " + std::to_string(static_cast<int>(p.totalSeconds)) + " s" : " s";
    if (terminal_) {
        std::fprintf(out_, "\r%6.1f%s  in [%s] %5.1f dB  out [%s] %5.1f dB  played %llu   ", p.elapsedSeconds,
                     total.c_str(), meter(p.inputPeakDb).c_str(), p.inputPeakDb, meter(p.outputPeakDb).c_str(),
                     p.outputPeakDb, static_cast<unsigned long long>(p.framesPlayed));
        std::fflush(out_);
        return;
    }
    if (p.elapsedSeconds - lastPlainLine_ < 1.0) return;
    lastPlainLine_ = p.elapsedSeconds;
    std::fprintf(out_, "%.1f%s in %.1f dB out %.1f dB played %llu\n", p.elapsedSeconds, total.c_str(),
                 p.inputPeakDb, p.outputPeakDb, static_cast<unsigned long long>(p.framesPlayed));
    std::fflush(out_);
}

void StatusLine::finish() {
    if (terminal_) std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace mivo::duplex
