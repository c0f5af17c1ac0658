// Arithmetic components: x+y, x-y, x*y, x/y and x^y, value by value, in place.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kAddType = 10;
inline constexpr int kSubtractType = 11;
inline constexpr int kMultiplyType = 12;
inline constexpr int kDivideType = 13;
inline constexpr int kPowerType = 14;

void ProcessAdd(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessSubtract(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessMultiply(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessDivide(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessPower(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kArithmeticTypes[] = {
    {kAddType, "x+y", 2, 1, kProcessingColour,
     "ADD(+)\r\n"
     "The add component adds together both inputs and outputs the result (input1 + input2 = output1)\r\n\r\n"
     "in1: first operand\r\n"
     "in2: second operand\r\n"
     "out1: result of adding both operand",
     sizeof(ComponentRecord), ProcessAdd},
    {kSubtractType, "x-y", 2, 1, kProcessingColour,
     "SUBTRACT(-)\r\n"
     "The subtract component subtracts the second operand from the first operand and outputs the result. "
     "(input1 - input2 = output1). Having only a input on the 2nd input would output the input but with "
     "it's value inverted.\r\n\r\n"
     "in1: first operand\r\n"
     "in2: second operand\r\n"
     "out1: result of subtracting operand 2 from operand 1",
     sizeof(ComponentRecord), ProcessSubtract},
    {kMultiplyType, "x*y", 2, 1, kProcessingColour,
     "MULTIPLY(*)\r\n"
     "The multiply component multiplies the two inputs together and outputs the result. "
     "(input1 x input2 = output1)\r\n\r\n"
     "in1: first operand\r\n"
     "in2: second operand\r\n"
     "out1: result of multiplication",
     sizeof(ComponentRecord), ProcessMultiply},
    {kDivideType, "x/y", 2, 1, kProcessingColour,
     "DIVIDE(/)\r\n"
     "This component divides input1 over input2 and outputs the result. (input1 / input2 = output1).\r\n\r\n"
     "in1: first operand\r\n"
     "in2: second operand\r\n"
     "out1: result of dividing input 1 over input 2",
     sizeof(ComponentRecord), ProcessDivide},
    {kPowerType, "x^y", 2, 1, kProcessingColour,
     "POWER(x^y)\r\n"
     "This component gives the result of x1 to the power of x2\r\n\r\n"
     "in1: first operand\r\n"
     "in2: second operand\r\n"
     "out1: result of operand 1 to the power of operand 2\r\n",
     sizeof(ComponentRecord), ProcessPower},
};

}  // namespace korvel
