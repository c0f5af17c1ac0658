#include "tools/korvel/audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace korvel::cli {

std::optional<OutputFormat> ParseOutputFormat(const std::string& name) {
  if (name == "f32") return OutputFormat::kF32;
  if (name == "f64") return OutputFormat::kF64;
  if (name == "pcm16") return OutputFormat::kPcm16;
  if (name == "pcm24") return OutputFormat::kPcm24;
  return std::nullopt;
}

std::optional<StereoAudio> ReadAudioFile(const std::string& path, std::string& error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return std::nullopt;
  }
  if (info.channels < 1 || info.channels > 2) {
    error = "'" + path + "' has " + std::to_string(info.channels) + " channels; mono or stereo only";
    sf_close(file);
    return std::nullopt;
  }
  std::vector<float> raw(static_cast<std::size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_float(file, raw.data(), info.frames);
  sf_close(file);
  StereoAudio audio;
  audio.rate = info.samplerate;
  audio.samples.resize(static_cast<std::size_t>(got) * 2);
  for (sf_count_t f = 0; f < got; ++f) {
    const float left = raw[f * info.channels];
    const float right = info.channels == 2 ? raw[f * 2 + 1] : left;
    audio.samples[2 * f] = left;
    audio.samples[2 * f + 1] = right;
  }
  return audio;
}

AudioWriter::AudioWriter(const std::string& path, int rate, OutputFormat format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 2;
  int subtype = SF_FORMAT_FLOAT;
  switch (format) {
    case OutputFormat::kF32: subtype = SF_FORMAT_FLOAT; break;
    case OutputFormat::kF64: subtype = SF_FORMAT_DOUBLE; break;
    case OutputFormat::kPcm16: subtype = SF_FORMAT_PCM_16; break;
    case OutputFormat::kPcm24: subtype = SF_FORMAT_PCM_24; break;
  }
  info.format = SF_FORMAT_WAV | subtype;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error_ = "cannot write '" + path + "': " + sf_strerror(nullptr);
    return;
  }
  // Integer formats clip at full scale rather than wrap around.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  file_ = file;
}

AudioWriter::~AudioWriter() { Close(); }

bool AudioWriter::Write(const double* samples, std::int64_t frames) {
  if (file_ == nullptr) return false;
  auto* file = static_cast<SNDFILE*>(file_);
  if (sf_writef_double(file, samples, frames) != frames) {
    error_ = sf_strerror(file);
    return false;
  }
  return true;
}

bool AudioWriter::Close() {
  if (file_ == nullptr) return true;
  const int rc = sf_close(static_cast<SNDFILE*>(file_));
  file_ = nullptr;
  return rc == 0;
}

namespace {

// A fixed generator (not std::uniform_*, whose output varies by library)
// keeps the signal identical everywhere.
class Noise {
 public:
  float Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(static_cast<std::int32_t>(state_ >> 32)) / 2147483648.0f;
  }

 private:
  std::uint64_t state_ = 0x4B6F7276656CULL;
};

// A plucked string: a burst of noise circulating through a delay line whose
// averaging loses high partials, so the tone dies away like a string's.
void Pluck(std::vector<float>& out, int left_percent, int start, double frequency, Noise& noise) {
  const int period = static_cast<int>(kEngineRate / frequency);
  std::vector<float> line(period);
  for (float& v : line) v = noise.Next();
  const int length = kEngineRate * 3 / 2;
  const float pan_left = left_percent / 100.0f;
  const float pan_right = 1.0f - pan_left;
  for (int i = 0, pos = 0; i < length; ++i) {
    const int frame = start + i;
    if (2 * frame + 1 >= static_cast<int>(out.size())) break;
    const int next = (pos + 1) % period;
    const float sample = line[pos];
    line[pos] = 0.4985f * (line[pos] + line[next]);
    pos = next;
    out[2 * frame] += 0.45f * pan_left * sample;
    out[2 * frame + 1] += 0.45f * pan_right * sample;
  }
}

}  // namespace

StereoAudio MakeTestSignal() {
  StereoAudio audio;
  const int frames = static_cast<int>(kTestSignalSeconds * kEngineRate);
  audio.samples.assign(2 * static_cast<std::size_t>(frames), 0.0f);
  Noise noise;
  struct Note {
    double at_seconds, frequency;
    int left_percent;
  };
  const Note notes[] = {{0.00, 220.00, 60}, {0.40, 329.63, 40}, {0.80, 440.00, 55},
                        {1.20, 261.63, 45}, {1.60, 392.00, 65}, {2.00, 110.00, 50}};
  for (const Note& n : notes) Pluck(audio.samples, n.left_percent, static_cast<int>(n.at_seconds * kEngineRate), n.frequency, noise);
  // A quarter-second noise burst with a falling envelope at 3 s.
  const int burst_start = 3 * kEngineRate, burst_length = kEngineRate / 4;
  for (int i = 0; i < burst_length; ++i) {
    const float envelope = 0.3f * (1.0f - static_cast<float>(i) / burst_length);
    audio.samples[2 * (burst_start + i)] += envelope * noise.Next();
    audio.samples[2 * (burst_start + i) + 1] += envelope * noise.Next();
  }
  return audio;
}

void LevelMeter::Add(const double* samples, std::int64_t frames) {
  for (std::int64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < 2; ++c) {
      const double v = samples[2 * f + c];
      peak_[c] = std::max(peak_[c], std::fabs(v));
      sum_squares_[c] += v * v;
    }
  }
  frames_ += frames;
}

static double ToDb(double level) { return level > 0.0 ? 20.0 * std::log10(level) : -INFINITY; }

double LevelMeter::PeakDb(int channel) const { return ToDb(peak_[channel]); }

double LevelMeter::RmsDb(int channel) const {
  return frames_ > 0 ? ToDb(std::sqrt(sum_squares_[channel] / static_cast<double>(frames_))) : -INFINITY;
}

}  // namespace korvel::cli
