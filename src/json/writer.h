// The module's own JSON writer: compact output appended to a caller-owned
// buffer, so that a whole record line can be built in one allocation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorm_zel {

// A double quote, the UTF-8 bytes with the JSON escapes applied, a double
// quote. Runs of bytes that need no escape are copied in one piece; bytes of
// multi-byte UTF-8 sequences, 0x7F and '/' are copied unchanged.
void append_json_string(std::string& out, std::string_view utf8);

// Plain decimal, '-' before negative values, no leading zeros.
void append_json_int(std::string& out, std::int64_t value);
void append_json_uint(std::string& out, std::uint64_t value);

// NaN and infinities as null; zero as 0.0 or -0.0; otherwise the shortest
// digits that read back to the same double, in fixed notation with at least
// one digit after the point when the decimal exponent d of the first digit
// lies in [-5, 15], else as d.ddde+X / de-X (1e16 -> "1e+16").
void append_json_float(std::string& out, double value);

}  // namespace vorm_zel
