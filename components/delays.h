// Delay components over the engine's global delay line 0, and the one-frame
// Z^-1 delay with its own memory.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kDelaySetType = 27;
inline constexpr int kDelayAddType = 28;
inline constexpr int kDelayGetType = 29;
inline constexpr int kDelayZType = 30;
inline constexpr int kDelaySimpleType = 31;
inline constexpr int kDelayTapType = 32;

// The own buffer carries output 1 when no source buffer can; it holds the
// engine's largest block.
struct DelayRecord : ComponentRecord {
  double own[kMaxBlockValues];
};

struct DelayZRecord : ComponentRecord {
  double own[kMaxBlockValues];
  double held[2];  // each channel's previous input
};

// Line position of a frame: (position + frame + delay) modulo the line
// length, for any delay. The delay is the control value truncated toward
// zero; values beyond the 64-bit range saturate and a NaN is no delay.
std::uint32_t DelayLinePosition(std::uint32_t position, int frame, double delay);
// The delay of Set, Add, Get and Simple as an offset in 0 .. line length - 1.
std::uint32_t DelayLineOffset(double delay);

// Delay Tap reads four neighbouring frames, `nearest` .. `nearest` + 3
// frames back, and weighs them by cubic (four-point Lagrange) interpolation
// so that the result lies `delay` frames back. The delay is held to 0 ..
// kMaxTapDelay: a negative delay or NaN reads as 0, +inf as the longest.
// Below two frames the four frames are 0..3 back, so a tap never reads a
// frame ahead of its own.
inline constexpr double kMaxTapDelay = kDelayLineLength - 4.0;
struct TapPoint {
  std::uint32_t nearest;
  double weight[4];
};
TapPoint TapAt(double delay);
// `nearest` of TapAt(delay), without the weights.
std::uint32_t TapNearest(double delay);

void ProcessDelaySet(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessDelayAdd(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessDelayGet(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessDelayZ(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessDelayTap(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kDelayTypes[] = {
    {kDelaySetType, "Delay Set", 2, 1, kProcessingColour,
     "DELAY SET\r\n"
     "This component sets the value at the current delay position + input 2.\r\n\r\n"
     "in1: Value to be set\r\n"
     "in2: Delay in samples\r\n"
     "out1: Input 1",
     sizeof(DelayRecord), ProcessDelaySet, nullptr, nullptr, nullptr, LineAccess::kWriteAhead},
    {kDelayAddType, "Delay Add", 2, 1, kProcessingColour,
     "COMPONENT: DELAY ADD\r\n"
     "The delay add component adds the value at the current delay position + input 2\r\n\r\n"
     "in1: The value to add\r\n"
     "in2: Delay in samples\r\n"
     "out1: Input 1",
     sizeof(DelayRecord), ProcessDelayAdd, nullptr, nullptr, nullptr, LineAccess::kWriteAhead},
    {kDelayGetType, "Delay Get", 2, 1, kProcessingColour,
     "DELAY GET\r\n"
     "This component gets the sample at the current delay position + input 2.\r\n\r\n"
     "in1: Passthrough Input\r\n"
     "in2: Delay in samples\r\n"
     "out1: Input 1 + the delay line value",
     sizeof(DelayRecord), ProcessDelayGet, nullptr, nullptr, nullptr, LineAccess::kReadAhead},
    {kDelayZType, "Delay Get", 2, 1, kProcessingColour,
     "DELAY Z^-1 (1 sample delay)\r\n"
     "This component delays the stream by one sample, useful for custom filters, convolvers, etc. the output "
     "is the input 1 sample ago.\r\n\r\n"
     "in1: input to be delayed by 1\r\n"
     "out1: input 1 sample ago",
     sizeof(DelayZRecord), ProcessDelayZ},
    // Reads the line exactly as Delay Get does.
    {kDelaySimpleType, "Delay Get", 2, 1, kProcessingColour,
     "DELAY SIMPLE\r\n"
     "This component delays the signal by in2 samples.\r\n\r\n"
     "in1: Input\r\n"
     "in2: Delay in samples\r\n"
     "out1: Delayed signal",
     sizeof(DelayRecord), ProcessDelayGet, nullptr, nullptr, nullptr, LineAccess::kReadAhead},
    {kDelayTapType, "Delay Tap", 2, 1, kProcessingColour,
     "DELAY TAP\r\n"
     "This component reads the delay line in2 samples in the past, between samples when in2 has a fraction, "
     "and adds it to input 1. A Delay Set with in2 = 0 before it and in2 = 100.5 here delays by 100.5 "
     "samples.\r\n\r\n"
     "in1: Passthrough Input\r\n"
     "in2: Delay in samples, 0 or more (fractions allowed)\r\n"
     "out1: Input 1 + the delay line value in2 samples ago",
     sizeof(DelayRecord), ProcessDelayTap, nullptr, nullptr, nullptr, LineAccess::kReadBehind},
};

}  // namespace korvel
