// Audio for the command-line host: sources (files, standard input, the
// built-in test signal) read block by block, outputs written block by
// block in whatever type libsndfile writes (or a WAV stream on standard
// output), and the measurements behind a render's summary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_io.h"

namespace korvel::cli {

// File full scale 1.0 is 32768.0 on the engine's scale, both ways: a power
// of two, so scaling never changes a mantissa.
inline constexpr double kEngineScale = 32768.0;
inline constexpr int kEngineRate = 44100;
inline constexpr double kTestSignalSeconds = 4.0;

// Frames of channels() values, interleaved, in file scale. Memory does not
// grow with the length.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  // Up to `frames` frames into `samples`: 0 at the end, -1 on a read error.
  virtual std::int64_t Read(float* samples, std::int64_t frames) = 0;
  int rate() const { return rate_; }
  int channels() const { return channels_; }
  // The length the source announces, or -1 (a pipe): used for the progress
  // line only, never trusted for memory.
  std::int64_t length_hint() const { return length_hint_; }
  const std::string& error() const { return error_; }

 protected:
  int rate_ = kEngineRate;
  int channels_ = 2;
  std::int64_t length_hint_ = -1;
  std::string error_;
};

// A file of 1 to kMaxChannels channels, or standard input for "-" (any type
// libsndfile reads, also through a pipe), opened through the one reader
// (engine/file_io.h). Null with `error` set.
inline constexpr int kMaxChannels = 64;
std::unique_ptr<AudioSource> OpenAudioFile(const std::string& path, std::string& error);
// The built-in signal: plucked tones and a noise burst, the same on every run.
std::unique_ptr<AudioSource> OpenTestSignal();

enum class SampleFormat { kDefault, kF32, kF64, kPcm16, kPcm24 };
std::optional<SampleFormat> ParseSampleFormat(const std::string& name);

// How 16-bit output is dithered: not at all, flat TPDF of ±1 LSB, or TPDF
// whose noise is shaped away from where hearing is keenest.
enum class Dither { kNone, kTpdf, kShaped };
std::optional<Dither> ParseDither(const std::string& name);

// A file type by its name or extension ("wav", "flac", "aiff", "ogg", ...,
// whatever this libsndfile writes): libsndfile's major format, or nothing.
std::optional<int> FileTypeByName(const std::string& name);
// The names FileTypeByName knows, for messages: "wav, aiff, flac, ...".
std::string FileTypeNames();

struct OutputType {
  int major = 0;    // libsndfile major format
  int subtype = 0;  // libsndfile subtype
  std::string Describe() const;  // "WAV, 32-bit float"
};
// The subtype for `format` in `major` (kDefault: floating point where the
// type holds it, else the widest integer). Nothing, with `error` set, when
// the type cannot hold it.
std::optional<OutputType> ChooseOutputType(int major, SampleFormat format, int channels, int rate,
                                           std::string& error);

class AudioOutput {
 public:
  // Writes through libsndfile into `file` (which must outlive the output;
  // its owner commits it after Close), or, when `file` is null, a WAV
  // stream that needs no seeking to standard output. 16-bit output is
  // dithered as `dither` says, except for samples already on the 16-bit
  // grid, which are written as they are; every integer format rounds to
  // nearest.
  static std::unique_ptr<AudioOutput> Open(OutputFile* file, const OutputType& type, int channels, int rate,
                                           Dither dither, std::string& error);
  virtual ~AudioOutput() = default;
  // Frames of `channels` interleaved values in file scale, all finite.
  virtual bool Write(const float* samples, std::int64_t frames) = 0;
  virtual bool Close() = 0;
  const std::string& error() const { return error_; }
  // Integer formats clip at full scale; floating-point ones keep the value.
  bool clips() const { return clips_; }
  // Values clipped (integer formats) or beyond full scale (floating point).
  std::int64_t over_full_scale(int channel) const { return over_[channel]; }

 protected:
  std::string error_;
  bool clips_ = false;
  std::vector<std::int64_t> over_;
};

// Peak and RMS per channel, accumulated block by block.
class LevelMeter {
 public:
  explicit LevelMeter(int channels) : channels_(channels) {}
  void Add(const float* samples, std::int64_t frames);
  double PeakDb(int channel) const;
  double RmsDb(int channel) const;
  std::int64_t frames() const { return frames_; }

 private:
  int channels_;
  std::vector<double> peak_ = std::vector<double>(channels_, 0.0);
  std::vector<double> sum_squares_ = std::vector<double>(channels_, 0.0);
  std::int64_t frames_ = 0;
};

// Integrated loudness (EBU R128) and true peak through libebur128, on a
// thread of its own fed through a short queue, so the render does not wait
// for it and memory stays bounded.
class LoudnessMeter {
 public:
  LoudnessMeter(int channels, int rate);
  ~LoudnessMeter();
  LoudnessMeter(const LoudnessMeter&) = delete;
  LoudnessMeter& operator=(const LoudnessMeter&) = delete;
  void Add(const float* samples, std::int64_t frames);
  // Waits for the analysis. False when it could not be made.
  bool Finish(double& lufs, double& true_peak_db);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvel::cli
