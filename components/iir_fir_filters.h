// Filters whose coefficients arrive on inputs: a direct-form-1 biquad
// (menu "IIR2 Filter") and a nine-tap FIR (menu "FIR8 Filter").
#pragma once

#include "components/biquad_filters.h"
#include "engine/component.h"

namespace korvel {

inline constexpr int kIir2Type = 22;
inline constexpr int kFir8Type = 23;

inline constexpr int kFirTaps = 9;

// The IIR2 uses the biquad record: its two histories, and its coefficients
// while they are constants.
struct FirRecord : ComponentRecord {
  double history[2][kFirTaps - 1];  // per channel x1..x8, x1 the most recent
};

void ProcessIir2(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessFir8(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
// For cascades: whether an IIR2's coefficients are constants this block
// (in2 and in3 connected, none of the five audio), and taking them.
bool Iir2CoefficientsHold(const ComponentCall& call);
void TakeIir2Coefficients(const ComponentCall& call);

inline constexpr TypeDescription kIirFirTypes[] = {
    {kIir2Type, "IIR5 filter", 6, 1, kProcessingColour,
     "IIR2 FILTER\r\n"
     "This component filters the signal based on the biquad IIR coefficients given in \"Direct Form 1\" "
     "format.\r\n\r\n"
     "in1: Input\r\n"
     "in2: b0/a0\r\n"
     "in3: b1/a0\r\n"
     "in4: b2/a0\r\n"
     "in5: a1/a0\r\n"
     "in6: a2/a0\r\n"
     "out1: Filtered output\r\n",
     sizeof(BiquadRecord), ProcessIir2, nullptr, ProcessBiquadCascade},
    {kFir8Type, "FIR5 filter", 10, 1, kProcessingColour,
     "STATE FILTER\r\n"
     "This component filters the signal based on the 8th filter order FIR coefficients given.\r\n\r\n"
     "in1: Input\r\n"
     "in2: b0\r\n"
     "in3: b1\r\n"
     "in4: b2\r\n"
     "in5: b3\r\n"
     "in6: b4\r\n"
     "in7: b5\r\n"
     "in8: b6\r\n"
     "in9: b7\r\n"
     "in10: b8\r\n"
     "out1: Filtered output\r\n",
     sizeof(FirRecord), ProcessFir8},
};

}  // namespace korvel
