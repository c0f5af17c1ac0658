#include "tools/korvel/resample.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace korvel::cli {

struct Resampler::Soxr {
  soxr_t handle;
};

std::unique_ptr<Resampler> Resampler::Create(double from, double to, int channels, std::string& error) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t failure = nullptr;
  soxr_t handle = soxr_create(from, to, static_cast<unsigned>(channels), &failure, &io, &quality, &runtime);
  if (handle == nullptr || failure != nullptr) {
    error = "cannot convert " + std::to_string(std::lround(from)) + " Hz to " + std::to_string(std::lround(to)) +
            " Hz: " + soxr_strerror(failure);
    if (handle != nullptr) soxr_delete(handle);
    return nullptr;
  }
  std::unique_ptr<Resampler> r(new Resampler());
  r->soxr_ = new Soxr{handle};
  r->ratio_ = to / from;
  r->channels_ = channels;
  return r;
}

Resampler::~Resampler() {
  if (soxr_ != nullptr) soxr_delete(soxr_->handle);
  delete soxr_;
}

void Resampler::Run(const float* in, std::int64_t frames, std::vector<float>& out) {
  // Room for what this input can give, plus the filter's store when flushing.
  std::size_t used = 0;
  for (;;) {
    const std::size_t room = static_cast<std::size_t>(frames * ratio_) + 4096;
    const std::size_t at = out.size();
    out.resize(at + room * channels_);
    std::size_t took = 0, gave = 0;
    soxr_process(soxr_->handle, in == nullptr ? nullptr : in + used * channels_,
                 in == nullptr ? 0 : static_cast<std::size_t>(frames) - used, &took, out.data() + at, room, &gave);
    out.resize(at + gave * channels_);
    used += took;
    given_ += static_cast<std::int64_t>(gave);
    // Input: until all is taken. End of input: until nothing more comes.
    if (in != nullptr ? used >= static_cast<std::size_t>(frames) && gave < room : gave == 0) break;
  }
  taken_ += in == nullptr ? 0 : frames;
}

void Resampler::Process(const float* in, std::int64_t frames, std::vector<float>& out) {
  if (frames > 0) Run(in, frames, out);
}

void Resampler::Finish(std::vector<float>& out) {
  const std::int64_t before = given_;
  Run(nullptr, 0, out);
  // The exact length: the converter's last frames may be one more or fewer.
  const auto want = static_cast<std::int64_t>(std::llround(static_cast<double>(taken_) * ratio_));
  const std::int64_t have = given_;
  if (have > want) {
    const std::int64_t drop = std::min(have - want, have - before);
    out.resize(out.size() - static_cast<std::size_t>(drop) * channels_);
    given_ -= drop;
  } else if (have < want) {
    out.resize(out.size() + static_cast<std::size_t>(want - have) * channels_, 0.0f);
    given_ = want;
  }
}

namespace {

// Reads the source in pieces and hands out converted frames as they come.
class ConvertedSource final : public AudioSource {
 public:
  ConvertedSource(std::unique_ptr<AudioSource> source, std::unique_ptr<Resampler> resampler, int rate)
      : source_(std::move(source)), resampler_(std::move(resampler)) {
    const double ratio = static_cast<double>(rate) / source_->rate();
    rate_ = rate;
    channels_ = source_->channels();
    length_hint_ = source_->length_hint() < 0 ? -1 : std::llround(source_->length_hint() * ratio);
  }

  std::int64_t Read(float* frames, std::int64_t wanted) override {
    while (ready_.size() - start_ < static_cast<std::size_t>(wanted * channels_) && !finished_) {
      if (start_ > 0) {
        ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
      }
      piece_.resize(static_cast<std::size_t>(kPiece * channels_));
      const std::int64_t got = source_->Read(piece_.data(), kPiece);
      if (got < 0) {
        error_ = source_->error();
        return -1;
      }
      if (got == 0) {
        resampler_->Finish(ready_);
        finished_ = true;
      } else {
        resampler_->Process(piece_.data(), got, ready_);
      }
    }
    const std::int64_t n = std::min<std::int64_t>(wanted, static_cast<std::int64_t>((ready_.size() - start_) / channels_));
    std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(start_), n * channels_, frames);
    start_ += static_cast<std::size_t>(n * channels_);
    return n;
  }

 private:
  static constexpr std::int64_t kPiece = 8192;
  std::unique_ptr<AudioSource> source_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<float> piece_, ready_;
  std::size_t start_ = 0;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<AudioSource> ResampledSource(std::unique_ptr<AudioSource> source, int rate, std::string& error) {
  auto resampler = Resampler::Create(source->rate(), rate, source->channels(), error);
  if (!resampler) return nullptr;
  return std::make_unique<ConvertedSource>(std::move(source), std::move(resampler), rate);
}

}  // namespace korvel::cli
