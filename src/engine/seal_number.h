// The number form used inside the seal text. It differs from the JSON
// writer's float rule: scientific notation below 0.0001 (not 0.00001) and no
// '+' on positive exponents (1e16, not 1e+16).
#pragma once

#include <string>

namespace vorm_zel {

// Zero and 0.0001 <= |x| < 1e16: positional with at least one digit after
// the point ("0.0", "1.0", "0.0001"). Otherwise first digit, optional '.' and
// the remaining digits, 'e', exponent ('-' only when negative). '-' before a
// negative x. NaN and infinities never occur in seals; they are written
// "NaN", "inf" and "-inf".
void append_seal_number(std::string& out, double value);

}  // namespace vorm_zel
