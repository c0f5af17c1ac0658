// Magnitude spectra for tests: a plain radix-2 FFT, so that the tests run
// on every build (FFTW is a native-only dependency).
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <utility>
#include <vector>

namespace korvel::testing {

// Peak amplitudes of bins 0..n/2 of x (n a power of two): a full-scale
// sine whose whole cycles fit the window shows as its amplitude.
inline std::vector<double> Amplitudes(const std::vector<double>& x) {
  const std::size_t n = x.size();
  std::vector<std::complex<double>> a(x.begin(), x.end());
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
    for (std::size_t start = 0; start < n; start += length) {
      for (std::size_t k = 0; k < length / 2; ++k) {
        const std::complex<double> w = std::polar(1.0, angle * static_cast<double>(k));
        const std::complex<double> u = a[start + k], v = a[start + k + length / 2] * w;
        a[start + k] = u + v;
        a[start + k + length / 2] = u - v;
      }
    }
  }
  std::vector<double> m(n / 2 + 1);
  for (std::size_t i = 0; i <= n / 2; ++i) m[i] = std::abs(a[i]) * 2.0 / static_cast<double>(n);
  return m;
}

inline double Decibels(double ratio) { return 20.0 * std::log10(ratio); }

}  // namespace korvel::testing
