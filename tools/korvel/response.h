// A module's response as a host hears it: an impulse rendered through the
// plug-in's audio port, and its spectrum.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvel::pluginhost {
class Library;
class Module;
}  // namespace korvel::pluginhost

namespace korvel::cli {

// One host parameter to set before measuring: a number 1..25 or a name the
// module gives it, and a value 0..1.
struct ParameterSetting {
  std::string parameter;
  double value = 0;
};

// "P=V"; false with `error` set when it is not of that form.
bool ParseParameterSetting(const std::string& text, ParameterSetting& setting, std::string& error);
// Sets each in turn; false with `error` naming the first that fits no
// parameter of the module.
bool ApplyParameterSettings(pluginhost::Module& module, const std::vector<ParameterSetting>& settings,
                            std::string& error);

struct ImpulseResponse {
  std::vector<double> channel[2];  // output / impulse height, per frame
};

struct MeasureRequest {
  std::string image;  // the module file's bytes
  std::string folder;  // the module file's folder, for the sound files it names
  std::vector<ParameterSetting> settings;
  double level_dbfs = -6.0;  // the impulse's height; 0 dBFS is file full scale
};

// Renders an impulse of the requested height through a fresh module, on
// both channels at once, until the output has been silent for longer than
// a delay line can hold a sound (or for at most kMaxResponseFrames), and
// keeps the response up to its last sound. False with `error` set when the
// plug-in fails.
bool MeasureImpulse(pluginhost::Library& library, const MeasureRequest& request, ImpulseResponse& response,
                    std::string& error);
inline constexpr int kMaxResponseFrames = 1 << 20;

struct Spectrum {
  double bin_hz = 0;  // frequency step between bins
  std::vector<double> magnitude_db[2];  // bins 0 .. size/2
  std::vector<double> phase_deg[2];     // unwrapped from 0 Hz up
};

// FFT of the response, zero-padded to a power of two of at least
// `min_size` frames.
Spectrum SpectrumOf(const ImpulseResponse& response, double rate, std::size_t min_size);
inline constexpr int kMinSpectrumSize = 1 << 16;

// Largest level difference (dB) between two responses' magnitudes from 20
// Hz to 20 kHz, where the louder one is within 60 dB of its peak: how far
// a module departs from linear between two test levels.
double LargestDifferenceDb(const Spectrum& a, const Spectrum& b);

}  // namespace korvel::cli
