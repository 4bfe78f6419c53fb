#include "mivo_duplex/check/spectra.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace mivo::duplex::check {

namespace {

using Spectrum = std::vector<std::complex<double>>;

size_t powerOfTwoAtLeast(size_t count) {
    size_t size = 1;
    while (size < count) size <<= 1;
    return size;
}

Spectrum forward(std::vector<double> time) {
    Spectrum spectrum(time.size() / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(time.size()), time.data(),
                                          reinterpret_cast<fftw_complex*>(spectrum.data()), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    return spectrum;
}

// Unscaled, as FFTW does: divide by the size.
std::vector<double> inverse(Spectrum spectrum, size_t size) {
    std::vector<double> time(size);
    fftw_plan plan = fftw_plan_dft_c2r_1d(static_cast<int>(size), reinterpret_cast<fftw_complex*>(spectrum.data()),
                                          time.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    return time;
}

std::vector<double> padded(const float* data, size_t count, size_t size) {
    std::vector<double> out(size, 0.0);
    std::copy(data, data + std::min(count, size), out.begin());
    return out;
}

}  // namespace

ImpulseEstimate estimateImpulseResponse(const float* in, const float* out, size_t count, size_t length, size_t near) {
    const size_t size = powerOfTwoAtLeast(2 * length);
    const size_t bins = size / 2 + 1;
    Spectrum cross(bins);
    std::vector<double> power(bins, 0.0);
    std::vector<double> window(size);
    for (size_t i = 0; i < size; ++i) window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (size - 1));
    for (size_t start = 0; start + size <= count; start += size / 4) {
        std::vector<double> x(size), y(size);
        for (size_t i = 0; i < size; ++i) {
            x[i] = in[start + i] * window[i];
            y[i] = out[start + i] * window[i];
        }
        const Spectrum fx = forward(std::move(x));
        const Spectrum fy = forward(std::move(y));
        for (size_t k = 0; k < bins; ++k) {
            cross[k] += std::conj(fx[k]) * fy[k];
            power[k] += std::norm(fx[k]);
        }
    }
    const double strongest = *std::max_element(power.begin(), power.end());
    if (strongest <= 0.0) return {};
    Spectrum ratio(bins), band(bins);
    for (size_t k = 0; k < bins; ++k) {
        const bool carried = power[k] > 1e-5 * strongest;
        ratio[k] = carried ? cross[k] / power[k] : 0.0;
        band[k] = carried ? 1.0 : 0.0;
    }
    const std::vector<double> response = inverse(std::move(ratio), size);
    const std::vector<double> kernel = inverse(std::move(band), size);
    ImpulseEstimate estimate;
    estimate.response.assign(response.begin(), response.begin() + static_cast<long>(length));
    for (double& tap : estimate.response) tap /= kernel[0];
    for (size_t i = size - near; i < size; ++i) estimate.spread.push_back(kernel[i] / kernel[0]);
    for (size_t i = 0; i <= near; ++i) estimate.spread.push_back(kernel[i] / kernel[0]);
    return estimate;
}

size_t strongestLag(const float* in, const float* out, size_t count, size_t maxLag) {
    const size_t size = powerOfTwoAtLeast(2 * count);
    const Spectrum a = forward(padded(in, count, size));
    Spectrum b = forward(padded(out, count, size));
    for (size_t k = 0; k < b.size(); ++k) {
        const std::complex<double> product = std::conj(a[k]) * b[k];
        b[k] = product / std::max(std::abs(product), 1e-30);
    }
    const std::vector<double> correlation = inverse(std::move(b), size);
    const auto end = correlation.begin() + static_cast<long>(std::min(maxLag, size));
    return static_cast<size_t>(std::max_element(correlation.begin(), end) - correlation.begin());
}

std::vector<double> crossCorrelation(const std::vector<float>& a, const std::vector<float>& b, size_t maxLag) {
    const size_t size = powerOfTwoAtLeast(std::max(a.size(), b.size()) + maxLag + 1);
    const Spectrum fa = forward(padded(a.data(), a.size(), size));
    Spectrum fb = forward(padded(b.data(), b.size(), size));
    for (size_t k = 0; k < fb.size(); ++k) fb[k] *= std::conj(fa[k]);
    const std::vector<double> circular = inverse(std::move(fb), size);
    std::vector<double> result(2 * maxLag + 1);
    for (size_t i = 0; i < result.size(); ++i) {
        const long lag = static_cast<long>(i) - static_cast<long>(maxLag);
        result[i] = circular[static_cast<size_t>((lag + static_cast<long>(size)) % static_cast<long>(size))];
    }
    return result;
}

std::vector<float> convolve(const std::vector<float>& signal, const std::vector<double>& taps) {
    const size_t size = powerOfTwoAtLeast(signal.size() + taps.size());
    Spectrum fs = forward(padded(signal.data(), signal.size(), size));
    std::vector<double> t(size, 0.0);
    std::copy(taps.begin(), taps.end(), t.begin());
    const Spectrum ft = forward(std::move(t));
    for (size_t k = 0; k < fs.size(); ++k) fs[k] *= ft[k];
    const std::vector<double> full = inverse(std::move(fs), size);
    std::vector<float> out(signal.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(full[i] / static_cast<double>(size));
    return out;
}

}  // namespace mivo::duplex::check
