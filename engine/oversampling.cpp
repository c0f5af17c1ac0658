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

// One stage up: n stereo frames of `in` become 2n in `out`. Output 2m is
// interpolated, 2m + 1 is input m - K + 1; `history` holds the 2K - 1
// frames before `in`.
void UpStage(const Halfband& f, double* history, const double* in, int n, double* out, double* work) {
  const int h = 2 * f.k - 1;
  std::memcpy(work, history, sizeof(double) * 2 * h);
  std::memcpy(work + 2 * h, in, sizeof(double) * 2 * n);
  for (int m = 0; m < n; ++m) {
    const double* x = work + 2 * (h + m);  // input m; input m - t at x - 2t
    double s0 = 0.0, s1 = 0.0;
    for (int i = 0; i < f.k; ++i) {
      const double* a = x - 2 * (f.k - 1 - i);
      const double* b = x - 2 * (f.k + i);
      s0 += 2.0 * f.c[i] * (a[0] + b[0]);
      s1 += 2.0 * f.c[i] * (a[1] + b[1]);
    }
    const double* centre = x - 2 * (f.k - 1);
    out[4 * m] = s0;
    out[4 * m + 1] = s1;
    out[4 * m + 2] = centre[0];
    out[4 * m + 3] = centre[1];
  }
  std::memcpy(history, work + 2 * n, sizeof(double) * 2 * h);
}

// One stage down: 2n stereo frames of `in` become n in `out`, output m
// filtered from inputs up to 2m + 1; `history` holds the 4K - 3 frames
// before `in`.
void DownStage(const Halfband& f, double* history, const double* in, int n, double* out, double* work) {
  const int h = 4 * f.k - 3;
  std::memcpy(work, history, sizeof(double) * 2 * h);
  std::memcpy(work + 2 * h, in, sizeof(double) * 4 * n);
  for (int m = 0; m < n; ++m) {
    const double* x = work + 2 * (h + 2 * m + 1);  // input 2m + 1; input 2m + 1 - t at x - 2t
    const double* centre = x - 2 * (2 * f.k - 1);
    double s0 = 0.5 * centre[0], s1 = 0.5 * centre[1];
    for (int i = 0; i < f.k; ++i) {
      const double* a = x - 2 * (2 * f.k - 2 - 2 * i);
      const double* b = x - 2 * (2 * f.k + 2 * i);
      s0 += f.c[i] * (a[0] + b[0]);
      s1 += f.c[i] * (a[1] + b[1]);
    }
    out[2 * m] = s0;
    out[2 * m + 1] = s1;
  }
  std::memcpy(history, work + 4 * n, sizeof(double) * 2 * h);
}

}  // namespace

bool IsOversamplingFactor(double value) {
  for (int f : kOversamplingFactors)
    if (value == f) return true;
  return false;
}

int NearestOversamplingFactor(double value) {
  if (!(value > 1.0)) return 1;  // below 1, and NaN
  if (value >= kMaxOversampling) return kMaxOversampling;
  int nearest = 1;
  for (int f : kOversamplingFactors)
    if (std::fabs(std::log2(value) - std::log2(f)) < std::fabs(std::log2(value) - std::log2(nearest))) nearest = f;
  return nearest;
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
}

void Oversampler::Up(const double* in, int frames) {
  const double* from = in;
  int n = frames;
  for (int j = 0; j < stages_; ++j) {
    double* to = j + 1 == stages_ ? running_input_ : (j % 2 == 0 ? pass_a_ : pass_b_);
    UpStage(kHalfbands[j], up_history_[j], from, n, to, work_);
    from = to;
    n *= 2;
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
    DownStage(kHalfbands[j], down_history_[j], from, n, to, work_);
    from = to;
  }
}

}  // namespace korvel
