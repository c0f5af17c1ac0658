#include "engine/oversampling.h"

#include <cmath>
#include <cstring>
#include <string>

#include "engine/oversampling_filters.h"

namespace korvel {
namespace {

struct Halfband {
  const double* c;  // taps at distances 1, 3, 5 ... from the centre
  int k;
};
constexpr Halfband kHalfbands[Oversampler::kStages] = {
    {halfband::kStage1, static_cast<int>(std::size(halfband::kStage1))},
    {halfband::kStage2, static_cast<int>(std::size(halfband::kStage2))},
    {halfband::kStage3, static_cast<int>(std::size(halfband::kStage3))},
    {halfband::kStage4, static_cast<int>(std::size(halfband::kStage4))},
};

int StagesOf(int factor) {
  int stages = 0;
  while ((1 << stages) < factor) ++stages;
  return stages;
}

// Running frames of delay before the padding: each stage j (1 = the
// lowest) delays by 2K - 1 of its upper rate's frames going up and 2K - 2
// coming down, one such frame being factor / 2^j running frames.
int CascadeDelay(int factor) {
  int delay = 0;
  for (int j = 1; j <= StagesOf(factor); ++j) delay += (4 * kHalfbands[j - 1].k - 3) * (factor >> j);
  return delay;
}

int PadOf(int factor) { return (factor - CascadeDelay(factor) % factor) % factor; }

// Both channels of a frame side by side in one register, as they lie in a
// block: every operation below advances the two channels at once.
using ChannelPair = double __attribute__((vector_size(16)));

inline ChannelPair Load(const double* at) {
  ChannelPair v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

inline void Store(double* at, ChannelPair v) { std::memcpy(at, &v, sizeof v); }

// The sum over i of c[i] · (a(i) + b(i)) for the K taps of one output, in
// four partial sums (taps i, i + 4, i + 8 ... in each) so that the additions
// do not all wait on one another; the same order on every platform. K is
// known when compiled, so short filters unroll whole and the sums stay in
// registers.
template <int K, class A, class B>
inline ChannelPair TapSum(const double* c, A a, B b) {
  ChannelPair s0 = {}, s1 = {}, s2 = {}, s3 = {};
  int i = 0;
  for (; i + 4 <= K; i += 4) {
    s0 += c[i] * (Load(a(i)) + Load(b(i)));
    s1 += c[i + 1] * (Load(a(i + 1)) + Load(b(i + 1)));
    s2 += c[i + 2] * (Load(a(i + 2)) + Load(b(i + 2)));
    s3 += c[i + 3] * (Load(a(i + 3)) + Load(b(i + 3)));
  }
  if constexpr (K % 4 > 0) s0 += c[i] * (Load(a(i)) + Load(b(i)));
  if constexpr (K % 4 > 1) s1 += c[i + 1] * (Load(a(i + 1)) + Load(b(i + 1)));
  if constexpr (K % 4 > 2) s2 += c[i + 2] * (Load(a(i + 2)) + Load(b(i + 2)));
  return (s0 + s1) + (s2 + s3);
}

// One stage up: n stereo frames of `in` become 2n in `out`. Output 2m is
// interpolated, 2m + 1 is input m - K + 1; `history` holds the 2K - 1
// frames before `in`. The interpolation doubles the taps (the zeros stuffed
// between the inputs halve the level).
template <int K>
void UpStage(const double* c, double* history, const double* in, int n, double* out, double* work) {
  constexpr int h = 2 * K - 1;
  std::memcpy(work, history, sizeof(double) * 2 * h);
  std::memcpy(work + 2 * h, in, sizeof(double) * 2 * n);
  for (int m = 0; m < n; ++m) {
    const double* x = work + 2 * (h + m);  // input m; input m - t at x - 2t
    const ChannelPair sum =
        TapSum<K>(c, [x](int i) { return x - 2 * (K - 1 - i); }, [x](int i) { return x - 2 * (K + i); });
    Store(out + 4 * m, 2.0 * sum);
    Store(out + 4 * m + 2, Load(x - 2 * (K - 1)));
  }
  std::memcpy(history, work + 2 * n, sizeof(double) * 2 * h);
}

// One stage down: 2n stereo frames of `in` become n in `out`, output m
// filtered from inputs up to 2m + 1; `history` holds the 4K - 3 frames
// before `in`.
template <int K>
void DownStage(const double* c, double* history, const double* in, int n, double* out, double* work) {
  constexpr int h = 4 * K - 3;
  std::memcpy(work, history, sizeof(double) * 2 * h);
  std::memcpy(work + 2 * h, in, sizeof(double) * 4 * n);
  for (int m = 0; m < n; ++m) {
    const double* x = work + 2 * (h + 2 * m + 1);  // input 2m + 1; input 2m + 1 - t at x - 2t
    const ChannelPair sum = TapSum<K>(
        c, [x](int i) { return x - 2 * (2 * K - 2 - 2 * i); }, [x](int i) { return x - 2 * (2 * K + 2 * i); });
    Store(out + 2 * m, 0.5 * Load(x - 2 * (2 * K - 1)) + sum);
  }
  std::memcpy(history, work + 4 * n, sizeof(double) * 2 * h);
}

using StageFunction = void (*)(const double*, double*, const double*, int, double*, double*);
template <const auto& C>
constexpr StageFunction kUp = &UpStage<static_cast<int>(std::size(C))>;
template <const auto& C>
constexpr StageFunction kDown = &DownStage<static_cast<int>(std::size(C))>;
constexpr StageFunction kUpStages[Oversampler::kStages] = {kUp<halfband::kStage1>, kUp<halfband::kStage2>,
                                                           kUp<halfband::kStage3>, kUp<halfband::kStage4>};
constexpr StageFunction kDownStages[Oversampler::kStages] = {kDown<halfband::kStage1>, kDown<halfband::kStage2>,
                                                             kDown<halfband::kStage3>, kDown<halfband::kStage4>};

}  // namespace

bool IsOversamplingFactor(double value) {
  for (int f : kOversamplingFactors)
    if (value == f) return true;
  return false;
}

// Nearest on a log scale: below the geometric mean of two neighbours, the
// lower one (no maths library, so 32-bit code stays in SSE2).
int NearestOversamplingFactor(double value) {
  constexpr double kBetween[] = {1.4142135623730951, 2.8284271247461903, 5.6568542494923806, 11.313708498984761};
  int nearest = 0;
  while (nearest < 4 && value >= kBetween[nearest]) ++nearest;
  return kOversamplingFactors[nearest];  // NaN compares false: 1
}

std::string OversamplingRefusal(double value) {
  return "must be 1, 2, 4, 8 or 16 (the nearest is " + std::to_string(NearestOversamplingFactor(value)) + ")";
}

std::uint32_t OversamplingLatency(int factor) {
  if (factor <= 1) return 0;
  return static_cast<std::uint32_t>((CascadeDelay(factor) + PadOf(factor)) / factor);
}

void Oversampler::Reset(int factor) {
  factor_ = factor < 1 ? 1 : factor;
  stages_ = StagesOf(factor_);
  pad_ = factor_ > 1 ? PadOf(factor_) : 0;
  std::memset(up_history_, 0, sizeof up_history_);
  std::memset(down_history_, 0, sizeof down_history_);
  std::memset(pad_history_, 0, sizeof pad_history_);
  sidechain_running_ = false;
}

void Oversampler::Raise(const double* in, int frames, double (*history)[2 * kMaxHistory], double* to) {
  const double* from = in;
  int n = frames;
  for (int j = 0; j < stages_; ++j) {
    double* stage_out = j + 1 == stages_ ? to : (j % 2 == 0 ? pass_a_ : pass_b_);
    kUpStages[j](kHalfbands[j].c, history[j], from, n, stage_out, work_);
    from = stage_out;
    n *= 2;
  }
}

void Oversampler::Up(const double* in, int frames) { Raise(in, frames, up_history_, running_input_); }

void Oversampler::UpSidechain(const double* left, const double* right, int frames) {
  if (!sidechain_running_) std::memset(sidechain_history_, 0, sizeof sidechain_history_);
  sidechain_running_ = true;
  for (int f = 0; f < frames; ++f) {
    sidechain_pair_[2 * f] = left[2 * f];
    sidechain_pair_[2 * f + 1] = right[2 * f];
  }
  // Raised as one stereo signal into the left buffer, then each channel
  // spread over both values of its own buffer.
  Raise(sidechain_pair_, frames, sidechain_history_, running_sidechain_[0]);
  const int n = frames * factor_;
  for (int f = 0; f < n; ++f) {
    const double l = running_sidechain_[0][2 * f], r = running_sidechain_[0][2 * f + 1];
    running_sidechain_[0][2 * f + 1] = l;
    running_sidechain_[1][2 * f] = running_sidechain_[1][2 * f + 1] = r;
  }
}

void Oversampler::Down(const double* running, int frames, double* out) {
  int n = frames * factor_;
  if (running == nullptr) {
    std::memset(running_output_, 0, sizeof(double) * 2 * n);
    running = running_output_;
  }
  // The padding: a plain delay of pad_ running frames.
  std::memcpy(work_, pad_history_, sizeof(double) * 2 * pad_);
  std::memcpy(work_ + 2 * pad_, running, sizeof(double) * 2 * n);
  std::memcpy(pass_a_, work_, sizeof(double) * 2 * n);
  std::memcpy(pad_history_, work_ + 2 * n, sizeof(double) * 2 * pad_);
  const double* from = pass_a_;
  for (int j = stages_ - 1; j >= 0; --j) {
    n /= 2;
    double* to = j == 0 ? out : (from == pass_a_ ? pass_b_ : pass_a_);
    kDownStages[j](kHalfbands[j].c, down_history_[j], from, n, to, work_);
    from = to;
  }
}

}  // namespace korvel
