#include "json/writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/shortest_digits.h"
#include "json/string_escape.h"

namespace vorm_zel {

namespace {

template <typename Out, typename Integer>
void append_integer(Out& out, Integer value) {
    // 20 digits cover UINT64_MAX; INT64_MIN needs 19 digits and a sign.
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

// Out is std::string or LineBuffer: both have size, data and resize.
template <typename Out>
void append_string(Out& out, std::string_view utf8) {
    // The output is written in place: sized first for the text, a quote on
    // each side, an eighth more for escapes and one block's worst case, then
    // grown whenever less than a block's worst case is left, and cut to what
    // was written at the end.
    const char* const end = utf8.data() + utf8.size();
    const std::size_t start = out.size();
    out.resize(start + json_string_room(utf8.size()));
    EscapeCursor at{utf8.data(), out.data() + start};
    const auto room_left = [&] { return static_cast<std::size_t>(out.data() + out.size() - at.out); };
    const auto make_room = [&](std::size_t least) {
        const auto written = static_cast<std::size_t>(at.out - out.data());
        const auto left = static_cast<std::size_t>(end - at.in);
        out.resize(out.size() + std::max(least, left + left / 2) + kEscapeBlockRoom);
        at.out = out.data() + written;
    };
    *at.out++ = '"';
    // Whole blocks, the widest kernel first, then 16-byte blocks for what it
    // leaves; each returns early when the room runs short.
    for (const EscapeBlocksFn kernel : {escape_blocks_kernel(), escape_blocks_16}) {
        for (;;) {
            at = kernel(at, end, out.data() + out.size() - kEscapeBlockRoom);
            if (room_left() >= kEscapeBlockRoom) {
                break;  // it stopped for want of input
            }
            make_room(0);
        }
    }
    // The last bytes (fewer than two 16-byte blocks), one at a time.
    const std::size_t tail_room = 6 * static_cast<std::size_t>(end - at.in) + sizeof(std::uint64_t) + 1;
    if (room_left() < tail_room) {
        make_room(tail_room);
    }
    for (; at.in != end; ++at.in) {
        at.out = put_escaped(at.out, static_cast<unsigned char>(*at.in));
    }
    *at.out++ = '"';
    out.resize(static_cast<std::size_t>(at.out - out.data()));
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
    append_string(out, utf8);
}

void append_json_string(LineBuffer& out, std::string_view utf8) {
    append_string(out, utf8);
}

void append_json_int(std::string& out, std::int64_t value) {
    append_integer(out, value);
}

void append_json_uint(std::string& out, std::uint64_t value) {
    append_integer(out, value);
}

void append_json_uint(LineBuffer& out, std::uint64_t value) {
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

void append_json_float(LineBuffer& out, double value) {
    // The number's text is made in a string of this thread's, kept between
    // calls so that a line's two numbers cost no allocation.
    thread_local std::string text;
    text.clear();
    append_json_float(text, value);
    out += text;
}

}  // namespace vorm_zel
