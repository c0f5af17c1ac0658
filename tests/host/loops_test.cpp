// Loops through the delay line, writers that lead nowhere, long delays,
// reading between samples and oversampling, heard through the plug-in's
// exports as a host hears them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

using pluginhost::Module;
using Json = nlohmann::json;

// Type numbers, as a module file names them.
enum : int {
  kIn = 0, kOut = 1, kReplicator = 2, kAdd = 10, kMultiply = 12, kLowpass = 15, kClip = 24,
  kSet = 27, kDelayAdd = 28, kGet = 29, kTap = 32, kConstant = 80, kSampleRate = 81,
};

// A module file written in code: slot 0 is IN, slot 1 OUT.
struct Patch {
  Json components = Json::array({{{"slot", 0}, {"type", kIn}}, {{"slot", 1}, {"type", kOut}}});
  Json connections = Json::array();
  int oversampling = 1;
  int next = 2;

  int Add(int type) {
    components.push_back({{"slot", next}, {"type", type}});
    return next++;
  }
  int Constant(double value) {
    components.push_back({{"slot", next}, {"type", kConstant}, {"value", value}});
    return next++;
  }
  Patch& Wire(int from, int output, int to, int input) {
    connections.push_back({{"from", {from, output}}, {"to", {to, input}}});
    return *this;
  }
  std::string Image() const {
    Json image = {{"format", "korvel-module"}, {"version", 1}, {"components", components}, {"connections", connections}};
    if (oversampling != 1) image["oversampling"] = oversampling;
    return image.dump();
  }
};

// IN -> Delay Get -> Replicator -> OUT, and the Replicator's copy written D
// frames ahead by a Delay Set (through a gain when asked): y[k] = x[k] +
// g·y[k - D].
Patch Loop(double delay, double gain = 1.0) {
  Patch p;
  const int get = p.Add(kGet), split = p.Add(kReplicator), set = p.Add(kSet), d = p.Constant(delay);
  p.Wire(0, 0, get, 0).Wire(get, 0, split, 0).Wire(split, 0, 1, 0).Wire(d, 0, set, 1);
  if (gain == 1.0) {
    p.Wire(split, 1, set, 0);
  } else {
    const int times = p.Add(kMultiply), g = p.Constant(gain);
    p.Wire(split, 1, times, 0).Wire(g, 0, times, 1).Wire(times, 0, set, 0);
  }
  return p;
}

class LoopsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    library_ = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error).release();
    ASSERT_NE(library_, nullptr) << error;
  }
  static void TearDownTestSuite() { delete library_; }

  static std::unique_ptr<Module> Load(const Patch& patch, double rate = 0) {
    auto module = Module::Create(*library_);
    module->Init();
    if (rate > 0) {
      EXPECT_TRUE(module->SetSampleRate(rate));
    }
    module->RestoreImage(patch.Image());
    EXPECT_EQ(module->StateProblem(), "");
    return module;
  }
  // The input through a fresh module in blocks cycling through `blocks`.
  static std::vector<float> Render(const Patch& patch, std::vector<float> samples, const std::vector<int>& blocks,
                                   double rate = 0) {
    auto module = Load(patch, rate);
    const auto frames = static_cast<std::uint32_t>(samples.size() / 2);
    std::size_t b = 0;
    for (std::uint32_t done = 0; done < frames;) {
      const auto n = std::min<std::uint32_t>(static_cast<std::uint32_t>(blocks[b++ % blocks.size()]), frames - done);
      module->Audio(samples.data() + 2 * static_cast<std::size_t>(done), n);
      done += n;
    }
    return samples;
  }
  static std::vector<float> Impulse(int frames, int at, float height = 1000.0f) {
    std::vector<float> v(2 * static_cast<std::size_t>(frames));
    v[2 * at] = height;
    v[2 * at + 1] = -height;
    return v;
  }
  static pluginhost::Library* library_;
};
pluginhost::Library* LoopsTest::library_ = nullptr;

// The same loop at every block size: the impulse returns at D, 2D, 3D...
// however the blocks fall, also when D is shorter than a block.
TEST_F(LoopsTest, AnImpulseThroughALoopReturnsEveryDFrames) {
  for (const int d : {1, 10, 100, 255, 1000}) {
    const int frames = 3 * d + 20;
    for (const int block : {1, 64, 256, 4096}) {
      const std::vector<float> out = Render(Loop(d), Impulse(frames, 3), {block});
      for (int f = 0; f < frames; ++f) {
        const float expected = f >= 3 && (f - 3) % d == 0 ? 1000.0f : 0.0f;
        ASSERT_TRUE(out[2 * f] == expected && out[2 * f + 1] == -expected)
            << "D " << d << ", block " << block << ", frame " << f << ": " << out[2 * f];
      }
    }
  }
}

// Random modules with loops (filters, gains, Set and Add, taps between
// samples, unwired writers, oversampling) give the very same bits at block
// sizes 1, 7, 64, 256 and 4096 and in a mixed sequence.
TEST_F(LoopsTest, RandomModulesWithLoopsGiveTheSameBitsAtEveryBlockSize) {
  std::uint64_t state = 2024;
  const auto next = [&state](int below) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(below));
  };
  std::vector<float> noise(2 * 6000);
  for (float& v : noise) v = static_cast<float>(next(20001) - 10000);
  for (int c = 0; c < 10; ++c) {
    Patch p;
    p.oversampling = c % 5 == 4 ? 2 << next(2) : 1;
    // IN + the line read at 0 or between samples, through a chain...
    int head = p.Add(next(2) == 0 ? kGet : kTap);
    if (p.components.back()["type"] == kTap) p.Wire(p.Constant(next(2) == 0 ? 0.0 : 1 + next(40) + 0.5), 0, head, 1);
    p.Wire(0, 0, head, 0);
    if (next(2) == 0) {
      const int lp = p.Add(kLowpass);
      p.Wire(head, 0, lp, 0).Wire(p.Constant(500 + next(5000)), 0, lp, 1).Wire(p.Constant(0.7), 0, lp, 2);
      head = lp;
    }
    const int split = p.Add(kReplicator);
    p.Wire(head, 0, split, 0);
    // ...fed back through gains adding up to less than 1 by one to three
    // writers at delays from 1 frame up, the last one sometimes heard too.
    int output = 1, writer = -1;
    for (int w = 1 + next(3); w > 0; --w) {
      const int times = p.Add(kMultiply);
      writer = p.Add(next(3) == 0 ? kSet : kDelayAdd);
      p.Wire(split, output++, times, 0).Wire(p.Constant(0.1 + 0.1 * next(3)), 0, times, 1);
      const int delay = 1 + next(next(2) == 0 ? 8 : 300);
      p.Wire(times, 0, writer, 0).Wire(p.Constant(delay), 0, writer, 1);
    }
    if (next(2) == 0) {
      const int clip = p.Add(kClip), mix = p.Add(kAdd);
      p.Wire(writer, 0, clip, 0).Wire(p.Constant(20000), 0, clip, 1);
      p.Wire(split, 0, mix, 0).Wire(clip, 0, mix, 1).Wire(mix, 0, 1, 0);
    } else {
      p.Wire(split, 0, 1, 0);
    }
    SCOPED_TRACE(p.Image());
    const std::vector<float> reference = Render(p, noise, {1});
    for (const auto& blocks : std::vector<std::vector<int>>{{7}, {64}, {256}, {4096}, {3, 500, 17, 4096, 1, 64}})
      ASSERT_TRUE(Render(p, noise, blocks) == reference) << "first block " << blocks.front();
  }
}

// A Delay Add whose output is wired nowhere still writes: the echo built
// the obvious way repeats every D frames, each half as loud; and wiring
// the writers onward through a "× 0" changes no bit.
TEST_F(LoopsTest, WritersThatLeadNowhereRunEveryBlock) {
  Patch p;
  const int get = p.Add(kGet), split = p.Add(kReplicator), times = p.Add(kMultiply), add = p.Add(kDelayAdd);
  p.Wire(0, 0, get, 0).Wire(get, 0, split, 0).Wire(split, 0, 1, 0).Wire(split, 1, times, 0);
  p.Wire(p.Constant(0.5), 0, times, 1).Wire(times, 0, add, 0).Wire(p.Constant(100), 0, add, 1);
  // The clearing Set: what was read is written 0 at the read position.
  const int clear = p.Add(kSet);
  p.Wire(p.Constant(0.0), 0, clear, 0);
  const std::vector<float> out = Render(p, Impulse(450, 0), {256});
  for (int f = 0; f < 450; ++f) {
    const float expected = f % 100 == 0 ? 1000.0f / static_cast<float>(1 << (f / 100)) : 0.0f;
    ASSERT_EQ(out[2 * f], expected) << f;
  }
  Patch wired = p;
  const int zero = wired.Add(kMultiply), mix = wired.Add(kAdd);
  wired.connections.erase(2);  // split -> OUT, now through the mix
  wired.Wire(add, 0, zero, 0).Wire(clear, 0, zero, 1).Wire(split, 0, mix, 0).Wire(zero, 0, mix, 1).Wire(mix, 0, 1, 0);
  std::vector<float> noise(2 * 3000);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<float>((i * 7919) % 2001) - 1000.0f;
  EXPECT_EQ(Render(wired, noise, {256}), Render(p, noise, {256}));
}

// Delays keep their length in seconds: 5 s at 96 kHz is 480,000 frames.
TEST_F(LoopsTest, AFiveSecondDelayAtNinetySixKilohertz) {
  Patch p;
  const int set = p.Add(kSet), get = p.Add(kGet), seconds = p.Add(kMultiply);
  p.Wire(0, 0, set, 0).Wire(get, 0, 1, 0).Wire(p.Add(kSampleRate), 0, seconds, 0).Wire(p.Constant(5.0), 0, seconds, 1);
  p.Wire(seconds, 0, set, 1);
  const std::vector<float> out = Render(p, Impulse(480100, 7), {4096}, 96000);
  for (int f = 0; f < 480100; ++f)
    if (out[2 * f] != 0.0f) {
      EXPECT_EQ(f, 480007) << out[2 * f];
    }
  EXPECT_EQ(out[2 * 480007], 1000.0f);
}

// Magnitude of a response at f Hz (44.1 kHz), by its DFT.
double MagnitudeDb(const std::vector<float>& out, int channel, double hz) {
  double re = 0, im = 0;
  for (std::size_t f = 0; 2 * f < out.size(); ++f) {
    const double w = 2 * std::numbers::pi * hz / 44100.0 * static_cast<double>(f);
    re += out[2 * f + channel] * std::cos(w);
    im -= out[2 * f + channel] * std::sin(w);
  }
  return 20 * std::log10(std::hypot(re, im));
}

// Set at 0, Tap at 100.5: a delay of 100.5 frames, flat within 1 dB to
// 10 kHz; at a whole delay the impulse comes back bit for bit.
TEST_F(LoopsTest, DelayTapDelaysBetweenSamples) {
  const auto tapped = [](double delay) {
    Patch p;
    const int set = p.Add(kSet), tap = p.Add(kTap);
    p.Wire(0, 0, set, 0).Wire(tap, 0, 1, 0).Wire(p.Constant(delay), 0, tap, 1);
    return p;
  };
  const std::vector<float> half = Render(tapped(100.5), Impulse(400, 0, 1.0f), {64});
  double energy = 0, moment = 0;
  for (int f = 0; f < 400; ++f) energy += half[2 * f] * half[2 * f], moment += f * half[2 * f] * half[2 * f];
  EXPECT_NEAR(moment / energy, 100.5, 0.01) << "centred on 100.5";
  for (double hz = 20; hz <= 10000; hz *= 1.25) EXPECT_NEAR(MagnitudeDb(half, 0, hz), 0.0, 1.0) << hz;
  const std::vector<float> whole = Render(tapped(100), Impulse(400, 0), {64});
  for (int f = 0; f < 400; ++f) ASSERT_EQ(whole[2 * f], f == 100 ? 1000.0f : 0.0f) << f;
}

// Oversampled passthrough: flat within 0.1 dB to 20 kHz, a pure delay of
// the reported latency, and nothing of its own louder than -100 dB.
TEST_F(LoopsTest, OversamplingIsFlatAndCleanAndReportsItsLatency) {
  for (const int factor : {2, 4, 8, 16}) {
    SCOPED_TRACE(factor);
    Patch p;
    p.Wire(0, 0, 1, 0);
    p.oversampling = factor;
    const std::uint32_t latency = Load(p)->LatencyFrames();
    EXPECT_GT(latency, 0u);
    // The impulse comes back on frame 100 + latency, the response even
    // about it.
    const std::vector<float> pulse = Render(p, Impulse(600, 100, 1.0f), {100});
    int peak = 0;
    for (int f = 0; f < 600; ++f)
      if (std::fabs(pulse[2 * f]) > std::fabs(pulse[2 * peak])) peak = f;
    EXPECT_EQ(peak, 100 + static_cast<int>(latency));
    for (int t = 1; t < 60; ++t) EXPECT_NEAR(pulse[2 * (peak - t)], pulse[2 * (peak + t)], 1e-7) << t;
    // Sines at 1 kHz and 20 kHz: each comes back at its own level, and
    // what remains once the sine is fitted out is below -100 dB.
    for (const double hz : {1000.0, 20000.0}) {
      const int frames = 20000, skip = 2000;
      std::vector<float> sine(2 * frames);
      for (int f = 0; f < frames; ++f)
        sine[2 * f] = sine[2 * f + 1] = static_cast<float>(16384.0 * std::sin(2 * std::numbers::pi * hz * f / 44100.0));
      const std::vector<float> out = Render(p, sine, {256});
      double c = 0, s = 0, cc = 0, ss = 0, cs = 0;
      for (int f = skip; f < frames; ++f) {
        const double w = 2 * std::numbers::pi * hz * f / 44100.0;
        c += out[2 * f] * std::cos(w), s += out[2 * f] * std::sin(w);
        cc += std::cos(w) * std::cos(w), ss += std::sin(w) * std::sin(w), cs += std::cos(w) * std::sin(w);
      }
      const double det = cc * ss - cs * cs;
      const double a = (c * ss - s * cs) / det, b = (s * cc - c * cs) / det;
      EXPECT_NEAR(20 * std::log10(std::hypot(a, b) / 16384.0), 0.0, 0.1) << hz;
      double residual = 0;
      for (int f = skip; f < frames; ++f) {
        const double w = 2 * std::numbers::pi * hz * f / 44100.0;
        const double rest = out[2 * f] - a * std::cos(w) - b * std::sin(w);
        residual += rest * rest;
      }
      const double rms = std::sqrt(residual / (frames - skip)) / (16384.0 / std::numbers::sqrt2);
      EXPECT_LT(20 * std::log10(rms), -100.0) << hz;
    }
  }
}

// The running rate is what Samplerate reports, so delays and filters keep
// their meaning; a module at the host's rate reports no latency.
TEST_F(LoopsTest, OversampledModulesRunAtTheirRunningRate) {
  Patch p;
  const int times = p.Add(kMultiply);
  p.Wire(0, 0, times, 0).Wire(p.Add(kSampleRate), 0, times, 1).Wire(times, 0, 1, 0);
  EXPECT_EQ(Load(p)->LatencyFrames(), 0u);
  p.oversampling = 4;
  std::vector<float> ones(2 * 3000, 1.0f);
  const std::vector<float> out = Render(p, ones, {512}, 48000);
  EXPECT_NEAR(out[2 * 2500], 4 * 48000.0, 4 * 48000.0 * 1e-4);
}

}  // namespace
}  // namespace korvel
