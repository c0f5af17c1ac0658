// korvel_sources_bench: the sources' figures, measured with the project's
// own analysis (FFTW). Each tone is generated with a whole number of cycles
// in the analysis window (coherent sampling), so every harmonic and every
// alias falls on a bin of its own and no window is needed:
//   - alias: for saw, pulse and triangle at 10 kHz and 1.5 kHz (44.1 kHz),
//     the strongest bin below 20 kHz that is not the tone's own harmonic,
//     relative to the fundamental;
//   - THD+N of the sine (everything but the fundamental);
//   - FM sidebands against |J_n(I)|, and what the FM oscillator leaves of
//     sidebands beyond half the rate;
//   - the envelopes' timing, the follower's levels, the LFO's phase after an
//     hour, the noise colours' slopes and the channels' correlation.
//
//   korvel_sources_bench                  all figures
//   korvel_sources_bench alias FILE F     the alias figure of a WAV file's
//                                         left channel holding a tone of F Hz
#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "components/catalog.h"
#include "components/source_maths.h"
#include "engine/host_timing.h"
#include "engine/type_table.h"

namespace korvel {
namespace {

// One component driven directly, inputs constant or per-frame signals.
class Driver {
 public:
  explicit Driver(int type)
      : type_(type), record_(reinterpret_cast<ComponentRecord*>(kComponentTypeTable.dispatch[type](kCreateState, nullptr, nullptr))) {
    inputs_.resize(kMaxPorts);
  }
  ~Driver() { kComponentTypeTable.dispatch[type_](kDestroyState, nullptr, record_); }
  Driver(const Driver&) = delete;
  void Constant(int k, double v) {
    inputs_[k].emplace();
    inputs_[k]->constant_flag[0] = 1;
    inputs_[k]->constant[0] = v;
  }
  void Buffer(int k, const double* values) {
    inputs_[k].emplace();
    inputs_[k]->output[0] = const_cast<double*>(values);
  }
  // Runs `frames` frames in blocks of 256, handing each block's two channels
  // to `take(frame, left, right)`. `before(frame, n)` may set inputs.
  template <class Take, class Before>
  void Run(long long frames, Take take, Before before) {
    ComponentRecord* in[kMaxPorts] = {};
    const std::int16_t outputs[kMaxPorts] = {};
    for (long long done = 0; done < frames;) {
      const int n = static_cast<int>(std::min<long long>(256, frames - done));
      before(done, n);
      for (int k = 0; k < kMaxPorts; ++k) in[k] = inputs_[k] ? &*inputs_[k] : nullptr;
      record_->block_length = static_cast<std::int16_t>(n);
      kComponentTypeTable.process[type_](record_, in, outputs);
      for (int f = 0; f < n; ++f) {
        const double l = record_->constant_flag[0] ? record_->constant[0] : record_->output[0][2 * f];
        const double r = record_->constant_flag[0] ? record_->constant[0] : record_->output[0][2 * f + 1];
        take(done + f, l, r);
      }
      done += n;
    }
  }
  template <class Take>
  void Run(long long frames, Take take) {
    Run(frames, take, [](long long, int) {});
  }
  ComponentRecord* record() { return record_; }

 private:
  int type_;
  ComponentRecord* record_;
  std::vector<std::optional<ComponentRecord>> inputs_;
};

std::vector<double> Magnitudes(const std::vector<double>& x) {
  const int n = static_cast<int>(x.size());
  std::vector<double> in(x);
  std::vector<std::complex<double>> out(n / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), reinterpret_cast<fftw_complex*>(out.data()), FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  std::vector<double> m(n / 2 + 1);
  for (int i = 0; i <= n / 2; ++i) m[i] = std::abs(out[i]) * 2.0 / n;
  return m;
}

double Db(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-300)); }

constexpr int kWindow = 1 << 16;

// The strongest bin below 20 kHz that is not DC or one of the tone's own
// harmonics below half the rate, in dB under the fundamental.
double AliasLevel(const std::vector<double>& x, long long cycles, double rate) {
  const std::vector<double> m = Magnitudes(x);
  const int n = static_cast<int>(x.size());
  std::vector<bool> own(m.size(), false);
  for (long long h = 1; h * cycles <= n / 2; ++h) own[h * cycles] = true;
  own[0] = true;
  double worst = 0.0;
  for (int i = 0; i < static_cast<int>(m.size()); ++i) {
    if (own[i] || i * rate / n >= 20000.0) continue;
    worst = std::max(worst, m[i]);
  }
  return Db(worst / m[cycles]);
}

// A whole number of cycles in the window, near `frequency`; odd, so that no
// harmonic's alias lands on another harmonic.
long long CyclesNear(double frequency, double rate) {
  long long k = std::llround(frequency * kWindow / rate);
  return k % 2 == 0 ? k + 1 : k;
}

std::vector<double> Tone(int type, int shape, double frequency, double rate, int settle) {
  StoreSampleTiming(rate, 100.0);
  Driver d(type);
  d.Constant(0, frequency);
  d.Constant(1, shape);
  std::vector<double> x(kWindow);
  d.Run(settle + kWindow, [&](long long f, double l, double) {
    if (f >= settle) x[f - settle] = l;
  });
  return x;
}

void AliasFigures() {
  const double rate = 44100.0;
  std::printf("Oscillator aliases at 44.1 kHz: the strongest bin below 20 kHz that is not the tone's own,\n"
              "relative to the fundamental (coherent 65536-point FFT, after 4096 frames):\n");
  std::printf("  %-9s %12s %12s\n", "shape", "10 kHz", "1.5 kHz");
  for (const auto& [shape, name] : {std::pair{2, "saw"}, std::pair{3, "square"}, std::pair{1, "triangle"}}) {
    double level[2];
    int i = 0;
    for (double f : {10000.0, 1500.0}) {
      const long long k = CyclesNear(f, rate);
      level[i++] = AliasLevel(Tone(kOscillatorType, shape, k * rate / kWindow, rate, 4096), k, rate);
    }
    std::printf("  %-9s %9.1f dB %9.1f dB\n", name, level[0], level[1]);
  }
  // The worst alias of a saw on each semitone over six octaves.
  double worst = -1e9, at = 0.0;
  for (int note = 0; note < 72; ++note) {
    const long long k = CyclesNear(220.0 * std::pow(2.0, note / 12.0), rate);
    const double level = AliasLevel(Tone(kOscillatorType, 2, k * rate / kWindow, rate, 4096), k, rate);
    if (level > worst) worst = level, at = k * rate / kWindow;
  }
  std::printf("  saw, every semitone from 220 Hz to 13.2 kHz: worst %.1f dB (at %.0f Hz)\n", worst, at);
  // The band: a saw's harmonic h has amplitude 1/h of the fundamental;
  // what the band-limiting leaves of it, near the top of the band.
  const long long k = CyclesNear(500.0, rate);
  const std::vector<double> m = Magnitudes(Tone(kOscillatorType, 2, k * rate / kWindow, rate, 4096));
  std::printf("  saw at %.1f Hz, harmonics against 1/h:", k * rate / kWindow);
  for (double f : {10000.0, 15000.0, 16500.0, 18000.0, 19000.0, 19700.0, 21000.0}) {
    const long long h = std::llround(f / (k * rate / kWindow));
    std::printf(" %.1f kHz %+.2f dB;", h * k * rate / kWindow / 1000.0, Db(m[h * k] * h / m[k]));
  }
  std::printf("\n");
}

void SineFigures() {
  const double rate = 44100.0;
  const long long k = CyclesNear(1000.0, rate);
  const std::vector<double> x = Tone(kOscillatorType, 0, k * rate / kWindow, rate, 64);
  const std::vector<double> m = Magnitudes(x);
  double rest = 0.0;
  for (std::size_t i = 0; i < m.size(); ++i)
    if (static_cast<long long>(i) != k) rest += m[i] * m[i] / 2.0;
  std::printf("\nSine at %.1f Hz: THD+N %.1f dB (all bins but the fundamental, doubles as computed);",
              k * rate / kWindow, 10.0 * std::log10(std::max(rest, 1e-300) / (m[k] * m[k] / 2.0)));
  // As the host receives it: rounded to float.
  std::vector<double> f32(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) f32[i] = static_cast<float>(x[i] / 32768.0);
  const std::vector<double> mf = Magnitudes(f32);
  rest = 0.0;
  for (std::size_t i = 0; i < mf.size(); ++i)
    if (static_cast<long long>(i) != k) rest += mf[i] * mf[i] / 2.0;
  std::printf(" as 32-bit float output %.1f dB\n", 10.0 * std::log10(rest / (mf[k] * mf[k] / 2.0)));
}

void FmFigures() {
  const double rate = 44100.0;
  const long long kc = CyclesNear(4000.0, rate) + 1, km = 744;  // about 4 kHz and 500 Hz
  double worst = 0.0;
  int worst_n = 0;
  double worst_i = 0.0;
  for (int step = 0; step <= 10; ++step) {
    const double index = 0.5 * step;
    StoreSampleTiming(rate, 100.0);
    Driver d(kFmOscillatorType);
    d.Constant(0, kc * rate / kWindow);
    d.Constant(1, km * rate / kWindow);
    d.Constant(2, index);
    std::vector<double> x(kWindow);
    d.Run(1024 + kWindow, [&](long long f, double l, double) {
      if (f >= 1024) x[f - 1024] = l / 16384.0;
    });
    const std::vector<double> m = Magnitudes(x);
    for (int n = -6; n <= 6; ++n) {
      const double expected = std::fabs(std::cyl_bessel_j(std::abs(n), index));
      const double measured = m[kc + n * km];
      if (expected < 1e-5) {
        if (measured > 1e-5) worst = std::max(worst, 99.0);
        continue;
      }
      const double error = std::fabs(Db(measured / expected));
      if (error > worst) worst = error, worst_n = n, worst_i = index;
    }
  }
  std::printf("\nFM, carrier %.1f Hz, modulator %.1f Hz, index 0 to 5 by 0.5, sidebands -6..6 against |J_n(I)|\n"
              "(those above -100 dB): largest difference %.4f dB (n = %d, I = %.1f)\n",
              kc * rate / kWindow, km * rate / kWindow, worst, worst_n, worst_i);
  // Sidebands beyond half the rate: carrier and modulator 3 kHz, index 5 —
  // sidebands reach about 36 kHz. What folds back below 20 kHz?
  for (const double index : {5.0, 10.0}) {
    const long long k3 = CyclesNear(3000.0, rate);
    StoreSampleTiming(rate, 100.0);
    Driver d(kFmOscillatorType);
    d.Constant(0, k3 * rate / kWindow);
    d.Constant(1, k3 * rate / kWindow);
    d.Constant(2, index);
    std::vector<double> x(kWindow);
    d.Run(1024 + kWindow, [&](long long f, double l, double) {
      if (f >= 1024) x[f - 1024] = l / 16384.0;
    });
    const std::vector<double> m = Magnitudes(x);
    double strongest_alias = 0.0, strongest = 0.0;
    for (std::size_t i = 1; i < m.size(); ++i) {
      strongest = std::max(strongest, m[i]);
      if (static_cast<long long>(i) % k3 != 0 && i * rate / kWindow < 20000.0) strongest_alias = std::max(strongest_alias, m[i]);
    }
    std::printf("FM at 3 kHz : 3 kHz, index %.0f (sidebands to %.0f kHz): strongest fold-back below 20 kHz %.1f dB "
                "under the strongest sideband\n",
                index, 3.0 * (index + 8), Db(strongest_alias / strongest));
  }
}

void EnvelopeFigures() {
  const double rate = 48000.0;
  StoreSampleTiming(rate, 100.0);
  std::printf("\nEnvelopes at 48 kHz, gate from frame 100, attack 10 ms: the frame (after the gate's) at which the\n"
              "envelope first reaches 1:");
  for (const auto& [type, name] : {std::pair{kLinearAdsrType, "linear"}, std::pair{kExponentialAdsrType, "exponential"}}) {
    Driver d(type);
    std::vector<double> gate(2 * 256, 0.0);
    d.Buffer(0, gate.data());
    d.Constant(1, 10.0);
    d.Constant(2, 100.0);
    d.Constant(3, 0.5);
    d.Constant(4, 100.0);
    long long reached = -1;
    d.Run(
        2048, [&](long long f, double l, double) { if (reached < 0 && l >= 1.0) reached = f - 100; },
        [&](long long start, int n) {
          for (int f = 0; f < n; ++f) gate[2 * f] = gate[2 * f + 1] = start + f >= 100 ? 1.0 : 0.0;
        });
    std::printf(" %s %lld;", name, reached);
  }
  std::printf("\n");
}

void FollowerFigures() {
  const double rate = 48000.0;
  StoreSampleTiming(rate, 100.0);
  std::printf("\nEnvelope Follower, 1 kHz sine at -6 dBFS (peak 16384) at 48 kHz, attack 10 ms, release 100 ms,\n"
              "the output over 1.5 .. 2 s (expected 16384 peak, 11585.2 RMS):\n");
  for (int mode = 0; mode < 2; ++mode) {
    Driver d(kEnvelopeFollowerType);
    std::vector<double> sine(2 * 256);
    d.Buffer(0, sine.data());
    d.Constant(1, 10.0);
    d.Constant(2, 100.0);
    d.Constant(3, mode);
    double low = 1e300, high = 0.0;
    d.Run(
        96000,
        [&](long long f, double l, double) {
          if (f >= 72000) low = std::min(low, l), high = std::max(high, l);
        },
        [&](long long start, int n) {
          for (int f = 0; f < n; ++f) sine[2 * f] = sine[2 * f + 1] = 16384.0 * std::sin(2 * M_PI * 1000.0 * (start + f) / rate);
        });
    const double expected = mode == 0 ? 16384.0 : 16384.0 / std::sqrt(2.0);
    std::printf("  %-4s %.1f .. %.1f (%+.2f%% .. %+.2f%%)\n", mode == 0 ? "peak" : "RMS", low, high,
                100.0 * (low / expected - 1.0), 100.0 * (high / expected - 1.0));
  }
}

void LfoFigures() {
  // 1 Hz for an hour at 44.1 kHz: the phase the oscillator holds against the
  // exact 3600 cycles.
  const double rate = 44100.0;
  StoreSampleTiming(rate, 100.0);
  Driver d(kOscillatorType);
  d.Constant(0, 1.0);
  const long long frames = 3600LL * 44100;
  double last = 0.0;
  d.Run(frames + 1, [&](long long, double l, double) { last = l; });
  const auto phase = static_cast<OscillatorRecord*>(d.record())->phase;
  const double error = phase < (1ull << 63) ? phase * 0x1p-64 : -((~phase + 1) * 0x1p-64);
  std::printf("\nLFO at 1 Hz for an hour (%lld frames at 44.1 kHz): phase error %.3g cycles; last sample %.3g\n", frames,
              error, last);
}

void NoiseFigures() {
  const double rate = 44100.0;
  StoreSampleTiming(rate, 100.0);
  const int segment = 1 << 15;
  const int segments = 600;  // about 7.4 minutes
  std::printf("\nNoise at 44.1 kHz, %d averaged %d-point spectra: each third-octave band's level against the\n"
              "ideal slope through the 1 kHz band, 20 Hz .. 20 kHz; level RMS (8192 asked); left-right correlation\n"
              "over 10 s:\n",
              segments, segment);
  for (int colour = 0; colour < 3; ++colour) {
    Driver d(kNoiseType);
    static_cast<NoiseRecord*>(d.record())->seed = 2026;  // the same figures every run
    d.Constant(1, colour);
    std::vector<double> power(segment / 2 + 1, 0.0), block(segment);
    double square = 0.0, lr = 0.0, ll = 0.0, rr = 0.0;
    long long count = 0;
    std::vector<double> left;
    d.Run(static_cast<long long>(segment) * segments, [&](long long f, double l, double r) {
      block[f % segment] = l;
      square += l * l;
      ++count;
      if (f < 441000) lr += l * r, ll += l * l, rr += r * r;
      if (f % segment == segment - 1) {
        // Hann window; power per bin.
        std::vector<double> w(block);
        for (int i = 0; i < segment; ++i) w[i] *= 0.5 - 0.5 * std::cos(2 * M_PI * i / segment);
        const std::vector<double> m = Magnitudes(w);
        for (std::size_t i = 0; i < m.size(); ++i) power[i] += m[i] * m[i];
      }
    });
    const double slope = colour == 0 ? 0.0 : (colour == 1 ? -3.0 : -6.0);
    auto band = [&](double centre) {
      const double lo = centre / std::pow(2.0, 1.0 / 6.0), hi = centre * std::pow(2.0, 1.0 / 6.0);
      double sum = 0.0;
      int bins = 0;
      for (std::size_t i = 1; i < power.size(); ++i) {
        const double f = i * rate / segment;
        if (f >= lo && f < hi) sum += power[i], ++bins;
      }
      return 10.0 * std::log10(sum / bins);
    };
    const double reference = band(1000.0);
    double low = 0.0, high = 0.0;
    for (int b = -17; b <= 13; ++b) {
      const double centre = 1000.0 * std::pow(2.0, b / 3.0);
      const double deviation = band(centre) - reference - slope * (b / 3.0);
      low = std::min(low, deviation), high = std::max(high, deviation);
    }
    std::printf("  %-5s deviation %+.2f .. %+.2f dB; RMS %.1f; correlation %+.4f\n",
                colour == 0 ? "white" : (colour == 1 ? "pink" : "brown"), low, high, std::sqrt(square / count),
                lr / std::sqrt(ll * rr));
  }
}

int AliasOfFile(const char* path, double frequency) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path, sf_strerror(nullptr));
    return 1;
  }
  std::vector<double> all(static_cast<std::size_t>(info.frames) * info.channels);
  sf_readf_double(file, all.data(), info.frames);
  sf_close(file);
  const long long k = std::llround(frequency * kWindow / info.samplerate);
  if (info.frames < kWindow + 4096) {
    std::fprintf(stderr, "%s: too short\n", path);
    return 1;
  }
  std::vector<double> x(kWindow);
  for (int i = 0; i < kWindow; ++i) x[i] = all[static_cast<std::size_t>(4096 + i) * info.channels];
  std::printf("%.1f\n", AliasLevel(x, k, info.samplerate));
  return 0;
}

}  // namespace
}  // namespace korvel

int main(int argc, char** argv) {
  using namespace korvel;
  if (argc == 4 && std::string(argv[1]) == "alias") return AliasOfFile(argv[2], std::atof(argv[3]));
  AliasFigures();
  SineFigures();
  FmFigures();
  EnvelopeFigures();
  FollowerFigures();
  LfoFigures();
  NoiseFigures();
  return 0;
}
