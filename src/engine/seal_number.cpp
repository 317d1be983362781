#include "engine/seal_number.h"

#include <cmath>

#include "common/shortest_digits.h"

namespace vorm_zel {

void append_seal_number(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    if (value == 0.0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    const ShortestDigits sd = shortest_digits(value);
    // 0.0001 <= |x| < 1e16 exactly when the first significant digit of the
    // shortest digits sits at 10^-4 .. 10^15: the double nearest 0.0001 is the
    // only one whose shortest digits are "1e-4", and 1e16 is exact.
    if (sd.exponent >= -4 && sd.exponent <= 15) {
        append_positional(out, sd);
    } else {
        append_scientific(out, sd, /*plus_on_positive_exponent=*/false);
    }
}

}  // namespace vorm_zel
