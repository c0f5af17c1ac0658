// Sample-rate conversion for korvel render (--rate, --engine-rate), through
// libsoxr at its very-high quality (linear phase, 28-bit precision).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/korvel/audio.h"

namespace korvel::cli {

// A stream of interleaved frames from one rate to another. Its output is
// aligned with its input (the filter's delay is taken out) and, once
// finished, exactly round(input frames × to / from) frames long.
class Resampler {
 public:
  // Null, with `error` set, when the conversion cannot be made.
  static std::unique_ptr<Resampler> Create(double from, double to, int channels, std::string& error);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Converts `frames` frames and appends what is ready to `out`.
  void Process(const float* in, std::int64_t frames, std::vector<float>& out);
  // The input has ended: appends the rest, to the exact length.
  void Finish(std::vector<float>& out);

 private:
  Resampler() = default;
  void Run(const float* in, std::int64_t frames, std::vector<float>& out);

  struct Soxr;
  Soxr* soxr_ = nullptr;
  double ratio_ = 1.0;
  int channels_ = 0;
  std::int64_t taken_ = 0, given_ = 0;  // frames in and out so far
};

// A source read at another rate: the frames of `source` converted to `rate`.
std::unique_ptr<AudioSource> ResampledSource(std::unique_ptr<AudioSource> source, int rate, std::string& error);

}  // namespace korvel::cli
