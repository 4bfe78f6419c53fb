#pragma once

#include <cstdint>
#include <cstdio>

namespace mivo::duplex {

struct Progress {
    double elapsedSeconds;
    double totalSeconds;  // 0 when open-ended
    double inputPeakDb;   // of what was read since the last update
    double outputPeakDb;  // of what was written since the last update
    uint64_t framesPlayed;
};

// One live line on a terminal; plain periodic lines when the output is a file or a pipe.
class StatusLine {
public:
    explicit StatusLine(std::FILE* out);
    void update(const Progress& progress);
    void finish();

private:
    std::FILE* out_;
    bool terminal_;
    double lastPlainLine_ = -1.0;
};

// Peak level in dBFS of int16 samples; -99 for silence.
double peakDb(const int16_t* samples, int64_t count);

}  // namespace mivo::duplex
