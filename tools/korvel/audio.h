// Audio for the command-line host: files through libsndfile, the built-in
// test signal, and the level summary of a render.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::cli {

// File full scale 1.0 is 32768.0 on the engine's scale, both ways: a power
// of two, so scaling never changes a mantissa.
inline constexpr double kEngineScale = 32768.0;
inline constexpr int kEngineRate = 44100;

// Stereo audio in file scale, interleaved.
struct StereoAudio {
  int rate = kEngineRate;
  std::vector<float> samples;  // 2 per frame
  std::int64_t frames() const { return static_cast<std::int64_t>(samples.size() / 2); }
};

enum class OutputFormat { kF32, kF64, kPcm16, kPcm24 };
std::optional<OutputFormat> ParseOutputFormat(const std::string& name);

// Reads a mono or stereo file (mono feeds both channels). On failure
// answers nothing and sets `error` to a line naming the file.
std::optional<StereoAudio> ReadAudioFile(const std::string& path, std::string& error);

// Writes incrementally; construction opens the file.
class AudioWriter {
 public:
  AudioWriter(const std::string& path, int rate, OutputFormat format);
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }
  // Writes frames of interleaved stereo in file scale.
  bool Write(const double* samples, std::int64_t frames);
  bool Close();

 private:
  void* file_ = nullptr;
  std::string error_;
};

// The built-in signal: plucked tones and a noise burst, the same on every run.
StereoAudio MakeTestSignal();
inline constexpr double kTestSignalSeconds = 4.0;

// Peak and RMS per channel, accumulated block by block.
class LevelMeter {
 public:
  void Add(const double* samples, std::int64_t frames);
  double PeakDb(int channel) const;
  double RmsDb(int channel) const;
  std::int64_t frames() const { return frames_; }

 private:
  double peak_[2] = {0, 0};
  double sum_squares_[2] = {0, 0};
  std::int64_t frames_ = 0;
};

}  // namespace korvel::cli
