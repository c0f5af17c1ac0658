// Clipping components: limit in1 by the threshold on in2, in place.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kClipType = 24;
inline constexpr int kClipTopType = 25;
inline constexpr int kClipBottomType = 26;

void ProcessClip(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessClipTop(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessClipBottom(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kClippingTypes[] = {
    {kClipType, "Clip", 2, 1, kProcessingColour,
     "DISTORT CLIP\r\n"
     "This component clips the first input by the threshold specified by the second input, and outputs the "
     "result.\r\n\r\n"
     "in1: input to be clipped\r\n"
     "in2: clipping threshold\r\n"
     "out1: result of clipping",
     sizeof(ComponentRecord), ProcessClip},
    {kClipTopType, "Clip Top", 2, 1, kProcessingColour,
     "TOP CLIP DISTORTION\r\n"
     "This component clips the top region (positive) of the first input by the threshold specified by the "
     "second input, and outputs the result.\r\n\r\n"
     "in1: input to be clipped\r\n"
     "in2: clipping threshold\r\n"
     "out1: result of clipping",
     sizeof(ComponentRecord), ProcessClipTop},
    {kClipBottomType, "Clip Bottom", 2, 1, kProcessingColour,
     "BOTTOM CLIP DISTORTION\r\n"
     "The bottom clip component clips the bottom region (negative) of the first input by the threshold "
     "specified by the second input, and outputs the result.\r\n\r\n"
     "in1: input to be clipped\r\n"
     "in2: clipping threshold\r\n"
     "out1: result of clipping",
     sizeof(ComponentRecord), ProcessClipBottom},
};

}  // namespace korvel
