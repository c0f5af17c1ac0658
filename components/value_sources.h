// Value sources: one constant per block, from the record, the host's timing
// or the largest unclipped sample value; and the sources the host drives: a
// Slider Interface following a host parameter, and the Note components
// following the notes the host plays.
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
inline constexpr int kSliderType = 87;
inline constexpr int kNoteFrequencyType = 88;
inline constexpr int kNoteWavePeriodType = 89;
inline constexpr int kNoteTriggerType = 90;

inline constexpr double kMaxSampleValue = 32767.0;

struct ConstantRecord : ComponentRecord {
  double value;
};

// Output = minimum + (maximum - minimum) x the bound parameter's value. The
// settings (parameter, minimum, maximum) change only by renewing the record;
// the rest is the audio thread's.
struct SliderRecord : ComponentRecord {
  std::int32_t parameter;  // 0..24, host parameter parameter + 1
  double minimum;
  double maximum;
  double last;           // [audio thread] output at the end of the last block
  std::uint8_t started;  // [audio thread] a block has been produced
  double ramp[kMaxBlockValues];
};
inline constexpr double kSliderDefaultMinimum = 0.0;
inline constexpr double kSliderDefaultMaximum = 1.0;
void InitialiseSlider(ComponentRecord* self);

// The Note components' output when it changes within a block.
struct NoteSourceRecord : ComponentRecord {
  double values[kMaxBlockValues];
};

// "value" for a constant; "parameter" (1..25), "min" and "max" for a Slider.
extern const TypeSettings kConstantSettings;
extern const TypeSettings kSliderSettings;

void ProcessConstant(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSampleRate(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSamplesPerTick(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessMaxSample(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBpm(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessTpb(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBpb(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSlider(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessNoteFrequency(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessNoteWavePeriod(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessNoteTrigger(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kValueSourceTypes[] = {
    {kConstantType, "constant", 0, 1, kValueSourceColour,
     "CONSTANT\r\n"
     "The constant component outputs a fixed constant value that is specified in the component's "
     "settings.\r\n\r\n"
     "out1: constant value",
     sizeof(ConstantRecord), ProcessConstant, nullptr, nullptr, &kConstantSettings},
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
    {kSliderType, "Slider", 0, 1, kValueSourceColour,
     "SLIDER INTERFACE\r\n"
     "This component outputs the value of one of the module's 25 host parameters, scaled from 0..1 to "
     "the range Min..Max given in the component's settings. When the host moves the parameter, the output "
     "glides to the new value across one block, so automation does not click.\r\n\r\n"
     "out1: Min + (Max - Min) x parameter value",
     sizeof(SliderRecord), ProcessSlider, InitialiseSlider, nullptr, &kSliderSettings},
    {kNoteFrequencyType, "Note Frequency", 0, 1, kValueSourceColour,
     "NOTE FREQUENCY\r\n"
     "This component outputs the frequency in Hz of the most recent note that is held (note 69 is 440 Hz). "
     "After the last note is released it keeps that note's frequency; before any note it outputs 0. It "
     "changes at the exact sample of each note event.\r\n\r\n"
     "out1: frequency in Hz",
     sizeof(NoteSourceRecord), ProcessNoteFrequency},
    {kNoteWavePeriodType, "Note WavePeriod", 0, 1, kValueSourceColour,
     "NOTE WAVEPERIOD\r\n"
     "This component outputs the length of one period of the most recent held note, in samples at the "
     "current samplerate (eg. 100.23 for note 69 at 44100). Before any note it outputs 0.\r\n\r\n"
     "out1: period in samples",
     sizeof(NoteSourceRecord), ProcessNoteWavePeriod},
    {kNoteTriggerType, "Note Trigger", 0, 1, kValueSourceColour,
     "NOTE TRIGGER\r\n"
     "This component outputs 1 while any note is held and 0 otherwise, changing at the exact sample of "
     "each note event: a gate.\r\n\r\n"
     "out1: gate, 0 or 1",
     sizeof(NoteSourceRecord), ProcessNoteTrigger},
};

}  // namespace korvel
