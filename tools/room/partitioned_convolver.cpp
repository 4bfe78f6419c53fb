#include "partitioned_convolver.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace mivo::room {

namespace {
// FFTW's planner is not thread-safe.
std::mutex planning;
}  // namespace

PartitionedConvolver::PartitionedConvolver(const std::vector<float>& impulseResponse)
    : partitions_(std::max<size_t>(1, (impulseResponse.size() + blockSize - 1) / blockSize)),
      bins_(blockSize + 1),
      filters_(partitions_ * bins_),
      history_(partitions_ * bins_),
      sum_(bins_),
      input_(blockSize, 0.0f),
      output_(blockSize, 0.0f) {
    const int size = static_cast<int>(2 * blockSize);
    timeBuffer_ = fftwf_alloc_real(2 * blockSize);
    spectrum_ = fftwf_alloc_complex(bins_);
    if (!timeBuffer_ || !spectrum_) throw std::bad_alloc();
    {
        std::lock_guard<std::mutex> hold(planning);
        forward_ = fftwf_plan_dft_r2c_1d(size, timeBuffer_, spectrum_, FFTW_ESTIMATE);
        inverse_ = fftwf_plan_dft_c2r_1d(size, spectrum_, timeBuffer_, FFTW_ESTIMATE);
    }
    for (size_t p = 0; p < partitions_; ++p) {
        std::fill(timeBuffer_, timeBuffer_ + 2 * blockSize, 0.0f);
        const size_t begin = p * blockSize;
        const size_t end = std::min(impulseResponse.size(), begin + blockSize);
        for (size_t i = begin; i < end; ++i) timeBuffer_[i - begin] = impulseResponse[i];
        fftwf_execute(forward_);
        std::memcpy(&filters_[p * bins_], spectrum_, bins_ * sizeof(fftwf_complex));
    }
    std::fill(timeBuffer_, timeBuffer_ + 2 * blockSize, 0.0f);
    std::memset(history_.data(), 0, history_.size() * sizeof(fftwf_complex));
}

PartitionedConvolver::~PartitionedConvolver() {
    std::lock_guard<std::mutex> hold(planning);
    fftwf_destroy_plan(forward_);
    fftwf_destroy_plan(inverse_);
    fftwf_free(timeBuffer_);
    fftwf_free(spectrum_);
}

float PartitionedConvolver::process(float input) {
    input_[position_] = input;
    const float output = output_[position_];
    if (++position_ == blockSize) {
        convolveBlock();
        position_ = 0;
    }
    return output;
}

void PartitionedConvolver::convolveBlock() {
    // Overlap-save: transform [previous block, this block], multiply with every partition's
    // spectrum against the input spectrum that many blocks old, keep the second half.
    std::memmove(timeBuffer_, timeBuffer_ + blockSize, blockSize * sizeof(float));
    std::memcpy(timeBuffer_ + blockSize, input_.data(), blockSize * sizeof(float));
    // The inverse transform writes into the time buffer: keep this block for the next overlap.
    float previous[blockSize];
    std::memcpy(previous, timeBuffer_ + blockSize, sizeof previous);
    fftwf_execute(forward_);
    newest_ = (newest_ + partitions_ - 1) % partitions_;
    std::memcpy(&history_[newest_ * bins_], spectrum_, bins_ * sizeof(fftwf_complex));
    std::memset(sum_.data(), 0, bins_ * sizeof(fftwf_complex));
    for (size_t p = 0; p < partitions_; ++p) {
        const fftwf_complex* x = &history_[((newest_ + p) % partitions_) * bins_];
        const fftwf_complex* h = &filters_[p * bins_];
        for (size_t k = 0; k < bins_; ++k) {
            sum_[k][0] += x[k][0] * h[k][0] - x[k][1] * h[k][1];
            sum_[k][1] += x[k][0] * h[k][1] + x[k][1] * h[k][0];
        }
    }
    std::memcpy(spectrum_, sum_.data(), bins_ * sizeof(fftwf_complex));
    fftwf_execute(inverse_);
    const float scale = 1.0f / static_cast<float>(2 * blockSize);
    for (size_t i = 0; i < blockSize; ++i) output_[i] = timeBuffer_[blockSize + i] * scale;
    std::memcpy(timeBuffer_ + blockSize, previous, sizeof previous);
}

}  // namespace mivo::room
