#include "signal_locator.h"

#include <fftw3.h>

#include <cmath>
#include <complex>

namespace mivo::room {

long locateSignal(const std::vector<float>& recording, const std::vector<float>& signal, double* prominence) {
    if (prominence) *prominence = 0.0;
    if (signal.empty() || recording.size() < signal.size()) return -1;
    size_t size = 1;
    while (size < recording.size() + signal.size()) size <<= 1;
    const size_t bins = size / 2 + 1;
    std::vector<double> a(size, 0.0), b(size, 0.0), product(size, 0.0);
    std::vector<std::complex<double>> fa(bins), fb(bins);
    std::copy(recording.begin(), recording.end(), a.begin());
    std::copy(signal.begin(), signal.end(), b.begin());
    auto* faData = reinterpret_cast<fftw_complex*>(fa.data());
    auto* fbData = reinterpret_cast<fftw_complex*>(fb.data());
    fftw_plan forwardA = fftw_plan_dft_r2c_1d(static_cast<int>(size), a.data(), faData, FFTW_ESTIMATE);
    fftw_plan forwardB = fftw_plan_dft_r2c_1d(static_cast<int>(size), b.data(), fbData, FFTW_ESTIMATE);
    fftw_execute(forwardA);
    fftw_execute(forwardB);
    for (size_t k = 0; k < bins; ++k) fa[k] *= std::conj(fb[k]);
    fftw_plan inverse = fftw_plan_dft_c2r_1d(static_cast<int>(size), faData, product.data(), FFTW_ESTIMATE);
    fftw_execute(inverse);
    fftw_destroy_plan(forwardA);
    fftw_destroy_plan(forwardB);
    fftw_destroy_plan(inverse);
    const size_t lags = recording.size() - signal.size() + 1;
    size_t best = 0;
    double sum = 0.0;
    for (size_t lag = 0; lag < lags; ++lag) {
        sum += product[lag] * product[lag];
        if (product[lag] > product[best]) best = lag;
    }
    const double spread = std::sqrt(sum / static_cast<double>(lags));
    if (prominence) *prominence = spread > 0.0 ? product[best] / spread : 0.0;
    return static_cast<long>(best);
}

}  // namespace mivo::room
