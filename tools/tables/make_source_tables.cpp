// korvel_make_source_tables: writes components/source_tables.inc, the
// filters the sources are built on:
//  - the band-limited step the Oscillator smooths its corners with;
//  - the lowpass the FM Oscillator decimates its doubled rate with.
//
// The step is the running integral of a minimum-phase lowpass: a
// Kaiser-windowed sinc (kTaps frames long, cutoff and window chosen so that
// everything from kStopEdge × the sample rate up is at least kStopband dB
// down), turned minimum-phase through its real cepstrum. Minimum phase
// makes the step causal: a corner is smoothed from the frame it happens on,
// with no latency. The tables hold, at kPhases points per frame over
// kTaps frames:
//   step:  B(t) - 1, the band-limited step minus the ideal one;
//   slope: B'(t), its slope (for Hermite interpolation between points);
//   ramp:  the band-limited ramp minus the ideal ramp, less its final value,
//          so that it too decays to zero (the final value, kBlepRampSettle,
//          is what the Oscillator adds as a slope term).
// Each is stored as float: its rounding (2^-24 of the step) lies far below
// what the kernel itself leaves.
//
// The decimator is a Kaiser-windowed sinc too (kDecimatorTaps at twice the
// rate, passing up to kPassEdge of the output rate, kStopband dB down from
// kStopEdge), also turned minimum-phase: the FM tone then lags its controls
// by about two frames instead of half the filter's length.
//
//   korvel_make_source_tables > components/source_tables.inc
#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTaps = 32;         // kernel length, frames
constexpr int kPhases = 32;       // table points per frame
constexpr int kFine = 512;        // points per frame while designing
constexpr double kStopEdge = 0.5465;  // fraction of the sample rate
constexpr double kStopband = 100.0;   // dB
constexpr int kFft = 1 << 21;
constexpr int kDecimatorTaps = 128;
constexpr double kPassEdge = 0.4465;  // fraction of the output rate

double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 200; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < 1e-20 * sum) break;
  }
  return sum;
}

// The minimum-phase filter with the magnitude response of `prototype`,
// through the real cepstrum: log magnitude, the cepstrum folded onto
// positive time, exponentiated.
std::vector<double> MinimumPhase(const std::vector<double>& prototype) {
  const int n = static_cast<int>(prototype.size());
  std::vector<std::complex<double>> a(kFft), b(kFft);
  auto* pa = reinterpret_cast<fftw_complex*>(a.data());
  auto* pb = reinterpret_cast<fftw_complex*>(b.data());
  fftw_plan forward = fftw_plan_dft_1d(kFft, pa, pb, FFTW_FORWARD, FFTW_ESTIMATE);
  fftw_plan inverse = fftw_plan_dft_1d(kFft, pb, pa, FFTW_BACKWARD, FFTW_ESTIMATE);
  for (int i = 0; i < n; ++i) a[i] = prototype[i];
  fftw_execute(forward);
  double peak = 0.0;
  for (const auto& v : b) peak = std::max(peak, std::abs(v));
  for (auto& v : b) v = std::log(std::max(std::abs(v), peak * 1e-14));
  fftw_execute(inverse);
  for (auto& v : a) v /= kFft;
  for (int i = 1; i < kFft / 2; ++i) a[i] *= 2.0;
  for (int i = kFft / 2 + 1; i < kFft; ++i) a[i] = 0.0;
  fftw_execute(forward);
  for (auto& v : b) v = std::exp(v);
  fftw_execute(inverse);
  std::vector<double> h(n);
  for (int i = 0; i < n; ++i) h[i] = a[i].real() / kFft;
  fftw_destroy_plan(forward);
  fftw_destroy_plan(inverse);
  return h;
}

// A Kaiser-windowed sinc of `taps` + 1 points, `per_frame` points per output
// frame, cutoff `cutoff` of the output rate.
std::vector<double> WindowedSinc(int taps, int per_frame, double cutoff, double beta) {
  std::vector<double> v(taps + 1);
  const double middle = taps / 2.0;
  for (int i = 0; i <= taps; ++i) {
    const double x = 2.0 * cutoff * (i - middle) / per_frame;
    const double sinc = x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    const double r = (i - middle) / middle;
    v[i] = sinc * BesselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(beta);
  }
  return v;
}

}  // namespace

int main() {
  const int n = kTaps * kFine + 1;
  // Kaiser's formulas: the window's beta for the stopband, and the
  // transition width a kernel of this length then needs.
  const double beta = 0.1102 * (kStopband - 8.7);
  const double transition = (kStopband - 7.95) / (2.285 * 2.0 * M_PI * kTaps);
  const double cutoff = kStopEdge - transition / 2.0;  // fraction of the rate
  const std::vector<double> prototype = WindowedSinc(kTaps * kFine, kFine, cutoff, beta);
  const std::vector<double> h = MinimumPhase(prototype);

  // The step B: the integral of h (trapezoids on the fine grid), scaled to
  // end at 1; its slope in units per frame; the ramp's integral.
  double total = 0.0;
  for (int i = 0; i + 1 < n; ++i) total += 0.5 * (h[i] + h[i + 1]);
  std::vector<double> step(n), slope(n), ramp(n);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    if (i > 0) sum += 0.5 * (h[i - 1] + h[i]);
    step[i] = sum / total - 1.0;
    slope[i] = h[i] / total * kFine;
  }
  double area = 0.0;
  for (int i = 0; i < n; ++i) {
    if (i > 0) area += 0.5 * (step[i - 1] + step[i]) / kFine;
    ramp[i] = area;
  }
  const double settle = area;
  for (double& v : ramp) v -= settle;

  const auto table = [&](const char* name, const std::vector<double>& v, const char* what) {
    std::printf("// %s\ninline constexpr float %s[kBlepPhases + 1][kBlepTaps] = {\n", what, name);
    for (int k = 0; k <= kPhases; ++k) {
      std::printf("    {");
      for (int i = 0; i < kTaps; ++i) {
        const int at = i * kFine + k * (kFine / kPhases);
        const double value = at < n ? v[at] : 0.0;
        std::printf("%s%.9g", i == 0 ? "" : (i % 6 == 0 ? ",\n     " : ", "), static_cast<float>(value));
      }
      std::printf("},\n");
    }
    std::printf("};\n\n");
  };
  std::printf(
      "// Generated by tools/tables/make_source_tables.cpp (korvel_make_source_tables); do not edit.\n"
      "// A minimum-phase band-limited step: Kaiser-windowed sinc, %d frames, cutoff %.6f of the\n"
      "// sample rate, beta %.4f (%.0f dB from %.4f of the rate up). Row k holds t = i + k / %d\n"
      "// frames after the corner, for taps i = 0 .. %d.\n\n",
      kTaps, cutoff, beta, kStopband, kStopEdge, kPhases, kTaps - 1);
  std::printf("inline constexpr int kBlepTaps = %d;\ninline constexpr int kBlepPhases = %d;\n", kTaps, kPhases);
  std::printf("// The band-limited ramp's final offset from the ideal ramp, in frames (minus the\n"
              "// kernel's delay at 0 Hz).\ninline constexpr double kBlepRampSettle = %.17g;\n\n",
              settle);
  table("kBlepStep", step, "B(t) - 1");
  table("kBlepSlope", slope, "B'(t), per frame");
  table("kBlepRamp", ramp, "the integral of B(t) - 1 from 0 to t, less kBlepRampSettle");

  // The FM decimator: taps at twice the rate, DC gain 1.
  const double fm_transition = (kStopEdge - kPassEdge) / 2.0;  // of the doubled rate
  const double fm_stopband = 14.36 * fm_transition * kDecimatorTaps + 7.95;
  const double fm_beta = 0.1102 * (fm_stopband - 8.7);
  const double fm_cutoff = (kStopEdge + kPassEdge) / 2.0;
  std::vector<double> fm = MinimumPhase(WindowedSinc(kDecimatorTaps - 1, 2, fm_cutoff, fm_beta));
  double fm_sum = 0.0;
  for (double v : fm) fm_sum += v;
  std::printf("// The FM Oscillator's decimator: %d minimum-phase taps at twice the rate, passing up to\n"
              "// %.4f of the output rate, %.1f dB down from %.4f (Kaiser beta %.4f). Tap 0 meets the newest value.\n",
              kDecimatorTaps, kPassEdge, fm_stopband, kStopEdge, fm_beta);
  std::printf("inline constexpr double kFmDecimator[%d] = {\n", kDecimatorTaps);
  for (int i = 0; i < kDecimatorTaps; ++i)
    std::printf("%s%.17g,%s", i % 4 == 0 ? "    " : " ", fm[i] / fm_sum, i % 4 == 3 ? "\n" : "");
  std::printf("};\n");
  std::fprintf(stderr, "fm: stopband %.1f dB, beta %.4f\n", fm_stopband, fm_beta);
  std::fprintf(stderr, "cutoff %.6f, beta %.4f, settle %.6f frames, step tail %.3g, ramp tail %.3g\n", cutoff, beta,
               settle, step[n - 1], ramp[n - 1]);
  return 0;
}
