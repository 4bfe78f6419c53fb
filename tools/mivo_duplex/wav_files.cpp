#include "mivo_duplex/wav_files.h"

#include <sndfile.h>
#include <soxr.h>

#include <cmath>
#include <stdexcept>

namespace mivo::duplex {

std::vector<int16_t> readAsPlaybackFrames(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error("cannot open " + path + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        throw std::runtime_error(path + " has no audio");
    }
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t frames = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);

    std::vector<float> mono(static_cast<size_t>(frames));
    for (sf_count_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < info.channels; ++c) sum += interleaved[static_cast<size_t>(i * info.channels + c)];
        mono[static_cast<size_t>(i)] = sum / static_cast<float>(info.channels);
    }

    constexpr double playbackRate = 48000.0;
    const size_t capacity = static_cast<size_t>(std::ceil(mono.size() * playbackRate / info.samplerate)) + 16;
    std::vector<int16_t> converted(capacity);
    size_t produced = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    if (const soxr_error_t error = soxr_oneshot(info.samplerate, playbackRate, 1, mono.data(), mono.size(), nullptr,
                                                converted.data(), converted.size(), &produced, &io, &quality,
                                                nullptr)) {
        throw std::runtime_error(std::string("cannot convert ") + path + ": " + error);
    }
    converted.resize(produced);
    return converted;
}

CaptureWavWriter::CaptureWavWriter(const std::string& path) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file_) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
}

CaptureWavWriter::~CaptureWavWriter() { close(); }

void CaptureWavWriter::append(const int16_t* samples, int64_t count) {
    if (file_ && count > 0) sf_write_short(file_, samples, count);
}

void CaptureWavWriter::close() {
    if (file_) sf_close(file_);
    file_ = nullptr;
}

}  // namespace mivo::duplex
