// The sources and tables against their promises: aliasing and THD+N measured
// on the spectrum, FM sidebands against Bessel functions, envelope timing
// to the frame, follower levels, the step sequence, noise that repeats bit
// for bit, and finite output whatever comes in.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <vector>

#include "components/source_maths.h"
#include "components/sources.h"
#include "components/tables.h"
#include "engine/host_timing.h"
#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "tests/components/component_harness.h"
#include "tests/support/fft_amplitudes.h"
#include "tests/support/test_ui.h"
#include <nlohmann/json.hpp>

namespace korvel::testing {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// An input as a function of the frame; an empty function leaves it
// unconnected. Channel 1 gets `right` when given, else the same value.
struct Input {
  std::function<double(long long)> left, right;
  bool constant = false;  // delivered as a constant, not a buffer
};
Input Value(double v) { return {[v](long long) { return v; }, {}}; }
Input Constant(double v) { return {[v](long long) { return v; }, {}, true}; }
Input Unconnected() { return {}; }

struct Rendered {
  std::vector<double> left, right;
};

// Runs a fresh component of `type` for `frames` frames in blocks of
// `block`, every input a buffer.
Rendered Render(int type, long long frames, const std::vector<Input>& inputs, int block = 256,
                const std::function<void(Component&)>& setup = {}) {
  Component c(type);
  if (setup) setup(c);
  Rendered out;
  for (long long done = 0; done < frames;) {
    const int n = static_cast<int>(std::min<long long>(block, frames - done));
    std::vector<std::unique_ptr<Feed>> feeds;
    std::vector<Feed*> pointers;
    for (const Input& in : inputs) {
      if (!in.left) {
        pointers.push_back(nullptr);
        continue;
      }
      if (in.constant) {
        feeds.push_back(std::make_unique<Feed>(in.left(done)));
        pointers.push_back(feeds.back().get());
        continue;
      }
      std::vector<double> v(2 * n);
      for (int f = 0; f < n; ++f) {
        v[2 * f] = in.left(done + f);
        v[2 * f + 1] = in.right ? in.right(done + f) : v[2 * f];
      }
      feeds.push_back(std::make_unique<Feed>(std::move(v)));
      pointers.push_back(feeds.back().get());
    }
    ComponentRecord* records[kMaxPorts] = {};
    for (std::size_t k = 0; k < pointers.size(); ++k) records[k] = pointers[k] ? &pointers[k]->record : nullptr;
    const std::int16_t outputs[kMaxPorts] = {};
    c.record->block_length = static_cast<std::int16_t>(n);
    kComponentTypeTable.process[type](c.record, records, outputs);
    for (int f = 0; f < n; ++f) {
      const bool constant = c.record->constant_flag[0] != 0;
      out.left.push_back(constant ? c.record->constant[0] : c.record->output[0][2 * f]);
      out.right.push_back(constant ? c.record->constant[0] : c.record->output[0][2 * f + 1]);
    }
    done += n;
  }
  return out;
}

class Sources : public ::testing::Test {
 protected:
  void SetUp() override { Rate(44100.0); }
  void TearDown() override { Rate(44100.0); }
  static void Rate(double rate) { StoreSampleTiming(rate, LoadHostTiming().samples_per_tick); }
};

constexpr int kWindow = 1 << 15;

// A steady tone of a whole (odd) number of cycles in the window, after the
// start has settled; answers the window and the cycle count.
std::vector<double> SteadyTone(int type, std::vector<Input> inputs, long long cycles, double rate) {
  inputs[0] = Value(static_cast<double>(cycles) * rate / kWindow);
  Rendered r = Render(type, 4096 + kWindow, inputs);
  return std::vector<double>(r.left.begin() + 4096, r.left.end());
}

TEST_F(Sources, OscillatorAliasesStayFarBelowTheFundamental) {
  // Every bin below 20 kHz that is not the tone's own harmonic, against the
  // fundamental: 80 dB down at 10 kHz, 90 dB at 1.5 kHz.
  for (int shape : {1, 2, 3}) {
    for (const auto& [frequency, bound] : {std::pair{10000.0, -80.0}, std::pair{1500.0, -90.0}}) {
      long long k = std::llround(frequency * kWindow / 44100.0) | 1;
      const std::vector<double> m =
          Amplitudes(SteadyTone(kOscillatorType, {Input{}, Value(shape)}, k, 44100.0));
      double worst = 0.0;
      for (long long i = 1; i < static_cast<long long>(m.size()); ++i) {
        const bool own = i % k == 0;
        if (!own && i * 44100.0 / kWindow < 20000.0) worst = std::max(worst, m[i]);
      }
      EXPECT_LT(Decibels(worst / m[k]), bound) << "shape " << shape << " at " << frequency << " Hz";
    }
  }
}

TEST_F(Sources, TheSineIsClean) {
  const long long k = 743;  // about 1 kHz
  const std::vector<double> m = Amplitudes(SteadyTone(kOscillatorType, {Input{}, Value(0)}, k, 44100.0));
  double rest = 0.0;
  for (std::size_t i = 0; i < m.size(); ++i)
    if (static_cast<long long>(i) != k) rest += m[i] * m[i];
  EXPECT_LT(10.0 * std::log10(rest / (m[k] * m[k])), -120.0);
  EXPECT_NEAR(m[k], kDefaultAmplitude, 1e-6);
}

TEST_F(Sources, FmSidebandsFollowBesselFunctions) {
  const long long carrier = 2973, modulator = 371;  // about 4 kHz and 500 Hz
  for (double index = 0.0; index <= 5.0; index += 1.25) {
    const std::vector<double> m = Amplitudes(SteadyTone(
        kFmOscillatorType, {Input{}, Value(modulator * 44100.0 / kWindow), Value(index)}, carrier, 44100.0));
    for (int n = -6; n <= 6; ++n) {
      const double expected = std::fabs(std::cyl_bessel_j(std::abs(n), index));
      const double measured = m[carrier + n * modulator] / kDefaultAmplitude;
      if (expected > 1e-5) {
        EXPECT_NEAR(Decibels(measured / expected), 0.0, 0.1) << "I " << index << ", n " << n;
      } else {
        EXPECT_LT(measured, 1e-5) << "I " << index << ", n " << n;
      }
    }
  }
}

TEST_F(Sources, TheLfoPhaseDoesNotDrift) {
  // An hour at 1 Hz, 44.1 kHz: the phase after that many steps, taken in
  // whole, lies within 1e-9 cycles of 3600 whole cycles.
  const std::uint64_t step = source_maths::StepOf(1.0 / 44100.0);
  const std::uint64_t after_an_hour = step * 158760000ull;  // modulo 2^64: the phase
  const double error = after_an_hour < (1ull << 63) ? after_an_hour * 0x1p-64 : (0 - after_an_hour) * 0x1p-64;
  EXPECT_LT(error, 1e-9);
  // And the running phase is exactly that many steps.
  Component c(kOscillatorType);
  Feed frequency(1.0);
  for (int b = 0; b < 100; ++b) c.Run(4096, {&frequency});
  EXPECT_EQ(c.as<OscillatorRecord>().phase, step * (100ull * 4096 - 1));
}

TEST_F(Sources, TheOscillatorGivesTheSameBitsForConstantsAndSignals) {
  // Constant controls take the oscillator's steady path, signals the
  // frame-by-frame one: the same values must give the same bits.
  for (int shape : {0, 1, 2, 3})
    for (double frequency : {0.0, 3.5, 440.0, -1234.5, 10000.0, 20500.0, 30000.0}) {
      const Rendered steady = Render(kOscillatorType, 3000, {Constant(frequency), Constant(shape), Constant(0.3)}, 200);
      const Rendered moving = Render(kOscillatorType, 3000, {Value(frequency), Value(shape), Value(0.3)}, 200);
      ASSERT_EQ(0, std::memcmp(steady.left.data(), moving.left.data(), steady.left.size() * sizeof(double)))
          << "shape " << shape << " at " << frequency << " Hz";
    }
}

TEST_F(Sources, SyncRestartsTheCycleAtItsFrame) {
  // Synced at frame 1000, an oscillator sounds from there on like one
  // started at frame 1000, once the band-limited corner has settled.
  for (int shape : {0, 1, 2, 3}) {
    const Rendered synced = Render(kOscillatorType, 3000, {Value(1234.5), Value(shape), Unconnected(),
                                                            Input{[](long long f) { return f >= 1000 ? 1.0 : 0.0; }, {}}});
    const Rendered fresh = Render(kOscillatorType, 2000, {Value(1234.5), Value(shape)});
    for (int f = 1000 + kCornerFrames; f < 3000; ++f)
      ASSERT_NEAR(synced.left[f], fresh.left[f - 1000], 1e-9) << "shape " << shape << ", frame " << f;
  }
}

TEST_F(Sources, EnvelopesKeepTheirTimesToTheFrame) {
  Rate(48000.0);
  for (int type : {kLinearAdsrType, kExponentialAdsrType}) {
    // Gate at frame 100, attack 10 ms: 1 at frame 580, not before.
    const auto gate = [](long long f) { return f >= 100 && f < 2000 ? 1.0 : 0.0; };
    const Rendered r =
        Render(type, 4000, {Input{gate, {}}, Value(10), Value(20), Value(0.5), Value(30), Unconnected()});
    EXPECT_EQ(r.left[100], 0.0) << type;
    EXPECT_LT(r.left[579], 1.0) << type;
    EXPECT_EQ(r.left[580], 1.0) << type;
    // Decay to the sustain in 20 ms (960 frames), release to 0 in 30 ms.
    EXPECT_GT(r.left[580 + 959], 0.5) << type;
    EXPECT_EQ(r.left[580 + 960], 0.5) << type;
    EXPECT_EQ(r.left[1999], 0.5) << type;
    EXPECT_GT(r.left[2000 + 1439], 0.0) << type;
    EXPECT_EQ(r.left[2000 + 1440], 0.0) << type;
    for (long long f = 1; f < 4000; ++f) ASSERT_LE(std::fabs(r.left[f] - r.left[f - 1]), 1.0 / 200) << type << " " << f;

    // A release during the attack starts where the attack was; a 0 ms stage
    // lasts one frame; a retrigger restarts the attack from the level.
    const Rendered early = Render(type, 400, {Input{[](long long f) { return f < 200 ? 1.0 : 0.0; }, {}}, Value(10),
                                              Value(0), Value(0.5), Value(0), Unconnected()});
    EXPECT_GT(early.left[200], 0.0) << type;
    EXPECT_LT(early.left[200], 1.0) << type;
    EXPECT_EQ(early.left[201], 0.0) << type << ": a 0 ms release takes one frame";
    const Rendered again = Render(type, 2000, {Value(1), Value(10), Value(10), Value(0.25), Value(10),
                                               Input{[](long long f) { return f >= 1500 ? 1.0 : 0.0; }, {}}});
    EXPECT_EQ(again.left[1500], 0.25) << type;
    EXPECT_GT(again.left[1501], 0.25) << type;
    EXPECT_EQ(again.left[1500 + 480], 1.0) << type;
  }
}

TEST_F(Sources, TheFollowerReadsPeakAndRms) {
  Rate(48000.0);
  const auto sine = [](long long f) { return 16384.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(f) / 48000.0); };
  for (const auto& [mode, expected] : {std::pair{0, 16384.0}, std::pair{1, 11585.2375}}) {
    const Rendered r = Render(kEnvelopeFollowerType, 96000, {Input{sine, {}}, Value(10), Value(100), Value(mode)});
    for (long long f = 72000; f < 96000; f += 7) ASSERT_NEAR(r.left[f], expected, 0.01 * expected) << mode << " " << f;
  }
}

TEST_F(Sources, TheStepCounterCountsAndResets) {
  // Clock high on every 10th frame from frame 0 (already high at the
  // start, which is not an edge), length 4, reset at frame 65.
  const Rendered r = Render(kStepCounterType, 100, {Input{[](long long f) { return f % 10 == 0 ? 1.0 : 0.0; }, {}},
                                                    Value(4), Input{[](long long f) { return f == 65 ? 1.0 : 0.0; }, {}}});
  const double expected[] = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1};
  for (int f = 0; f < 65; ++f) ASSERT_EQ(r.left[f], expected[f / 10]) << f;
  for (int f = 65; f < 70; ++f) ASSERT_EQ(r.left[f], 0.0) << f;
  EXPECT_EQ(r.left[70], 1.0);
  // Unconnected length: 16 steps; a NaN or negative length counts as 1.
  const Rendered sixteen = Render(kStepCounterType, 400, {Input{[](long long f) { return f % 2 == 1 ? 1.0 : 0.0; }, {}}});
  EXPECT_EQ(sixteen.left[31], 0.0);
  EXPECT_EQ(sixteen.left[29], 15.0);
  for (double bad : {kNan, -3.0})
    EXPECT_EQ(Render(kStepCounterType, 50, {Input{[](long long f) { return f % 2 == 1 ? 1.0 : 0.0; }, {}}, Value(bad)})
                  .left[49],
              0.0);
}

TEST_F(Sources, NoiseRepeatsAtEveryBlockSizeAndItsChannelsAreIndependent) {
  const auto seeded = [](Component& c) { c.as<NoiseRecord>().seed = 20260321u; };
  for (int colour : {0, 1, 2}) {
    const Rendered a = Render(kNoiseType, 20000, {Unconnected(), Value(colour)}, 256, seeded);
    for (int block : {1, 7, 4096}) {
      const Rendered b = Render(kNoiseType, 20000, {Unconnected(), Value(colour)}, block, seeded);
      ASSERT_EQ(0, std::memcmp(a.left.data(), b.left.data(), a.left.size() * sizeof(double))) << colour << " " << block;
      ASSERT_EQ(0, std::memcmp(a.right.data(), b.right.data(), a.right.size() * sizeof(double)));
    }
  }
  const Rendered white = Render(kNoiseType, 441000, {}, 4096, seeded);
  double lr = 0.0, ll = 0.0, rr = 0.0;
  for (std::size_t i = 0; i < white.left.size(); ++i) {
    lr += white.left[i] * white.right[i];
    ll += white.left[i] * white.left[i];
    rr += white.right[i] * white.right[i];
  }
  EXPECT_LT(std::fabs(lr / std::sqrt(ll * rr)), 0.01);
  EXPECT_NEAR(std::sqrt(ll / white.left.size()), kDefaultNoiseLevel, 0.01 * kDefaultNoiseLevel);
  // A new Noise has a seed of its own.
  Component one(kNoiseType), two(kNoiseType);
  EXPECT_NE(one.as<NoiseRecord>().seed, two.as<NoiseRecord>().seed);
}

TEST_F(Sources, EveryNewTypeGivesFiniteOutputForAnyInput) {
  const double nasty[] = {kNan, kInf, -kInf, 1e308, -1e308, 5e-324, 0.0, 22050.0, 44100.0, -1.0, 3.0, 1e9};
  for (int type : {kOscillatorType, kFmOscillatorType, kNoiseType, kLinearAdsrType, kExponentialAdsrType,
                   kEnvelopeFollowerType, kStepCounterType, kTranslationTableType, kFunctionType}) {
    const int inputs = static_cast<int>(kComponentTypeTable.dispatch[type](kGetInputCount, nullptr, nullptr));
    for (int k = 0; k < inputs; ++k) {
      for (double bad : nasty) {
        // One input nasty, the others moving through ordinary values.
        std::vector<Input> in;
        for (int j = 0; j < inputs; ++j)
          in.push_back(j == k ? Input{[bad](long long f) { return f % 3 == 0 ? bad : 1.0; }, {}}
                              : Input{[j](long long f) { return static_cast<double>((f / 50 + j) % 5) * 110.0; }, {}});
        const Rendered r = Render(type, 300, in, 64);
        for (std::size_t i = 0; i < r.left.size(); ++i)
          ASSERT_TRUE(std::isfinite(r.left[i]) && std::isfinite(r.right[i]))
              << "type " << type << ", input " << k + 1 << " = " << bad << ", frame " << i;
      }
    }
  }
}

TEST(SourceTypes, NamesCountsColoursAndAnInfoLineForEveryPort) {
  const struct {
    int type;
    const char* name;
    int inputs;
    std::uint32_t colour;
  } kNew[] = {{40, "Oscillator", 5, kSourceColour},         {41, "FM Oscillator", 5, kSourceColour},
              {42, "Noise", 2, kSourceColour},              {43, "Linear ADSR", 6, kSourceColour},
              {44, "Exponential ADSR", 6, kSourceColour},   {45, "Envelope Follower", 4, kSourceColour},
              {46, "Step Counter", 3, kSourceColour},       {47, "Translation Table", 1, kSourceColour},
              {48, "Function", 2, kProcessingColour}};
  static char info[kInfoBufferSize];
  for (const auto& e : kNew) {
    const ComponentDispatch dispatch = kComponentTypeTable.dispatch[e.type];
    ASSERT_NE(dispatch, nullptr) << e.type;
    EXPECT_STREQ(reinterpret_cast<const char*>(dispatch(kGetName, nullptr, nullptr)), e.name);
    EXPECT_EQ(dispatch(kGetInputCount, nullptr, nullptr), e.inputs);
    EXPECT_EQ(dispatch(kGetOutputCount, nullptr, nullptr), 1);
    EXPECT_EQ(dispatch(kGetColour, nullptr, nullptr), static_cast<std::intptr_t>(e.colour));
    dispatch(kGetInfo, info, nullptr);
    const std::string text = info;
    for (int k = 1; k <= e.inputs; ++k)
      EXPECT_NE(text.find("\r\nin" + std::to_string(k) + ": "), std::string::npos) << e.name << " in" << k;
    EXPECT_EQ(text.find("\r\nin" + std::to_string(e.inputs + 1) + ": "), std::string::npos) << e.name;
    EXPECT_NE(text.find("\r\n\r\n"), std::string::npos) << e.name;
    EXPECT_NE(text.find("\r\nout1: "), std::string::npos) << e.name;
  }
}

TEST_F(Sources, TablesAndFunctionsMapAsWritten) {
  std::vector<TablePoint> points;
  std::string error;
  ASSERT_TRUE(ParseTableText("# a shaper\r\n-1 -2\r\n\r\n0, 0\n 2\t8 \n", points, error)) << error;
  ASSERT_EQ(points.size(), 3u);
  for (const auto& [interpolation, at_one] :
       {std::pair{Interpolation::kStep, 0.0}, std::pair{Interpolation::kLinear, 4.0}}) {
    const Rendered r = Render(kTranslationTableType, 5, {Input{[](long long f) { return -2.0 + f; }, {}}}, 5,
                              [&, kind = interpolation](Component& c) { SetTable(c.as<TableRecord>(), points, kind); });
    EXPECT_EQ(r.left, (std::vector<double>{-2.0, -2.0, 0.0, at_one, 8.0}));
  }
  // The cubic passes through its points and overshoots none of them.
  const Rendered cubic = Render(kTranslationTableType, 400, {Input{[](long long f) { return -1.5 + 0.01 * f; }, {}}}, 64,
                                [&](Component& c) { SetTable(c.as<TableRecord>(), points, Interpolation::kCubic); });
  for (std::size_t i = 1; i < cubic.left.size(); ++i) ASSERT_GE(cubic.left[i], cubic.left[i - 1]);
  EXPECT_EQ(cubic.left[0], -2.0);  // below the first point it holds
  EXPECT_NEAR(cubic.left[150], 0.0, 1e-12);
  // Mistakes name their line.
  for (const auto& [text, message] :
       {std::pair{"0 0\n1 1\n1 2\n", "line 3: x 1 is not greater than the x of line 2 (1)"},
        std::pair{"0 0\n\n2 zero\n", "line 3: y is not a number"}, std::pair{"5\n", "line 1: there is no y: write \"x y\""},
        std::pair{"1 2 3\n", "line 1: more than two numbers: write \"x y\""},
        std::pair{"# only\n", "there are no points: write one \"x y\" pair per line"}}) {
    EXPECT_FALSE(ParseTableText(text, points, error));
    EXPECT_EQ(error, message);
  }
  // Function: each of the nine, and what lies outside their domains. The
  // platform's maths library is asked at run time, as the component asks
  // it: libraries (and the compiler's folding) differ in the last bit.
  const auto at_run_time = [](double v) {
    volatile double kept = v;
    return kept;
  };
  const double four = at_run_time(4.0), largest = at_run_time(1.7976931348623157e308);
  const double smallest = at_run_time(2.2250738585072014e-308);
  const double x[] = {-4.0, 0.0, kNan, -kInf};
  const double expected[9][4] = {{std::sin(-four), 0.0, 0.0, std::sin(-largest)},
                                 {std::cos(-four), 1.0, 1.0, std::cos(-largest)},
                                 {std::tanh(-four), 0.0, 0.0, -1.0},
                                 {4.0, 0.0, 0.0, largest},
                                 {-2.0, 0.0, 0.0, -std::sqrt(largest)},
                                 {std::exp(-four), 1.0, 1.0, 0.0},
                                 {std::log(four), std::log(smallest), std::log(smallest), std::log(largest)},
                                 {-4.0, 0.0, 0.0, -largest},
                                 {-1.0, 0.0, 0.0, -1.0}};
  for (int function = 0; function < 9; ++function)
    for (int i = 0; i < 4; ++i) {
      const Rendered r = Render(kFunctionType, 1, {Value(x[i]), Value(function)});
      EXPECT_EQ(r.left[0], expected[function][i]) << "function " << function << " of " << x[i];
    }
}

// A table's points and interpolation and a Noise's seed are saved and
// loaded with the module, and a bad table is refused naming its point.
TEST(SourceSettings, TablesAndSeedsTravelWithTheModule) {
  TestUi ui;
  const auto image = [](const std::string& components) {
    return R"({"format": "korvel-module", "version": 1, "components": [)" + components + "]}";
  };
  const std::string table = R"({"slot": 3, "type": 47, "interpolation": "cubic", "table": [[-1, 2], [0.5, -3], [7, 1e300]]})";
  const std::string noise = R"({"slot": 4, "type": 42, "seed": 4294967295})";
  PatchEngine first, second;
  first.ResetEngine();
  second.ResetEngine();
  std::string error;
  ASSERT_TRUE(ReadModuleImage(first, image(table + ", " + noise).data(), image(table + ", " + noise).size(), error))
      << error;
  const std::string saved = WriteModuleImage(first);
  const nlohmann::json json = nlohmann::json::parse(saved);
  EXPECT_EQ(json["components"][0]["table"], nlohmann::json::parse("[[-1, 2], [0.5, -3], [7, 1e300]]"));
  EXPECT_EQ(json["components"][0]["interpolation"], "cubic");
  EXPECT_EQ(json["components"][1]["seed"], 4294967295u);
  ASSERT_TRUE(ReadModuleImage(second, saved.data(), saved.size(), error)) << error;
  EXPECT_EQ(WriteModuleImage(second), saved);
  const auto& read = *static_cast<const TableRecord*>(second.Record(3));
  EXPECT_EQ(read.count, 3);
  EXPECT_EQ(read.y[2], 1e300);
  EXPECT_EQ(read.interpolation, Interpolation::kCubic);

  for (const auto& [components, message] :
       {std::pair{std::string(R"({"slot": 3, "type": 47, "table": [[0, 0], [1, 1], [1, 2]]})"),
                  "component 0 (slot 3): \"table\" point 3: x 1 is not greater than the x before it (1)"},
        std::pair{std::string(R"({"slot": 3, "type": 47, "table": []})"),
                  "component 0 (slot 3): \"table\" has 0 points; it holds 1 to 4096"},
        std::pair{std::string(R"({"slot": 3, "type": 47, "interpolation": "cubc"})"),
                  "component 0 (slot 3): \"interpolation\" is \"cubc\"; it is one of \"step\", \"linear\", \"cubic\""},
        std::pair{std::string(R"({"slot": 3, "type": 42, "seed": -1})"),
                  "component 0 (slot 3): \"seed\" is -1, outside 0..4294967295"},
        std::pair{std::string(R"({"slot": 3, "type": 47, "tables": []})"),
                  "component 0 (slot 3): unknown key \"tables\" (did you mean \"table\"?)"}}) {
    EXPECT_FALSE(ReadModuleImage(second, image(components).data(), image(components).size(), error));
    EXPECT_EQ(error, message);
  }
  EXPECT_EQ(WriteModuleImage(second), saved) << "a refused image leaves the module as it was";
}

}  // namespace
}  // namespace korvel::testing
