#include "common/json_writer.h"

#include <charconv>
#include <cmath>

#include "common/shortest_digits.h"

namespace vorm_zel {

namespace {

constexpr bool needs_escape(unsigned char byte) noexcept {
    return byte < 0x20 || byte == '"' || byte == '\\';
}

void append_escape(std::string& out, unsigned char byte) {
    switch (byte) {
        case '"':
            out.append("\\\"");
            return;
        case '\\':
            out.append("\\\\");
            return;
        case '\b':
            out.append("\\b");
            return;
        case '\t':
            out.append("\\t");
            return;
        case '\n':
            out.append("\\n");
            return;
        case '\f':
            out.append("\\f");
            return;
        case '\r':
            out.append("\\r");
            return;
        default: {
            // Remaining control bytes 0x00-0x1F: \u00 and two lower-case digits.
            constexpr char kHexDigits[] = "0123456789abcdef";
            const char escape[6] = {
                '\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
            out.append(escape, sizeof escape);
            return;
        }
    }
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
    // 20 digits cover UINT64_MAX; INT64_MIN needs 19 digits and a sign.
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
    out.reserve(out.size() + utf8.size() + 2);
    out.push_back('"');
    const char* run_start = utf8.data();
    const char* const end = utf8.data() + utf8.size();
    for (const char* p = run_start; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (needs_escape(byte)) {
            out.append(run_start, p);
            append_escape(out, byte);
            run_start = p + 1;
        }
    }
    out.append(run_start, end);
    out.push_back('"');
}

void append_json_int(std::string& out, std::int64_t value) {
    append_integer(out, value);
}

void append_json_uint(std::string& out, std::uint64_t value) {
    append_integer(out, value);
}

void append_json_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (value == 0.0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    const ShortestDigits sd = shortest_digits(value);
    // Fixed notation from 0.00001 up to (not including) 1e16.
    if (sd.exponent >= -5 && sd.exponent <= 15) {
        append_positional(out, sd);
    } else {
        append_scientific(out, sd, /*plus_on_positive_exponent=*/true);
    }
}

}  // namespace vorm_zel
