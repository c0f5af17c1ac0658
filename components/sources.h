// Sources inside the patch: a band-limited oscillator, an FM oscillator,
// noise, linear and exponential ADSR envelopes, an envelope follower and a
// step counter. Each computes one value per frame (per channel where the
// channels differ) from controls read per frame, so its output is the same
// at every block size; all of its state lives in its record.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kOscillatorType = 40;
inline constexpr int kFmOscillatorType = 41;
inline constexpr int kNoiseType = 42;
inline constexpr int kLinearAdsrType = 43;
inline constexpr int kExponentialAdsrType = 44;
inline constexpr int kEnvelopeFollowerType = 45;
inline constexpr int kStepCounterType = 46;

// The sources family's box colour (0x00BBGGRR): a soft pink.
inline constexpr std::uint32_t kSourceColour = 0xC8A0F8;

// The 16-bit scale's half: the default amplitude of the oscillators.
inline constexpr double kDefaultAmplitude = 16384.0;
inline constexpr double kDefaultNoiseLevel = 8192.0;
inline constexpr int kDefaultSteps = 16;
inline constexpr int kMaxSteps = 4096;

// Frames a band-limited corner takes to settle (the length of the
// Oscillator's step table, checked where it is used).
inline constexpr int kCornerFrames = 32;

// A gate or clock input: high while at or above 0.5; NaN is low.
struct EdgeState {
  std::uint8_t high;
  // True when the value goes from low to high.
  bool Rises(double value) {
    const bool now = value >= 0.5;
    const bool rises = now && high == 0;
    high = now ? 1 : 0;
    return rises;
  }
};

// [audio thread] everything but the header's output pointers is the
// process function's own.
struct OscillatorRecord : ComponentRecord {
  std::uint64_t phase;         // 2^64 per cycle
  std::uint64_t edge;          // the pulse's falling edge, as a phase
  double pulse_width;          // smoothed
  double cycles;               // the last frame's frequency, cycles per frame
  std::uint64_t step;          // the phase step for `cycles`
  double slope;                // the naive wave's slope at the last frame, per frame
  // Band-limited corrections for this block's frames and the kCornerFrames
  // after it, added in the order the corners come; the tail carries over.
  double pending[kMaxBlockFrames + kCornerFrames];
  std::int32_t shape;
  std::uint8_t started;
  std::uint8_t pulse_high;
  EdgeState sync;
  double out[kMaxBlockValues];
};

// Builds the tables the Oscillator reads, the first time one is made.
// [editor thread]
void InitialiseOscillator(ComponentRecord* self);

inline constexpr int kFmOversampling = 2;
inline constexpr int kFmDecimatorTaps = 128;

struct FmOscillatorRecord : ComponentRecord {
  std::uint64_t carrier;    // phases, 2^64 per cycle
  std::uint64_t modulator;
  double external;          // the external modulator at the last frame
  double history[2 * kFmDecimatorTaps];  // the oversampled wave, twice over so a window is contiguous
  std::uint32_t next;
  double out[kMaxBlockValues];
};

// Pink noise: first-order sections in series (a pole every half decade,
// a zero between each two) and one zero at the top; brown noise: a leaky
// integrator. Each runs while its colour is chosen and otherwise keeps its
// state.
inline constexpr int kMaxPinkSections = 12;

struct NoiseChannel {
  std::uint32_t state[4];  // xoshiro128+
  double pink[kMaxPinkSections];  // each section's previous output
  double pink_in;                 // the white value of the last frame
  double brown;
  double brown_in;
};

struct NoiseRecord : ComponentRecord {
  std::uint32_t seed;  // setting: "seed"
  std::uint8_t started;
  // The filters' coefficients, for `rate`.
  double rate;
  int pink_sections;
  double pink_pole[kMaxPinkSections];
  double pink_zero[kMaxPinkSections];
  double pink_gain;   // 1 / the pink filter's RMS for unit white
  double brown_pole;
  double brown_gain;
  NoiseChannel channel[2];
  double out[kMaxBlockValues];
};
// A new Noise gets a seed of its own.
void InitialiseNoise(ComponentRecord* self);
extern const TypeSettings kNoiseSettings;

enum class EnvelopeStage : std::uint8_t { kIdle, kAttack, kDecay, kSustain, kRelease };

struct AdsrRecord : ComponentRecord {
  double level;
  double start;       // the level the stage began at
  double frames;      // frames into the stage
  double coefficient_for;  // the stage length `coefficient` was computed for (exponential)
  double coefficient;
  EnvelopeStage stage;
  EdgeState gate;
  EdgeState retrigger;
  double out[kMaxBlockValues];
};

struct FollowerRecord : ComponentRecord {
  double mean_square[2];  // RMS mode: x^2 averaged over the attack time
  double hold[2];         // the level, falling at the release rate
  double level[2];        // what comes out
  double attack_for, attack;    // coefficients and the times (ms) they were computed for
  double release_for, release;
  double rate_for;
  double out[kMaxBlockValues];
};

struct StepCounterRecord : ComponentRecord {
  std::int32_t step;
  std::uint8_t started;
  EdgeState clock;
  EdgeState reset;
  double out[kMaxBlockValues];
};

void ProcessOscillator(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessFmOscillator(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessNoise(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessLinearAdsr(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessExponentialAdsr(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessEnvelopeFollower(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessStepCounter(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kSourceTypes[] = {
    {kOscillatorType, "Oscillator", 5, 1, kSourceColour,
     "OSCILLATOR\r\n"
     "A band-limited oscillator: sine, triangle, saw or pulse, from an LFO at a thousandth of a hertz to the top "
     "of the audio band, without aliasing. Frequency, pulse width and amplitude may move at every sample; a "
     "rising sync edge restarts the cycle. Both channels carry the same wave.\r\n\r\n"
     "in1: frequency in Hz (0 holds the wave still, negative runs it backwards; silent from half the "
     "samplerate up)\r\n"
     "in2: shape: 0 sine, 1 triangle, 2 saw, 3 pulse\r\n"
     "in3: pulse width 0..1 (unconnected 0.5, a square)\r\n"
     "in4: sync: rising through 0.5 restarts the cycle\r\n"
     "in5: amplitude (unconnected 16384)\r\n"
     "out1: the wave",
     sizeof(OscillatorRecord), ProcessOscillator, InitialiseOscillator},
    {kFmOscillatorType, "FM Oscillator", 5, 1, kSourceColour,
     "FM OSCILLATOR\r\n"
     "A sine carrier whose phase is modulated by a sine (or by the signal at in5): the classic two-operator "
     "FM tone, computed at twice the samplerate so that sidebands above the audio band do not fold back.\r\n\r\n"
     "in1: carrier frequency in Hz\r\n"
     "in2: modulator frequency in Hz\r\n"
     "in3: modulation index (peak phase deviation in radians)\r\n"
     "in4: amplitude (unconnected 16384)\r\n"
     "in5: external modulator; when connected it replaces the internal sine (16384 counts as 1)\r\n"
     "out1: the FM tone",
     sizeof(FmOscillatorRecord), ProcessFmOscillator},
    {kNoiseType, "Noise", 2, 1, kSourceColour,
     "NOISE\r\n"
     "White, pink or brown noise, independent on the two channels. Each Noise has its own seed, kept in the "
     "module, so a module renders the same noise every time.\r\n\r\n"
     "in1: level as RMS (unconnected 8192)\r\n"
     "in2: colour: 0 white, 1 pink (-3 dB/octave), 2 brown (-6 dB/octave)\r\n"
     "out1: noise",
     sizeof(NoiseRecord), ProcessNoise, InitialiseNoise, nullptr, &kNoiseSettings},
    {kLinearAdsrType, "Linear ADSR", 6, 1, kSourceColour,
     "LINEAR ADSR\r\n"
     "An attack-decay-sustain-release envelope in straight lines, to multiply a signal with. The gate's rising "
     "edge starts the attack from the current level, its falling edge the release; each stage lasts its time "
     "to the sample.\r\n\r\n"
     "in1: gate (on at 0.5 and above; a Note Trigger fits)\r\n"
     "in2: attack in ms\r\n"
     "in3: decay in ms\r\n"
     "in4: sustain level 0..1\r\n"
     "in5: release in ms\r\n"
     "in6: retrigger: a rising edge restarts the attack from the current level\r\n"
     "out1: the envelope 0..1",
     sizeof(AdsrRecord), ProcessLinearAdsr},
    {kExponentialAdsrType, "Exponential ADSR", 6, 1, kSourceColour,
     "EXPONENTIAL ADSR\r\n"
     "An attack-decay-sustain-release envelope whose stages are RC curves, each aimed past its target so that "
     "it arrives in its time to the sample. The gate's rising edge starts the attack from the current level, "
     "its falling edge the release.\r\n\r\n"
     "in1: gate (on at 0.5 and above; a Note Trigger fits)\r\n"
     "in2: attack in ms\r\n"
     "in3: decay in ms\r\n"
     "in4: sustain level 0..1\r\n"
     "in5: release in ms\r\n"
     "in6: retrigger: a rising edge restarts the attack from the current level\r\n"
     "out1: the envelope 0..1",
     sizeof(AdsrRecord), ProcessExponentialAdsr},
    {kEnvelopeFollowerType, "Envelope Follower", 4, 1, kSourceColour,
     "ENVELOPE FOLLOWER\r\n"
     "Follows the level of a signal, each channel its own: the peak, or the RMS averaged over the attack "
     "time, rising with the attack and falling with the release.\r\n\r\n"
     "in1: signal\r\n"
     "in2: attack in ms\r\n"
     "in3: release in ms\r\n"
     "in4: mode: 0 peak, 1 RMS\r\n"
     "out1: the level, on the signal's scale",
     sizeof(FollowerRecord), ProcessEnvelopeFollower},
    {kStepCounterType, "Step Counter", 3, 1, kSourceColour,
     "STEP COUNTER\r\n"
     "Counts clock edges round a sequence: each rising edge moves one step on, and after the last step "
     "comes step 0 again.\r\n\r\n"
     "in1: clock: rising through 0.5 advances one step\r\n"
     "in2: length in steps, 1..4096 (unconnected 16)\r\n"
     "in3: reset: rising through 0.5 returns to step 0\r\n"
     "out1: the step, 0..length-1",
     sizeof(StepCounterRecord), ProcessStepCounter},
};

}  // namespace korvel
