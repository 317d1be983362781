// Shortest round-trip decimal digits of a double, shared by the JSON writer's
// float rule and the seal number form, plus the two layouts both of them use.
#pragma once

#include <string>

namespace vorm_zel {

struct ShortestDigits {
    char digits[17];  // significant digits, no leading or trailing zeros
    int count;        // number of digits used, 1..17
    int exponent;     // decimal exponent of the first digit: value = d.ddd x 10^exponent
    bool negative;
};

// value must be finite and non-zero.
ShortestDigits shortest_digits(double value) noexcept;

// Positional notation with at least one digit after the point, '-' first when
// negative: 1 -> "1.0", 1.5e3 -> "1500.0", 1.2e-3 -> "0.0012".
void append_positional(std::string& out, const ShortestDigits& sd);

// The first digit, then '.' and the remaining digits only if there are any,
// then 'e' and the exponent without leading zeros; '-' first when negative.
// A non-negative exponent gets a '+' only when plus_on_positive_exponent is
// set: 1e16 -> "1e+16" or "1e16"; 1.5e-7 -> "1.5e-7" either way.
void append_scientific(std::string& out, const ShortestDigits& sd, bool plus_on_positive_exponent);

}  // namespace vorm_zel
