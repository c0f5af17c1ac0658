#include "tools/korvel/response.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "engine/patch_engine.h"
#include "tools/korvel/audio.h"
#include "tools/korvel/picture.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

constexpr int kBlockFrames = 4096;
// Quieter than this fraction of the peak is silence (-140 dB, under the
// float samples' own resolution at the peak).
constexpr double kSilenceRatio = 1e-7;
constexpr double kLowestHz = 20.0;
constexpr double kHighestCompareHz = 20000.0;
constexpr double kCompareRangeDb = 60.0;
constexpr double kFloorDb = -300.0;

}  // namespace

bool ParseParameterSetting(const std::string& text, ParameterSetting& setting, std::string& error) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    error = "--set needs PARAMETER=VALUE, not '" + text + "'";
    return false;
  }
  setting.parameter = text.substr(0, equals);
  if (!ParseNumber(text.substr(equals + 1), setting.value) || setting.value < 0 || setting.value > 1) {
    error = "--set needs a value from 0 to 1, not '" + text.substr(equals + 1) + "'";
    return false;
  }
  if (std::all_of(setting.parameter.begin(), setting.parameter.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const int number = setting.parameter.size() <= 3 ? std::stoi(setting.parameter) : 0;
    if (number < 1 || number > kNamedParameterCount) {
      error = "--set: parameters are numbered 1 to " + std::to_string(kNamedParameterCount) + ", not " +
              setting.parameter;
      return false;
    }
  }
  return true;
}

bool ApplyParameterSettings(pluginhost::Module& module, const std::vector<ParameterSetting>& settings,
                            std::string& error) {
  for (const ParameterSetting& s : settings) {
    int index = -1;
    if (std::all_of(s.parameter.begin(), s.parameter.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      index = std::stoi(s.parameter) - 1;
    } else {
      for (int p = 0; p < kNamedParameterCount && index < 0; ++p)
        if (module.ParameterName(p) == s.parameter) index = p;
    }
    if (index < 0) {
      std::string names;
      for (int p = 0; p < kNamedParameterCount; ++p) {
        const std::string name = module.ParameterName(p);
        if (!name.empty()) names += (names.empty() ? "" : ", ") + name;
      }
      error = "no parameter is named '" + s.parameter + "' (" +
              (names.empty() ? std::string("the module names none; use a number 1 to 25") : "names: " + names) + ")";
      return false;
    }
    module.SetParameterValue(index, s.value);
  }
  return true;
}

namespace {

std::unique_ptr<pluginhost::Module> Prepare(pluginhost::Library& library, const MeasureRequest& request,
                                            std::string& error) {
  auto module = pluginhost::Module::Create(library);
  if (!module) {
    error = "the plug-in created no module";
    return nullptr;
  }
  module->Init();
  module->SetModuleFolder(request.folder);
  module->RestoreState(pluginhost::ChunkOf(request.image));
  if (!ApplyParameterSettings(*module, request.settings, error)) return nullptr;
  return module;
}

}  // namespace

bool MeasureImpulse(pluginhost::Library& library, const MeasureRequest& request, ImpulseResponse& response,
                    std::string& error) {
  auto module = Prepare(library, request, error);
  if (!module) return false;
  // A host lines the output up: the latency's frames are not the response.
  std::size_t latency = module->LatencyFrames();

  // The height as the host hands it over, in float; the response is divided
  // by exactly that.
  const float height = static_cast<float>(kEngineScale * std::pow(10.0, request.level_dbfs / 20.0));
  std::vector<float> block(2 * kBlockFrames);
  for (auto& c : response.channel) c.clear();
  double peak = 0;
  std::size_t last_sound = 0;
  for (std::size_t frames = 0; frames < static_cast<std::size_t>(kMaxResponseFrames);) {
    std::fill(block.begin(), block.end(), 0.0f);
    if (frames == 0) block[0] = block[1] = height;
    module->Audio(block.data(), kBlockFrames);
    const int skipped = static_cast<int>(std::min<std::size_t>(latency, kBlockFrames));
    latency -= static_cast<std::size_t>(skipped);
    for (int f = skipped; f < kBlockFrames; ++f) {
      for (int c = 0; c < 2; ++c) {
        const double v = block[2 * f + c] / static_cast<double>(height);
        response.channel[c].push_back(v);
        peak = std::max(peak, std::fabs(v));
        if (std::fabs(v) > kSilenceRatio * peak) last_sound = response.channel[c].size() - 1;
      }
    }
    frames += static_cast<std::size_t>(kBlockFrames - skipped);
    if (frames > last_sound + std::max<std::size_t>(request.longest_echo, kBlockFrames)) break;
  }
  for (auto& c : response.channel) c.resize(last_sound + 1);
  return true;
}

Spectrum SpectrumOf(const ImpulseResponse& response, double rate, std::size_t min_size) {
  std::size_t size = kMinSpectrumSize;
  while (size < min_size) size *= 2;
  while (size < response.channel[0].size()) size *= 2;
  Spectrum spectrum;
  spectrum.bin_hz = rate / static_cast<double>(size);
  const std::size_t bins = size / 2 + 1;
  double* in = fftw_alloc_real(size);
  fftw_complex* out = fftw_alloc_complex(bins);
  const fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), in, out, FFTW_ESTIMATE);
  for (int c = 0; c < 2; ++c) {
    const auto& h = response.channel[c];
    std::fill(in, in + size, 0.0);
    std::copy(h.begin(), h.end(), in);
    fftw_execute(plan);
    auto& magnitude = spectrum.magnitude_db[c];
    auto& phase = spectrum.phase_deg[c];
    magnitude.resize(bins);
    phase.resize(bins);
    double previous = 0, turns = 0;
    for (std::size_t k = 0; k < bins; ++k) {
      const double re = out[k][0], im = out[k][1];
      const double power = re * re + im * im;
      magnitude[k] = power > 0 ? std::max(10.0 * std::log10(power), kFloorDb) : kFloorDb;
      // Unwrapped: every jump of more than half a turn between neighbouring
      // bins is taken as a whole turn.
      const double wrapped = std::atan2(im, re);
      if (k > 0) turns -= std::round((wrapped - previous) / (2 * std::numbers::pi));
      previous = wrapped;
      phase[k] = (wrapped + 2 * std::numbers::pi * turns) * 180.0 / std::numbers::pi;
    }
  }
  fftw_destroy_plan(plan);
  fftw_free(out);
  fftw_free(in);
  return spectrum;
}

bool MeasureAliases(pluginhost::Library& library, const MeasureRequest& request, double hz,
                    AliasMeasurement& measurement, std::string& error) {
  auto module = Prepare(library, request, error);
  if (!module) return false;
  constexpr std::size_t kSize = kAliasFrames;
  const auto bin = static_cast<std::size_t>(std::max(1.0, std::round(hz * kSize / kEngineRate)));
  measurement.tone_hz = static_cast<double>(bin) * kEngineRate / kSize;
  // Settled: the filters' transients, the latency and a second's echoes
  // have passed before the analysed frames.
  const std::size_t settle = kSize + module->LatencyFrames();
  const double height = kEngineScale * std::pow(10.0, request.level_dbfs / 20.0);
  std::vector<float> block(2 * kBlockFrames);
  std::vector<double> kept[2];
  for (std::size_t frames = 0; frames < settle + kSize; frames += kBlockFrames) {
    for (int f = 0; f < kBlockFrames; ++f) {
      // The phase from the frame's place in one period of the analysis.
      const std::size_t turn = (frames + static_cast<std::size_t>(f)) * bin % kSize;
      block[2 * f] = block[2 * f + 1] =
          static_cast<float>(height * std::sin(2 * std::numbers::pi * static_cast<double>(turn) / kSize));
    }
    module->Audio(block.data(), kBlockFrames);
    for (int f = 0; f < kBlockFrames; ++f)
      if (frames + f >= settle && frames + f < settle + kSize)
        for (int c = 0; c < 2; ++c) kept[c].push_back(block[2 * f + c]);
  }
  ImpulseResponse as_response;
  as_response.channel[0] = std::move(kept[0]);
  as_response.channel[1] = std::move(kept[1]);
  measurement.spectrum = SpectrumOf(as_response, kEngineRate, kSize);
  const std::size_t top = static_cast<std::size_t>(20000.0 * kSize / kEngineRate);
  for (int c = 0; c < 2; ++c) {
    auto& db = measurement.spectrum.magnitude_db[c];
    const double tone = db[bin];
    for (double& v : db) v -= tone;
    for (std::size_t k = 1; k <= top; ++k) {
      if (k % bin == 0) continue;  // the tone and its harmonics below half the rate
      if (db[k] > measurement.loudest_db) {
        measurement.loudest_db = db[k];
        measurement.loudest_hz = static_cast<double>(k) * kEngineRate / kSize;
        measurement.loudest_channel = c;
      }
    }
  }
  return true;
}

double LargestDifferenceDb(const Spectrum& a, const Spectrum& b) {
  const std::size_t first = static_cast<std::size_t>(std::ceil(kLowestHz / a.bin_hz));
  const std::size_t last = std::min(a.magnitude_db[0].size(), static_cast<std::size_t>(kHighestCompareHz / a.bin_hz));
  double largest = 0;
  for (int c = 0; c < 2; ++c) {
    const auto& ma = a.magnitude_db[c];
    const auto& mb = b.magnitude_db[c];
    if (mb.size() != ma.size()) return INFINITY;
    const double peak = *std::max_element(ma.begin(), ma.end());
    for (std::size_t k = first; k < last; ++k)
      if (std::max(ma[k], mb[k]) > peak - kCompareRangeDb) largest = std::max(largest, std::fabs(ma[k] - mb[k]));
  }
  return largest;
}

}  // namespace korvel::cli
