// The module's own JSON writer: compact output appended to a caller-owned
// buffer (a std::string, or the LineBuffer an engine builds its log lines
// in), so that a whole record line can be built in one allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/escape_room.h"
#include "json/line_buffer.h"

namespace vorm_zel {

// A double quote, the UTF-8 bytes with the JSON escapes applied, a double
// quote, written in place after what out holds (utf8 must not point into
// out). Bytes of multi-byte UTF-8 sequences, 0x7F and '/' are copied
// unchanged.
void append_json_string(std::string& out, std::string_view utf8);
void append_json_string(LineBuffer& out, std::string_view utf8);

// The kernel that escapes whole blocks of a string. All give identical bytes;
// the fastest one the CPU supports is picked on first use. Tests select each
// in turn to prove that.
enum class EscapeKernel { baseline, avx2 };
[[nodiscard]] bool escape_kernel_supported(EscapeKernel kernel) noexcept;
void select_escape_kernel(EscapeKernel kernel) noexcept;

// How far past out.size() append_json_string sizes out before it writes a
// text of `bytes` bytes: callers that reserve this much for each string spare
// the writer any reallocation unless a text needs more than an eighth of its
// length in extra escape bytes.
[[nodiscard]] constexpr std::size_t json_string_room(std::size_t bytes) noexcept {
    // An eighth for escapes, two quotes, and one block's worst case.
    return bytes + bytes / 8 + 2 + kEscapeBlockRoom;
}

// Plain decimal, '-' before negative values, no leading zeros.
void append_json_int(std::string& out, std::int64_t value);
void append_json_uint(std::string& out, std::uint64_t value);
void append_json_uint(LineBuffer& out, std::uint64_t value);

// NaN and infinities as null; zero as 0.0 or -0.0; otherwise the shortest
// digits that read back to the same double, in fixed notation with at least
// one digit after the point when the decimal exponent d of the first digit
// lies in [-5, 15], else as d.ddde+X / de-X (1e16 -> "1e+16").
void append_json_float(std::string& out, double value);
void append_json_float(LineBuffer& out, double value);

}  // namespace vorm_zel
