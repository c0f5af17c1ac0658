// A module's response as a host hears it: an impulse rendered through the
// plug-in's audio port, and its spectrum.
#pragma once

#include <cmath>
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
  double level_dbfs = -6.0;  // the impulse's (or tone's) height; 0 dBFS is file full scale
  // Silence longer than this means nothing more is on its way: a delay
  // line can hold a sound for its length, a module without one for no time
  // at all (its filters only decay).
  std::size_t longest_echo = 0;
};

// Renders an impulse of the requested height through a fresh module, on
// both channels at once, until the output has been silent for longer than
// `longest_echo` (or for at most kMaxResponseFrames), and keeps the
// response up to its last sound, the module's latency taken out as a host
// would. False with `error` set when the plug-in fails.
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

// What a sine makes of itself through the module: the spectrum of the
// output relative to the tone, and the loudest component below 20 kHz that
// is neither the tone nor one of its harmonics (an alias: a harmonic above
// half the sample rate folded back).
struct AliasMeasurement {
  double tone_hz = 0;   // the asked frequency, moved onto an FFT bin
  Spectrum spectrum;    // magnitude in dB relative to the tone
  double loudest_db = -INFINITY;
  double loudest_hz = 0;
  int loudest_channel = 0;
};
// A sine of `hz` at the request's level on both channels, rendered until
// the module has settled, then kAliasFrames frames analysed whole (the
// tone falls on a bin, so no window is needed).
bool MeasureAliases(pluginhost::Library& library, const MeasureRequest& request, double hz,
                    AliasMeasurement& measurement, std::string& error);
inline constexpr int kAliasFrames = 1 << 16;

// Largest level difference (dB) between two responses' magnitudes from 20
// Hz to 20 kHz, where the louder one is within 60 dB of its peak: how far
// a module departs from linear between two test levels.
double LargestDifferenceDb(const Spectrum& a, const Spectrum& b);

}  // namespace korvel::cli
