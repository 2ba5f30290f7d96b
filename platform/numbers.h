// Numeric conversions with the program's rounding: to the nearest integer, halves to the even
// neighbour (37.5 -> 38, 12.5 -> 12), raising overflow (6) when the result does not fit. Several
// tables, palettes and GIF delays depend on exactly this rounding, so every fractional-to-integer
// conversion in the core goes through these functions.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

// Round half to even, as a double holding an integral value.
double RoundHalfEven(double v);

int16_t CInt(double v);   // 16-bit signed; overflow outside -32768..32767
int32_t CLng(double v);   // 32-bit signed
uint8_t CByte(double v);  // 0..255

// Checked 16-bit arithmetic for the values the design keeps in 16 bits (frame counts, ...).
int16_t AddInt16(int32_t a, int32_t b);
int32_t MulInt32(int64_t a, int64_t b);  // checked 32-bit product
int32_t AddInt32(int64_t a, int64_t b);  // checked 32-bit sum

// Whether a text reads as a number the way the frame-rate field is checked: optional blanks, an
// optional sign, digits with at most one decimal point, an optional exponent. Empty is not numeric.
bool IsNumeric(std::string_view text);
// The value of a numeric text; raises error 13-like invalid call (5) when IsNumeric is false.
double ParseNumber(std::string_view text);

}  // namespace qm
