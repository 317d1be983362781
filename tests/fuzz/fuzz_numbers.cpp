// Whatever doubles go into the two number layouts (the JSON writer's float
// rule and the seal number form): the text reads back to the same double, its
// significant digits are the shortest ones, and it switches to scientific
// notation exactly where its rule says. NaN and infinities are null in JSON.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <system_error>

#include "engine/seal_number.h"
#include "json/writer.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The significant digits of a decimal text: no sign, point, exponent, or
// leading and trailing zeros.
std::string significant_digits(std::string_view text) {
    const std::size_t e = text.find_first_of("eE");
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        return "0";
    }
    digits.erase(0, first);
    digits.erase(digits.find_last_not_of('0') + 1);
    return digits;
}

// The shortest round-trip digits as the standard library finds them.
std::string shortest_digits(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific);
    check(result.ec == std::errc{});
    return significant_digits(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void check_json_float(double value) {
    std::string out;
    vorm_zel::append_json_float(out, value);
    if (!std::isfinite(value)) {
        check(out == "null");
        return;
    }
    const nlohmann::json parsed = nlohmann::json::parse(out, nullptr, false);
    check(parsed.is_number_float());
    check(same_bits(parsed.get<double>(), value));
    check(significant_digits(out) == shortest_digits(value));
    const double magnitude = std::fabs(value);
    const bool scientific = magnitude != 0.0 && (magnitude < 1e-5 || magnitude >= 1e16);
    check((out.find('e') != std::string::npos) == scientific);
    check(scientific || out.find('.') != std::string::npos);
    check(out.find("e+") == std::string::npos || magnitude >= 1e16);
}

void check_seal_number(double value) {
    if (!std::isfinite(value)) {
        return;  // scores are always finite; the seal form has no rule for these
    }
    std::string out;
    vorm_zel::append_seal_number(out, value);
    double back = 0;
    const auto result = std::from_chars(out.data(), out.data() + out.size(), back);
    check(result.ec == std::errc{} && result.ptr == out.data() + out.size());
    check(same_bits(back, value));
    check(significant_digits(out) == shortest_digits(value));
    const double magnitude = std::fabs(value);
    const bool scientific = magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16);
    check((out.find('e') != std::string::npos) == scientific);
    check(scientific || out.find('.') != std::string::npos);
    check(out.find('+') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t offset = 0; offset + sizeof(double) <= size; offset += sizeof(double)) {
        double value;
        std::memcpy(&value, data + offset, sizeof value);
        check_json_float(value);
        check_seal_number(value);
    }
    return 0;
}
