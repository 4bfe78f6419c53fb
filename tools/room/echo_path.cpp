#include "echo_path.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace mivo::room {

namespace {
constexpr float onsetLevel = 1e-4f;  // -80 dBFS: the first thing the loudspeaker plays
constexpr size_t lineSeconds = 4;

uint64_t powerOfTwoAbove(uint64_t value) {
    uint64_t result = 1;
    while (result < value) result <<= 1;
    return result;
}
}  // namespace

EchoPath::EchoPath(const RoomDescription& room, double rate, size_t maximumBlock)
    : room_(room), rate_(rate) {
    clipped_.resize(maximumBlock);
    resampled_.resize(2 * maximumBlock + 1024);
    line_.assign(powerOfTwoAbove(static_cast<uint64_t>(rate * lineSeconds)), 0.0f);
    lineMask_ = line_.size() - 1;
    const std::vector<float> response = impulseResponse(room, rate, room.rt60Seconds);
    if (response.size() > 1) {
        convolver_ = std::make_unique<PartitionedConvolver>(response);
    } else {
        gain_ = response.empty() ? 0.0 : response[0];  // a pure delay needs no convolution
    }
    if (room.changes() && room.changeRt60Seconds > 0.0) {
        changedConvolver_ = std::make_unique<PartitionedConvolver>(impulseResponse(room, rate, room.changeRt60Seconds));
    }
    if (room.driftPpm != 0.0) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t types = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        drift_ = soxr_create(rate, rate * (1.0 + room.driftPpm * 1e-6), 1, &error, &types, &quality, nullptr);
        if (error) throw std::runtime_error(std::string("soxr: ") + error);
        // The resampler sizes its buffers on the first calls; do those now, on silence.
        std::vector<float> silence(maximumBlock, 0.0f);
        for (int i = 0; i < 8; ++i) {
            size_t made = 0;
            soxr_process(drift_, silence.data(), silence.size(), nullptr, resampled_.data(), resampled_.size(), &made);
        }
        // Its delay now is its filter's: what it reports later also counts input it is holding
        // back at that moment, which the timeline of its output does not.
        driftLatency_ = soxr_delay(drift_);
    }
    if (room.clipDbfs < 0.0) clipLevel_ = fromDecibels(room.clipDbfs);
    if (room.noiseDbfs < 0.0) noiseLevel_ = fromDecibels(room.noiseDbfs);
    noiseState_ = room.seed ^ 0x9e3779b97f4a7c15ull;
    if (noiseState_ == 0) noiseState_ = 1;
}

EchoPath::~EchoPath() {
    if (drift_) soxr_delete(drift_);
}

double EchoPath::processingLatency() const {
    double latency = convolver_ ? static_cast<double>(PartitionedConvolver::blockSize) : 0.0;
    latency += driftLatency_;
    return latency;
}

void EchoPath::placeEcho(int64_t samples) {
    echoOffset_ = samples - std::llround(processingLatency());
    placed_ = true;
}

double EchoPath::secondsSinceOnset() const {
    if (onsetAt_ < 0) return -1.0;
    return static_cast<double>(static_cast<int64_t>(inputSeen_) - onsetAt_) / rate_;
}

void EchoPath::applyChange() {
    changed_ = true;
    echoOffset_ += std::llround(room_.changeDelayMs * rate_ / 1000.0);
    gain_ *= fromDecibels(room_.changeGainDb);
    if (changedConvolver_) convolver_.swap(changedConvolver_);
}

void EchoPath::process(const float* input, float* output, size_t count, int64_t firstOutput) {
    count = std::min(count, clipped_.size());
    for (size_t i = 0; i < count; ++i) {
        if (onsetAt_ < 0 && std::fabs(input[i]) > onsetLevel) onsetAt_ = static_cast<int64_t>(inputSeen_ + i);
        float sample = input[i];
        if (clipLevel_ > 0.0) sample = static_cast<float>(clipLevel_ * std::tanh(sample / clipLevel_));
        clipped_[i] = sample;
    }
    inputSeen_ += count;
    if (room_.changes() && !changed_ && onsetAt_ >= 0 && secondsSinceOnset() >= room_.changeAtSeconds) applyChange();

    if (drift_) {
        size_t made = 0;
        soxr_process(drift_, clipped_.data(), count, nullptr, resampled_.data(), resampled_.size(), &made);
        pushIntoLine(resampled_.data(), made);
    } else {
        pushIntoLine(clipped_.data(), count);
    }

    for (size_t j = 0; j < count; ++j) {
        float sample = 0.0f;
        const int64_t from = firstOutput + static_cast<int64_t>(j) - echoOffset_;
        if (placed_ && from >= 0 && static_cast<uint64_t>(from) < written_ &&
            written_ - static_cast<uint64_t>(from) <= line_.size()) {
            sample = line_[static_cast<uint64_t>(from) & lineMask_];
        }
        output[j] = static_cast<float>(sample * gain_ + (noiseLevel_ > 0.0 ? noiseLevel_ * nextNoise() : 0.0));
    }
}

void EchoPath::pushIntoLine(const float* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        float sample = samples[i];
        if (convolver_) {
            if (changedConvolver_) changedConvolver_->process(sample);  // so that its history is ready
            sample = convolver_->process(sample);
        }
        line_[written_ & lineMask_] = sample;
        ++written_;
    }
}

float EchoPath::nextNoise() {
    // Gaussian by Box-Muller on xorshift64*: seeded, so every run of a room has the same noise.
    if (spareNoiseReady_) {
        spareNoiseReady_ = false;
        return static_cast<float>(spareNoise_);
    }
    const auto uniform = [this] {
        noiseState_ ^= noiseState_ >> 12;
        noiseState_ ^= noiseState_ << 25;
        noiseState_ ^= noiseState_ >> 27;
        return (static_cast<double>((noiseState_ * 2685821657736338717ull) >> 11) + 0.5) / 9007199254740992.0;
    };
    const double radius = std::sqrt(-2.0 * std::log(uniform()));
    const double angle = 2.0 * M_PI * uniform();
    spareNoise_ = radius * std::sin(angle);
    spareNoiseReady_ = true;
    return static_cast<float>(radius * std::cos(angle));
}

}  // namespace mivo::room
