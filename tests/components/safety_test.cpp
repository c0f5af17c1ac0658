// The filters' safety rules: a cached NaN control never freezes the
// coefficients, a history that is no longer finite is cleared at the end of
// the block, and a design that gives no numbers is silent.
#include <algorithm>
#include <cmath>
#include <limits>

#include "components/iir_fir_filters.h"
#include "tests/components/component_harness.h"

namespace korvel::testing {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Frame 0 carries `first`, the other frames `rest` (channel 0; channel 1 is never read).
std::vector<double> Control(int frames, double first, double rest) {
  std::vector<double> v(2 * frames, rest);
  v[0] = first;
  return v;
}

struct Cache {
  double cutoff, resonance;
};
Cache CacheOf(const Component& c) {
  if (c.type == kMoogType) return {c.as<MoogRecord>().cached_cutoff, c.as<MoogRecord>().cached_resonance};
  return {c.as<BiquadRecord>().cached_cutoff, c.as<BiquadRecord>().cached_resonance};
}

TEST(FilterSafety, ANanControlIsUnchangedButACachedNanIsUnequalToEveryNumber) {
  for (int type : {kLowpassType, kHighpassType, kBandpassType, kBandRejectType, kStateFilterType, kMoogType}) {
    // NaN cutoff while the resonance changes, then a real cutoff.
    Component filter(type);
    Feed in(Stereo(4, 100.0, -100.0)), cutoff(Control(4, kNan, 1000.0)), resonance(Control(4, 1.0, 1.0));
    filter.Run(4, {&in, &cutoff, &resonance});
    EXPECT_EQ(CacheOf(filter).cutoff, 1000.0) << type << ": the first number after a cached NaN recomputes";
    if (type == kLowpassType) {
      const BiquadCoefficients k = LowpassCoefficients(1000.0, 1.0, 44100.0);
      EXPECT_EQ(filter.as<BiquadRecord>().k.b0, k.b0);
      EXPECT_EQ(filter.as<BiquadRecord>().k.c1, k.c1);
    }
    // A NaN new value changes nothing.
    Feed in2(Stereo(2, 1.0, 1.0)), nan_cutoff(kNan), same_resonance(1.0);
    filter.Run(2, {&in2, &nan_cutoff, &same_resonance});
    EXPECT_EQ(CacheOf(filter).cutoff, 1000.0) << type;
    // The other control: NaN resonance while the cutoff changes, then a real one.
    Component other(type);
    Feed in3(Stereo(4, 100.0, -100.0)), moving(Control(4, 500.0, 700.0)), nan_first(Control(4, kNan, 2.0));
    other.Run(4, {&in3, &moving, &nan_first});
    EXPECT_EQ(CacheOf(other).cutoff, 700.0) << type;
    EXPECT_EQ(CacheOf(other).resonance, 2.0) << type;
  }
}

TEST(FilterSafety, ANonFiniteHistoryIsClearedAndTheNextBlockIsFinite) {
  for (double bad : {kNan, kInf}) {
    for (int type : {kLowpassType, kHighpassType, kBandpassType, kBandRejectType, kStateFilterType, kMoogType,
                     kIir2Type}) {
      Component filter(type);
      std::vector<double> block = Stereo(64, 1000.0, -1000.0);
      block[20] = bad;
      block[41] = bad;
      Feed in(block), cutoff(1000.0), resonance(1.0), a1(0.5), a2(-0.25), zero(0.0);
      auto run = [&](Feed& input) {
        if (type == kIir2Type) {
          filter.Run(64, {&input, &resonance, &zero, &zero, &a1, &a2});
        } else {
          filter.Run(64, {&input, &cutoff, &resonance});
        }
      };
      run(in);
      EXPECT_FALSE(std::isfinite(in.values[40])) << type << ": the block itself is not repaired";
      Feed next(Stereo(64, 1000.0, -1000.0));
      run(next);
      EXPECT_TRUE(std::all_of(next.values.begin(), next.values.end(), [](double v) { return std::isfinite(v); }))
          << type << " recovers at the next block";
      EXPECT_NE(next.values[126], 0.0) << type << " and filters again";
    }
  }
}

TEST(FilterSafety, ADesignThatGivesNoNumbersIsSilentUntilTheControlsMove) {
  // sinh overflows for a wide band-pass next to the top cutoff.
  for (int type : {kBandpassType, kBandRejectType, kStateFilterType}) {
    Component filter(type);
    Feed in(Stereo(32, 1000.0, -1000.0)), cutoff(22000.0), width(127.0);
    filter.Run(32, {&in, &cutoff, &width});
    EXPECT_EQ(in.values, std::vector<double>(64, 0.0)) << type;
    std::vector<double> ramp(64);
    for (int i = 0; i < 64; ++i) ramp[i] = 100.0 * i;
    Feed in2(ramp), low(1000.0), narrow(1.0);
    filter.Run(32, {&in2, &low, &narrow});
    EXPECT_TRUE(std::all_of(in2.values.begin(), in2.values.end(), [](double v) { return std::isfinite(v); }) &&
                std::any_of(in2.values.begin(), in2.values.end(), [](double v) { return v != 0.0; }))
        << type;
  }
}

}  // namespace
}  // namespace korvel::testing
