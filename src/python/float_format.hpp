// Number texts of the value classes' representations.
#pragma once

#include <string>

namespace jointbus::python {

// The shortest decimal that converts back to the same single-precision value, written
// positionally (never with an exponent) and without ".0" for whole values: 12.566, 30,
// 0.0000001, -0, NaN, inf, -inf.
void append_shortest(std::string& out, float value);

// Exactly four decimals, rounded from the exact value to nearest with ties to even; a
// negative value that rounds to zero keeps its sign (-0.0000). NaN, inf, -inf as words.
void append_four_decimals(std::string& out, float value);

}  // namespace jointbus::python
