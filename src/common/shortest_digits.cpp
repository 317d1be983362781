#include "common/shortest_digits.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace vorm_zel {

ShortestDigits shortest_digits(double value) noexcept {
    ShortestDigits sd{};
    sd.negative = std::signbit(value);

    // The standard library's shortest scientific form ("d.ddde+XX" or "d.ddde-XX", no
    // precision given) is the round-trip digit string we need; only its
    // pieces are taken apart here. The longest output is 24 characters
    // ("1.2345678901234567e-308" plus a sign we never pass).
    char buf[32];
    const auto result =
        std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    if (result.ec != std::errc{}) {
        std::abort();  // cannot happen with a 32-byte buffer
    }
    const char* p = buf;
    const char* const end = result.ptr;

    int count = 0;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.') {
            sd.digits[count++] = *p;
        }
    }
    // Shortest output carries no trailing zeros; strip any anyway so that the
    // layouts can rely on the documented invariant.
    while (count > 1 && sd.digits[count - 1] == '0') {
        --count;
    }
    sd.count = count;

    // p is at 'e', followed by a sign and at least two exponent digits.
    ++p;
    const bool negative_exponent = *p == '-';
    ++p;
    int exponent = 0;
    for (; p != end; ++p) {
        exponent = exponent * 10 + (*p - '0');
    }
    sd.exponent = negative_exponent ? -exponent : exponent;
    return sd;
}

void append_positional(std::string& out, const ShortestDigits& sd) {
    if (sd.negative) {
        out.push_back('-');
    }
    const std::size_t count = static_cast<std::size_t>(sd.count);
    if (sd.exponent < 0) {
        // 0.000ddd: the point, then -exponent - 1 zeros, then all digits.
        out.append("0.");
        out.append(static_cast<std::size_t>(-sd.exponent - 1), '0');
        out.append(sd.digits, count);
        return;
    }
    const std::size_t integer_digits = static_cast<std::size_t>(sd.exponent) + 1;
    if (count <= integer_digits) {
        // Integral value: all digits, zeros up to the point, and ".0".
        out.append(sd.digits, count);
        out.append(integer_digits - count, '0');
        out.append(".0");
    } else {
        out.append(sd.digits, integer_digits);
        out.push_back('.');
        out.append(sd.digits + integer_digits, count - integer_digits);
    }
}

void append_scientific(std::string& out, const ShortestDigits& sd, bool plus_on_positive_exponent) {
    if (sd.negative) {
        out.push_back('-');
    }
    out.push_back(sd.digits[0]);
    if (sd.count > 1) {
        out.push_back('.');
        out.append(sd.digits + 1, static_cast<std::size_t>(sd.count - 1));
    }
    out.push_back('e');
    if (sd.exponent < 0) {
        out.push_back('-');
    } else if (plus_on_positive_exponent) {
        out.push_back('+');
    }
    char buf[8];
    const int magnitude = sd.exponent < 0 ? -sd.exponent : sd.exponent;
    const auto result = std::to_chars(buf, buf + sizeof buf, magnitude);
    out.append(buf, result.ptr);
}

}  // namespace vorm_zel
