// The noise-shaping filter of --dither shaped: where the requantisation
// noise of 16-bit output is moved so that it is heard least.
#pragma once

#include <vector>

namespace korvel::cli {

// Taps a1..aM of the noise transfer function 1 + a1 z^-1 + ... + aM z^-M
// for `rate`. Its magnitude follows the threshold of hearing (Terhardt's
// approximation of the ISO curve), held level below 1 kHz and at most 25 dB
// above its lowest point, and its mean log magnitude is zero, as it must be
// for a minimum-phase filter that starts with 1: the noise is pushed out of
// the 2-5 kHz region where the ear is keenest into the highest band.
std::vector<double> NoiseShapingTaps(int rate);

}  // namespace korvel::cli
