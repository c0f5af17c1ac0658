#include "tools/korvel/noise_shaping.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace korvel::cli {

namespace {

constexpr int kPoints = 512;  // frequency grid over the whole circle
constexpr int kTaps = 16;
constexpr double kRangeDb = 25.0;

// The threshold of hearing in dB SPL at f Hz (Terhardt, 1979).
double ThresholdDb(double f) {
  const double k = f / 1000.0;
  return 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) + 1e-3 * k * k * k * k;
}

}  // namespace

std::vector<double> NoiseShapingTaps(int rate) {
  // The wanted log magnitude at each grid point (even about half the rate).
  std::vector<double> log_magnitude(kPoints);
  for (int i = 0; i < kPoints; ++i) {
    const int folded = i <= kPoints / 2 ? i : kPoints - i;
    const double f = std::max(1000.0, static_cast<double>(folded) * rate / kPoints);
    log_magnitude[i] = ThresholdDb(f);
  }
  const double lowest = *std::min_element(log_magnitude.begin(), log_magnitude.end());
  double mean = 0.0;
  for (double& v : log_magnitude) {
    v = std::min(v, lowest + kRangeDb) * std::log(10.0) / 20.0;
    mean += v / kPoints;
  }
  for (double& v : log_magnitude) v -= mean;

  // Minimum phase through the cepstrum: fold the real cepstrum onto
  // positive times, exponentiate the spectrum, transform back.
  std::vector<std::complex<double>> turn(kPoints);
  for (int i = 0; i < kPoints; ++i) turn[i] = std::polar(1.0, 2 * std::numbers::pi * i / kPoints);
  std::vector<double> cepstrum(kPoints, 0.0);
  for (int n = 0; n <= kPoints / 2; ++n) {
    double c = 0.0;
    for (int i = 0; i < kPoints; ++i) c += log_magnitude[i] * turn[(i * n) % kPoints].real();
    c /= kPoints;
    cepstrum[n] = n == 0 || n == kPoints / 2 ? c : 2 * c;
  }
  std::vector<std::complex<double>> spectrum(kPoints);
  for (int i = 0; i < kPoints; ++i) {
    std::complex<double> log_value = 0.0;
    for (int n = 0; n <= kPoints / 2; ++n) log_value += cepstrum[n] * std::conj(turn[(i * n) % kPoints]);
    spectrum[i] = std::exp(log_value);
  }
  std::vector<double> taps(kTaps);
  double first = 0.0;
  for (int n = 0; n <= kTaps; ++n) {
    std::complex<double> h = 0.0;
    for (int i = 0; i < kPoints; ++i) h += spectrum[i] * turn[(i * n) % kPoints];
    if (n == 0)
      first = h.real();
    else
      taps[n - 1] = h.real() / first;
  }
  return taps;
}

}  // namespace korvel::cli
