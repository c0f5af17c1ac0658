// Value sources: one constant per block, from the record, the host's timing
// or the largest unclipped sample value.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kConstantType = 80;
inline constexpr int kSampleRateType = 81;
inline constexpr int kSamplesPerTickType = 82;
inline constexpr int kMaxSampleType = 83;
inline constexpr int kBpmType = 84;
inline constexpr int kTpbType = 85;
inline constexpr int kBpbType = 86;

inline constexpr double kMaxSampleValue = 32767.0;

// The module file and the settings dialog read and write `value`.
struct ConstantRecord : ComponentRecord {
  double value;
};

void ProcessConstant(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSampleRate(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSamplesPerTick(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessMaxSample(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBpm(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessTpb(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBpb(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kValueSourceTypes[] = {
    {kConstantType, "constant", 0, 1, kValueSourceColour,
     "CONSTANT\r\n"
     "The constant component outputs a fixed constant value that is specified in the component's "
     "settings.\r\n\r\n"
     "out1: constant value",
     sizeof(ConstantRecord), ProcessConstant},
    {kSampleRateType, "Samplerate", 0, 1, kValueSourceColour,
     "SAMPLE RATE\r\n"
     "This component outputs the fixed constant value of the current samplerate (eg. 44100)\r\n\r\n"
     "out1: sample rate",
     sizeof(ComponentRecord), ProcessSampleRate},
    {kSamplesPerTickType, "SampsPerTick", 0, 1, kValueSourceColour,
     "SAMPLES PER TICK\r\n"
     "The samples per tick component outputs the fixed constant value of the current samples per tick\r\n\r\n"
     "out1: samples per tick",
     sizeof(ComponentRecord), ProcessSamplesPerTick},
    {kMaxSampleType, "V max", 0, 1, kValueSourceColour,
     "MAX SAMPLE VALUE\r\n"
     "This component outputs the fixed constant value of the current maximum sample value that will not be "
     "clipped by the host's output. This number is normally 32767\r\n\r\n"
     "out1: the maximum sample value, always 32767",
     sizeof(ComponentRecord), ProcessMaxSample},
    {kBpmType, "BPM", 0, 1, kValueSourceColour,
     "BPM\r\n"
     "This component outputs the current BPM or Beats per Minute\r\n\r\n"
     "out1: BPM value\r\n",
     sizeof(ComponentRecord), ProcessBpm},
    {kTpbType, "TPB", 0, 1, kValueSourceColour,
     "TPB\r\n"
     "This component outputs the current TPB, or Ticks per Beat\r\n\r\n"
     "out1: TPB value\r\n",
     sizeof(ComponentRecord), ProcessTpb},
    {kBpbType, "BPB", 0, 1, kValueSourceColour,
     "BPB\r\n"
     "This component outputs the current BPB, or Beats per Bar\r\n\r\n"
     "out1: BPB value\r\n",
     sizeof(ComponentRecord), ProcessBpb},
};

}  // namespace korvel
