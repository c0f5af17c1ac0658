// The Moog-style ladder lowpass and the State filter (which runs the band
// reject filter on its first output).
#pragma once

#include "components/biquad_filters.h"
#include "engine/component.h"

namespace korvel {

inline constexpr int kMoogType = 19;
inline constexpr int kStateFilterType = 20;

struct MoogStages {
  double s0;              // last ladder input
  double s1, s2, s3, s4;  // outputs of the four stages
};

struct MoogRecord : ComponentRecord {
  double cached_cutoff;  // raw control values g, p and q came from
  double cached_resonance;
  double g;  // stage feedback, 2p - 1
  double p;  // stage gain
  double q;  // resonance feedback, also the output gain
  MoogStages channel[2];
  double scratch[4];  // room for the stage update's working values; nothing kept
};

inline constexpr double kMaxMoogResonance = 100.0;

void ProcessMoog(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kMoogStateTypes[] = {
    {kMoogType, "Moog filter", 3, 1, kProcessingColour,
     "COMPONENT: MOOG FILTER\r\n"
     "This component filters the incoming samples with a 24dB/oct Lowpass Moog-style filter.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Cutoff\r\n"
     "in3: Resonance\r\n"
     "out1: Filtered result",
     sizeof(MoogRecord), ProcessMoog},
    // Outputs 2..4 are never set, so they read as the constant 0.0.
    {kStateFilterType, "State filter", 3, 4, kProcessingColour,
     "STATE FILTER\r\n"
     "This component outputs 4 differently filtered signals\r\n\r\n"
     "in1: Input\r\n"
     "in2: Cutoff\r\n"
     "in3: Resonance\r\n"
     "out1: Lowpass output\r\n"
     "out2: Highpass output\r\n"
     "out3: Bandpass output\r\n"
     "out4: Notch output",
     sizeof(BiquadRecord), ProcessBandReject},
};

}  // namespace korvel
