// Equaliser sections: a peaking band, low and high shelves, and an allpass.
// Second-order sections of the biquad family (its record, its block loop,
// its safety rules), designed from a frequency in Hz, a gain in dB and a Q
// as the usual audio equaliser designs do, so they give what other audio
// tools give for the same three numbers.
#pragma once

#include "components/biquad_filters.h"
#include "engine/component.h"

namespace korvel {

inline constexpr int kPeakEqType = 60;
inline constexpr int kLowShelfType = 61;
inline constexpr int kHighShelfType = 62;
inline constexpr int kAllpassType = 63;

struct EqRecord : BiquadRecord {
  // The biquad's cache holds the frequency (cached_cutoff) and the Q
  // (cached_resonance); the gain is the third raw control.
  double cached_gain;
};

inline constexpr double kMaxEqGain = 60.0;             // dB, either way
inline constexpr double kDefaultEqQ = 0.7071067811865476;  // 1/√2: an unconnected in4

// Coefficients from limited controls: f in Hz, gain in dB, q, at rate fs.
BiquadCoefficients PeakEqCoefficients(double f, double gain, double q, double fs);
BiquadCoefficients LowShelfCoefficients(double f, double gain, double q, double fs);
BiquadCoefficients HighShelfCoefficients(double f, double gain, double q, double fs);
BiquadCoefficients AllpassCoefficients(double f, double gain, double q, double fs);

void ProcessPeakEq(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessLowShelf(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessHighShelf(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessAllpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
// A new section has computed nothing yet: its cache starts as NaN, so its
// first block designs it whatever its controls are.
void InitialiseEq(ComponentRecord*);
// How an EQ section joins a cascade; empty for any other process.
SectionSetup EqSetupFor(ComponentProcess process);

inline constexpr TypeDescription kEqTypes[] = {
    {kPeakEqType, "Peak EQ", 4, 1, kProcessingColour,
     "PEAK EQ\r\n"
     "This component boosts or cuts a band of frequencies around the centre frequency (a peaking equaliser).\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Centre frequency (Hz)\r\n"
     "in3: Gain (dB)\r\n"
     "in4: Q\r\n"
     "out1: Filtered result",
     sizeof(EqRecord), ProcessPeakEq, InitialiseEq, ProcessBiquadCascade},
    {kLowShelfType, "Low Shelf", 4, 1, kProcessingColour,
     "LOW SHELF\r\n"
     "This component boosts or cuts every frequency below the corner frequency (a bass shelf).\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Corner frequency (Hz)\r\n"
     "in3: Gain (dB)\r\n"
     "in4: Q\r\n"
     "out1: Filtered result",
     sizeof(EqRecord), ProcessLowShelf, InitialiseEq, ProcessBiquadCascade},
    {kHighShelfType, "High Shelf", 4, 1, kProcessingColour,
     "HIGH SHELF\r\n"
     "This component boosts or cuts every frequency above the corner frequency (a treble shelf).\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Corner frequency (Hz)\r\n"
     "in3: Gain (dB)\r\n"
     "in4: Q\r\n"
     "out1: Filtered result",
     sizeof(EqRecord), ProcessHighShelf, InitialiseEq, ProcessBiquadCascade},
    {kAllpassType, "Allpass", 4, 1, kProcessingColour,
     "ALLPASS\r\n"
     "This component shifts the phase of the incoming samples around the centre frequency and leaves every level "
     "as it is; a chain of them swept together makes a phaser.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Centre frequency (Hz)\r\n"
     "in3: Gain (not used)\r\n"
     "in4: Q\r\n"
     "out1: Filtered result",
     sizeof(EqRecord), ProcessAllpass, InitialiseEq, ProcessBiquadCascade},
};

}  // namespace korvel
