// The Sampler's playback: its own values at its own pitch and rate, starts
// and releases at their frame, clean transposition and seamless loops.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "components/sampler.h"
#include "engine/host_timing.h"
#include "engine/type_settings.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;

constexpr double kPi = 3.14159265358979323846;

SoundRef MakeSound(double rate, int channels, const std::vector<float>& samples) {
  auto sound = std::make_shared<Sound>();
  sound->rate = rate;
  sound->channels = channels;
  sound->frames = static_cast<std::int32_t>(samples.size() / channels);
  sound->samples = samples;
  return sound;
}

SoundRef Sine(double rate, double hz, int frames, double amplitude = 0.5) {
  std::vector<float> v(frames);
  for (int k = 0; k < frames; ++k) v[k] = static_cast<float>(amplitude * std::sin(2 * kPi * hz * k / rate));
  return MakeSound(rate, 1, v);
}

// A Sampler at 44.1 kHz playing `sound` with `settings`, driven one block at
// a time; Play() gathers the output.
class SamplerRun {
 public:
  explicit SamplerRun(SoundRef sound, const nlohmann::json& settings = nlohmann::json::object())
      : c_(kSamplerType, &context_) {
    std::string error;
    nlohmann::json with_file = settings;
    with_file["file"] = "/sounds/test.wav";
    EXPECT_TRUE(kSamplerSettings.read(with_file, *c_.record, error)) << error;
    kSamplerSettings.attach(*c_.record, std::move(sound));
  }
  // Renders `frames` frames in blocks of `block`; trigger(f), frequency(f)
  // (0: unconnected) give the inputs at frame f of the whole run.
  template <class Trigger>
  std::vector<double> Play(int frames, int block, Trigger trigger, double frequency = 0.0,
                           double start = -1.0) {
    std::vector<double> out;
    for (int at = 0; at < frames; at += block) {
      const int n = std::min(block, frames - at);
      std::vector<double> gate(2 * n);
      for (int f = 0; f < n; ++f) gate[2 * f] = gate[2 * f + 1] = trigger(at + f);
      Feed in1(std::move(gate)), in2(frequency), in3(start);
      c_.Run(n, {&in1, frequency > 0.0 ? &in2 : nullptr, start >= 0.0 ? &in3 : nullptr, nullptr});
      for (int i = 0; i < 2 * n; ++i) out.push_back(c_.record->constant_flag[0] ? c_.record->constant[0] : c_.buffer()[i]);
    }
    return out;
  }

 private:
  EngineContext context_{};
  Component c_;
};

auto EdgeAt(int frame) {
  return [frame](int f) { return f >= frame ? 1.0 : 0.0; };
}

TEST(Sampler, PlaysItsOwnValuesAtItsOwnPitchAndRate) {
  StoreSampleTiming(44100.0, 100.0);
  std::vector<float> stereo(2 * 3000);
  std::uint32_t seed = 7;
  for (float& v : stereo) v = static_cast<float>(static_cast<std::int32_t>(seed = seed * 1664525u + 1013904223u)) / 2147483648.0f;
  for (int frequency : {0, 1}) {  // unconnected, and at the root frequency
    SamplerRun run(MakeSound(44100.0, 2, stereo));
    const auto out = run.Play(4000, 256, EdgeAt(300), frequency ? kSamplerDefaultRoot : 0.0);
    for (int f = 0; f < 300; ++f) ASSERT_EQ(out[2 * f], 0.0) << f;
    for (int k = 0; k < 3000; ++k) {
      ASSERT_EQ(out[2 * (300 + k)], stereo[2 * k] * kSamplerFileScale) << k;
      ASSERT_EQ(out[2 * (300 + k) + 1], stereo[2 * k + 1] * kSamplerFileScale) << k;
    }
    for (int f = 3300; f < 4000; ++f) ASSERT_EQ(out[2 * f], 0.0) << "ended at the sound's end";
  }
  // A mono sound plays alike on both channels, and starts at in3's frame.
  SamplerRun mono(MakeSound(44100.0, 1, std::vector<float>(stereo.begin(), stereo.begin() + 2000)));
  const auto out = mono.Play(1000, 64, EdgeAt(10), 0.0, 500.0);
  for (int k = 0; k < 990; ++k) {
    ASSERT_EQ(out[2 * (10 + k)], stereo[500 + k] * kSamplerFileScale) << k;
    ASSERT_EQ(out[2 * (10 + k) + 1], out[2 * (10 + k)]);
  }
}

TEST(Sampler, StartsAndReleasesAtTheirFrames) {
  StoreSampleTiming(44100.0, 100.0);
  const std::vector<float> ones(20000, 0.25f);
  // Gate: up at 70, down at 1000; the release fades over 1 ms (44 frames).
  SamplerRun gated(MakeSound(44100.0, 1, ones), {{"mode", "gate"}, {"release", 1.0}});
  const auto out = gated.Play(2000, 128, [](int f) { return f >= 70 && f < 1000 ? 1.0 : 0.0; });
  EXPECT_EQ(out[2 * 69], 0.0);
  EXPECT_EQ(out[2 * 70], 0.25 * kSamplerFileScale);
  EXPECT_EQ(out[2 * 999], 0.25 * kSamplerFileScale);
  EXPECT_LT(out[2 * 1000], out[2 * 999]) << "the release begins at the gate's fall";
  EXPECT_GT(out[2 * 1042], 0.0);
  EXPECT_EQ(out[2 * 1043], 0.0) << "and ends 44 frames on";
  for (int f = 999; f < 1043; ++f) ASSERT_LT(out[2 * (f + 1)], out[2 * f]);
  for (int f = 1043; f < 2000; ++f) ASSERT_EQ(out[2 * f], 0.0);

  // One-shot: the gate's fall changes nothing; a new edge restarts the
  // sound at its frame, a level below the threshold starts nothing, and a
  // NaN is low.
  std::vector<float> ramp(3000);
  for (int k = 0; k < 3000; ++k) ramp[k] = static_cast<float>(k) / 4096.0f;
  SamplerRun shot(MakeSound(44100.0, 1, ramp));
  const auto again = shot.Play(3000, 100, [](int f) {
    return f == 5 ? 1.0 : f >= 1500 && f < 1510 ? 0.6 : f == 2000 ? std::nan("") : f == 2400 ? 0.49 : 0.0;
  });
  EXPECT_EQ(again[2 * 5], 0.0);
  EXPECT_EQ(again[2 * 1499], ramp[1494] * kSamplerFileScale);
  // Restarted under a short fade of the old sound, which still adds.
  EXPECT_GT(again[2 * 1500], ramp[1] * kSamplerFileScale);
  EXPECT_LT(again[2 * 1500], ramp[1495] * kSamplerFileScale);
  EXPECT_EQ(again[2 * 1600], ramp[100] * kSamplerFileScale) << "the old sound has faded out";
  EXPECT_EQ(again[2 * 2500], ramp[1000] * kSamplerFileScale);
}

// The largest distance of `out` (left channel, from `from` on) from the
// best-fitting sine of frequency `hz` at 44.1 kHz, relative to that sine's
// amplitude: every alias, image and error together.
double ResidualToSine(const std::vector<double>& out, int from, int to, double hz) {
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (int f = from; f < to; ++f) {
    const double s = std::sin(2 * kPi * hz * f / 44100.0), c = std::cos(2 * kPi * hz * f / 44100.0);
    ss += s * s, sc += s * c, cc += c * c, ys += out[2 * f] * s, yc += out[2 * f] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double residual = 0;
  for (int f = from; f < to; ++f) {
    const double e = out[2 * f] - a * std::sin(2 * kPi * hz * f / 44100.0) - b * std::cos(2 * kPi * hz * f / 44100.0);
    residual = std::max(residual, std::abs(e));
  }
  return residual / std::hypot(a, b);
}

TEST(Sampler, TwoOctavesUpLeaveEveryAliasEightyDecibelsDown) {
  StoreSampleTiming(44100.0, 100.0);
  // A 1 kHz sine recorded at 44.1 and at 48 kHz, played two octaves up: a
  // 4 kHz tone and nothing else above -80 dB (1e-4).
  for (double rate : {44100.0, 48000.0}) {
    SamplerRun run(Sine(rate, 1000.0, 48000));
    const auto out = run.Play(6000, 512, EdgeAt(0), 4 * kSamplerDefaultRoot);
    EXPECT_LT(ResidualToSine(out, 1000, 5000, 4000.0), 1e-4) << rate;
  }
  // A tone near the top of the band, moved by a small interval.
  SamplerRun high(Sine(44100.0, 15000.0, 48000));
  const auto out = high.Play(6000, 512, EdgeAt(0), 1.05 * kSamplerDefaultRoot);
  EXPECT_LT(ResidualToSine(out, 1000, 5000, 15750.0), 1e-4);
}

TEST(Sampler, LoopsJoinWithoutAClick) {
  StoreSampleTiming(44100.0, 100.0);
  // 441 Hz: 100 frames a period; the loop holds 20 whole periods.
  const SoundRef sine = Sine(44100.0, 441.0, 4000);
  for (double pitch : {1.0, 1.37}) {
    SamplerRun run(sine, {{"loop", "forward"}, {"loop_start", 1000}, {"loop_end", 3000}});
    const auto out = run.Play(20000, 256, EdgeAt(0), pitch * kSamplerDefaultRoot);
    EXPECT_NE(out[2 * 19999], 0.0) << "still looping";
    EXPECT_LT(ResidualToSine(out, 500, 20000, 441.0 * pitch), 1e-4) << pitch;
  }
  // Ping-pong turns at its ends: the wave reverses there, but no step is
  // larger than the wave's own steps.
  SamplerRun ping(sine, {{"loop", "ping-pong"}, {"loop_start", 1025}, {"loop_end", 2975}});
  const auto out = ping.Play(20000, 256, EdgeAt(0));
  const double largest_step = 0.5 * kSamplerFileScale * 2 * kPi * 441.0 / 44100.0;
  for (int f = 1; f < 20000; ++f) ASSERT_LE(std::abs(out[2 * f] - out[2 * (f - 1)]), largest_step * 1.001) << f;
  EXPECT_NE(out[2 * 19999], 0.0);
}

TEST(Sampler, SettingsAreCheckedAndWrittenBack) {
  Component c(kSamplerType);
  std::string error;
  const nlohmann::json all = {{"file", "/a/b.wav"}, {"root", 440.0},  {"mode", "gate"},   {"loop", "ping-pong"},
                              {"loop_start", 10},   {"loop_end", 90}, {"release", 250.0}};
  ASSERT_TRUE(kSamplerSettings.read(all, *c.record, error)) << error;
  nlohmann::ordered_json back = nlohmann::ordered_json::object();
  kSamplerSettings.write(*c.record, back);
  EXPECT_EQ(nlohmann::json(back), all);
  for (const auto& [bad, reason] : std::vector<std::pair<nlohmann::json, const char*>>{
           {{{"root", 0.0}}, "\"root\" must be a frequency above 0 Hz"},
           {{{"mode", "legato"}}, "\"mode\" is not one of \"one-shot\" or \"gate\""},
           {{{"loop", 1}}, "\"loop\" is not one of \"off\", \"forward\" or \"ping-pong\""},
           {{{"loop_start", 95}}, "\"loop_start\" (95) must come before \"loop_end\" (90)"},
           {{{"release", -1.0}}, "\"release\" must lie in 0..60000 ms"},
           {{{"file", 3}}, "\"file\" is not a text"},
       }) {
    Component scratch(kSamplerType);
    ASSERT_TRUE(kSamplerSettings.read(all, *scratch.record, error));
    EXPECT_FALSE(kSamplerSettings.read(bad, *scratch.record, error)) << bad;
    EXPECT_EQ(error, reason);
  }
  // A fresh Sampler: no file, middle C, one-shot, no loop.
  Component fresh(kSamplerType);
  nlohmann::ordered_json defaults = nlohmann::ordered_json::object();
  kSamplerSettings.write(*fresh.record, defaults);
  EXPECT_EQ(defaults.dump(), R"({"file":"","root":261.63,"mode":"one-shot","loop":"off","loop_start":0,"loop_end":0,"release":10.0})");
}

}  // namespace
}  // namespace korvel
