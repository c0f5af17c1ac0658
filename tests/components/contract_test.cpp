// What every component type answers through its dispatch function: the
// contract the engine and the editor build boxes from. Two types a line.
#include <string>

#include "tests/components/component_harness.h"

namespace korvel::testing {
namespace {

const struct { int type; const char* name; int inputs, outputs; std::uint32_t colour; const char* info; } kTypes[] = {
    {0, "In", 0, 16, 0xA1F66D, "IN\r\n\r\nThis component outputs a stream of samples that enters from outside the current module.\r\n\r\nout1: stream of samples"}, {1, "Out", 16, 0, 0xA1F66D, "OUT\r\nThis component outputs a stream of samples that will be sent off back into the host's effect chain.\r\n\r\nin1: output stream of samples"},
    {2, "Replicator", 1, 8, 0xA1F66D, "REPLICATOR\r\nThis component replicates the input signal and splits it into multiple outputs.\r\n\r\nin1: signal to replicate\r\nout1 - out8: same as in1"}, {3, "Group", 16, 16, 0xA1F66D, "GROUP\r\nThis component can be used to create submodules within the module.\r\n\r\nin1 - in64: These feed the group with input\r\nout1 - out64: These are the output of the group"},
    {5, "Generic", 1, 0, 0xA1F66D, "GENERIC\r\nThis component appears when the component meant to be here (ie a plugin) could not be found. This plugin does not process input, and outputs nothing."}, {10, "x+y", 2, 1, 0xF5B963, "ADD(+)\r\nThe add component adds together both inputs and outputs the result (input1 + input2 = output1)\r\n\r\nin1: first operand\r\nin2: second operand\r\nout1: result of adding both operand"},
    {11, "x-y", 2, 1, 0xF5B963, "SUBTRACT(-)\r\nThe subtract component subtracts the second operand from the first operand and outputs the result. (input1 - input2 = output1). Having only a input on the 2nd input would output the input but with it's value inverted.\r\n\r\nin1: first operand\r\nin2: second operand\r\nout1: result of subtracting operand 2 from operand 1"}, {12, "x*y", 2, 1, 0xF5B963, "MULTIPLY(*)\r\nThe multiply component multiplies the two inputs together and outputs the result. (input1 x input2 = output1)\r\n\r\nin1: first operand\r\nin2: second operand\r\nout1: result of multiplication"},
    {13, "x/y", 2, 1, 0xF5B963, "DIVIDE(/)\r\nThis component divides input1 over input2 and outputs the result. (input1 / input2 = output1).\r\n\r\nin1: first operand\r\nin2: second operand\r\nout1: result of dividing input 1 over input 2"}, {14, "x^y", 2, 1, 0xF5B963, "POWER(x^y)\r\nThis component gives the result of x1 to the power of x2\r\n\r\nin1: first operand\r\nin2: second operand\r\nout1: result of operand 1 to the power of operand 2\r\n"},
    {15, "LP filter", 3, 1, 0xF5B963, "LP FILTER\r\nThis component filters the incoming samples with a 12dB/oct Lowpass filter.\r\n\r\nin1: Input to be filtered\r\nin2: Cutoff\r\nin3: Resonance\r\nout1: Filtered result"}, {16, "HP filter", 3, 1, 0xF5B963, "HP FILTER\r\nThe highpass filter component filters the incoming samples with a 12dB/oct Highpass filter.\r\n\r\nin1: Input to be filtered\r\nin2: Cutoff\r\nin3: Resonance\r\nout1: Filtered result"},
    {17, "BP filter", 3, 1, 0xF5B963, "BP FILTER\r\nThe Bandpass filter component filters the incoming samples with a type of Bandpass filter.\r\n\r\nin1: Input to be filtered\r\nin2: Cutoff\r\nin3: Bandwidth\r\nout1: Filtered result"}, {18, "BR filter", 3, 1, 0xF5B963, "BR FILTER\r\nThe band reject filter component filters the incoming samples with a Notch (band reject) filter.\r\n\r\nin1: Input to be filtered\r\nin2: Cutoff\r\nin3: Bandwidth\r\nout1: Filtered result"},
    {19, "Moog filter", 3, 1, 0xF5B963, "COMPONENT: MOOG FILTER\r\nThis component filters the incoming samples with a 24dB/oct Lowpass Moog-style filter.\r\n\r\nin1: Input to be filtered\r\nin2: Cutoff\r\nin3: Resonance\r\nout1: Filtered result"}, {20, "State filter", 3, 4, 0xF5B963, "STATE FILTER\r\nThis component outputs 4 differently filtered signals\r\n\r\nin1: Input\r\nin2: Cutoff\r\nin3: Resonance\r\nout1: Lowpass output\r\nout2: Highpass output\r\nout3: Bandpass output\r\nout4: Notch output"},
    {22, "IIR5 filter", 6, 1, 0xF5B963, "IIR2 FILTER\r\nThis component filters the signal based on the biquad IIR coefficients given in \"Direct Form 1\" format.\r\n\r\nin1: Input\r\nin2: b0/a0\r\nin3: b1/a0\r\nin4: b2/a0\r\nin5: a1/a0\r\nin6: a2/a0\r\nout1: Filtered output\r\n"}, {23, "FIR5 filter", 10, 1, 0xF5B963, "STATE FILTER\r\nThis component filters the signal based on the 8th filter order FIR coefficients given.\r\n\r\nin1: Input\r\nin2: b0\r\nin3: b1\r\nin4: b2\r\nin5: b3\r\nin6: b4\r\nin7: b5\r\nin8: b6\r\nin9: b7\r\nin10: b8\r\nout1: Filtered output\r\n"},
    {60, "Peak EQ", 4, 1, 0xF5B963, "PEAK EQ\r\nThis component boosts or cuts a band of frequencies around the centre frequency (a peaking equaliser).\r\n\r\nin1: Input to be filtered\r\nin2: Centre frequency (Hz)\r\nin3: Gain (dB)\r\nin4: Q\r\nout1: Filtered result"}, {61, "Low Shelf", 4, 1, 0xF5B963, "LOW SHELF\r\nThis component boosts or cuts every frequency below the corner frequency (a bass shelf).\r\n\r\nin1: Input to be filtered\r\nin2: Corner frequency (Hz)\r\nin3: Gain (dB)\r\nin4: Q\r\nout1: Filtered result"},
    {62, "High Shelf", 4, 1, 0xF5B963, "HIGH SHELF\r\nThis component boosts or cuts every frequency above the corner frequency (a treble shelf).\r\n\r\nin1: Input to be filtered\r\nin2: Corner frequency (Hz)\r\nin3: Gain (dB)\r\nin4: Q\r\nout1: Filtered result"}, {63, "Allpass", 4, 1, 0xF5B963, "ALLPASS\r\nThis component shifts the phase of the incoming samples around the centre frequency and leaves every level as it is; a chain of them swept together makes a phaser.\r\n\r\nin1: Input to be filtered\r\nin2: Centre frequency (Hz)\r\nin3: Gain (not used)\r\nin4: Q\r\nout1: Filtered result"},
    {24, "Clip", 2, 1, 0xF5B963, "DISTORT CLIP\r\nThis component clips the first input by the threshold specified by the second input, and outputs the result.\r\n\r\nin1: input to be clipped\r\nin2: clipping threshold\r\nout1: result of clipping"}, {25, "Clip Top", 2, 1, 0xF5B963, "TOP CLIP DISTORTION\r\nThis component clips the top region (positive) of the first input by the threshold specified by the second input, and outputs the result.\r\n\r\nin1: input to be clipped\r\nin2: clipping threshold\r\nout1: result of clipping"},
    {26, "Clip Bottom", 2, 1, 0xF5B963, "BOTTOM CLIP DISTORTION\r\nThe bottom clip component clips the bottom region (negative) of the first input by the threshold specified by the second input, and outputs the result.\r\n\r\nin1: input to be clipped\r\nin2: clipping threshold\r\nout1: result of clipping"}, {27, "Delay Set", 2, 1, 0xF5B963, "DELAY SET\r\nThis component sets the value at the current delay position + input 2.\r\n\r\nin1: Value to be set\r\nin2: Delay in samples\r\nout1: Input 1"},
    {28, "Delay Add", 2, 1, 0xF5B963, "COMPONENT: DELAY ADD\r\nThe delay add component adds the value at the current delay position + input 2\r\n\r\nin1: The value to add\r\nin2: Delay in samples\r\nout1: Input 1"}, {29, "Delay Get", 2, 1, 0xF5B963, "DELAY GET\r\nThis component gets the sample at the current delay position + input 2.\r\n\r\nin1: Passthrough Input\r\nin2: Delay in samples\r\nout1: Input 1 + the delay line value"},
    {30, "Delay Get", 2, 1, 0xF5B963, "DELAY Z^-1 (1 sample delay)\r\nThis component delays the stream by one sample, useful for custom filters, convolvers, etc. the output is the input 1 sample ago.\r\n\r\nin1: input to be delayed by 1\r\nout1: input 1 sample ago"}, {31, "Delay Get", 2, 1, 0xF5B963, "DELAY SIMPLE\r\nThis component delays the signal by in2 samples.\r\n\r\nin1: Input\r\nin2: Delay in samples\r\nout1: Delayed signal"},
    {80, "constant", 0, 1, 0x69FFF6, "CONSTANT\r\nThe constant component outputs a fixed constant value that is specified in the component's settings.\r\n\r\nout1: constant value"}, {81, "Samplerate", 0, 1, 0x69FFF6, "SAMPLE RATE\r\nThis component outputs the fixed constant value of the current samplerate (eg. 44100)\r\n\r\nout1: sample rate"},
    {82, "SampsPerTick", 0, 1, 0x69FFF6, "SAMPLES PER TICK\r\nThe samples per tick component outputs the fixed constant value of the current samples per tick\r\n\r\nout1: samples per tick"}, {83, "V max", 0, 1, 0x69FFF6, "MAX SAMPLE VALUE\r\nThis component outputs the fixed constant value of the current maximum sample value that will not be clipped by the host's output. This number is normally 32767\r\n\r\nout1: the maximum sample value, always 32767"},
    {84, "BPM", 0, 1, 0x69FFF6, "BPM\r\nThis component outputs the current BPM or Beats per Minute\r\n\r\nout1: BPM value\r\n"}, {85, "TPB", 0, 1, 0x69FFF6, "TPB\r\nThis component outputs the current TPB, or Ticks per Beat\r\n\r\nout1: TPB value\r\n"},
    {86, "BPB", 0, 1, 0x69FFF6, "BPB\r\nThis component outputs the current BPB, or Beats per Bar\r\n\r\nout1: BPB value\r\n"},
    {87, "Slider", 0, 1, 0x69FFF6, "SLIDER INTERFACE\r\nThis component outputs the value of one of the module's 25 host parameters, scaled from 0..1 to the range Min..Max given in the component's settings. When the host moves the parameter, the output glides to the new value across one block, so automation does not click.\r\n\r\nout1: Min + (Max - Min) x parameter value"},
    {88, "Note Frequency", 0, 1, 0x69FFF6, "NOTE FREQUENCY\r\nThis component outputs the frequency in Hz of the most recent note that is held (note 69 is 440 Hz). After the last note is released it keeps that note's frequency; before any note it outputs 0. It changes at the exact sample of each note event.\r\n\r\nout1: frequency in Hz"},
    {89, "Note WavePeriod", 0, 1, 0x69FFF6, "NOTE WAVEPERIOD\r\nThis component outputs the length of one period of the most recent held note, in samples at the current samplerate (eg. 100.23 for note 69 at 44100). Before any note it outputs 0.\r\n\r\nout1: period in samples"},
    {90, "Note Trigger", 0, 1, 0x69FFF6, "NOTE TRIGGER\r\nThis component outputs 1 while any note is held and 0 otherwise, changing at the exact sample of each note event: a gate.\r\n\r\nout1: gate, 0 or 1"},
};

TEST(TypeContract, EveryTypeAnswersItsNameCountsColourAndInfoText) {
  int available = 0;
  for (int t = 0; t < kTypeCount; ++t) available += IsTypeAvailable(t);
  EXPECT_EQ(available, 41);
  static char info[kInfoBufferSize];
  for (const auto& e : kTypes) {
    SCOPED_TRACE(e.type);
    const ComponentDispatch dispatch = kComponentTypeTable.dispatch[e.type];
    ASSERT_TRUE(IsTypeAvailable(e.type) && dispatch(kGetInfo, info, nullptr) == 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(dispatch(kGetName, nullptr, nullptr)), e.name);
    EXPECT_EQ(dispatch(kGetInputCount, nullptr, nullptr), e.inputs);
    EXPECT_EQ(dispatch(kGetOutputCount, nullptr, nullptr), e.outputs);
    EXPECT_EQ(dispatch(kGetColour, nullptr, nullptr), static_cast<std::intptr_t>(e.colour));
    EXPECT_EQ(std::string(info), e.info);
    EXPECT_EQ(dispatch(7, nullptr, nullptr), 0);
  }
}

}  // namespace
}  // namespace korvel::testing
