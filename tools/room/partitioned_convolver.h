#pragma once

// Convolution with a long impulse response, sample by sample, at a fixed latency of one block:
// uniformly partitioned overlap-save on FFTW. Everything is allocated when it is made; process()
// allocates nothing.

#include <fftw3.h>

#include <cstddef>
#include <vector>

namespace mivo::room {

class PartitionedConvolver {
public:
    static constexpr size_t blockSize = 256;

    explicit PartitionedConvolver(const std::vector<float>& impulseResponse);
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    // Output sample n is the convolution's sample n - blockSize.
    float process(float input);

private:
    void convolveBlock();

    size_t partitions_ = 0;
    size_t bins_ = 0;
    float* timeBuffer_ = nullptr;           // 2 blocks: the previous and the current input
    fftwf_complex* spectrum_ = nullptr;     // scratch for one transform
    std::vector<fftwf_complex> filters_;    // partitions x bins
    std::vector<fftwf_complex> history_;    // partitions x bins, a ring of input spectra
    std::vector<fftwf_complex> sum_;        // bins
    std::vector<float> input_;              // the block being filled
    std::vector<float> output_;             // the block being given out
    size_t position_ = 0;
    size_t newest_ = 0;
    fftwf_plan forward_ = nullptr;
    fftwf_plan inverse_ = nullptr;
};

}  // namespace mivo::room
