#include "json/writer.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/hex.h"
#include "common/shortest_digits.h"

namespace vorm_zel {

namespace {

constexpr bool needs_escape(unsigned char byte) noexcept {
    return byte < 0x20 || byte == '"' || byte == '\\';
}

// The high bit of each byte of the result is set exactly where `word` holds a
// byte below 0x20, a double quote or a backslash. Adding to the low seven bits
// of a byte never carries into the next one, so every byte is judged alone.
constexpr std::uint64_t escape_flags(std::uint64_t word) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
    constexpr std::uint64_t kHigh = ~kLow7;
    const auto zero_bytes = [](std::uint64_t w) { return ~(((w & kLow7) + kLow7) | w) & kHigh; };
    const std::uint64_t below_space = ~(((word & kLow7) + kOnes * (0x80 - 0x20)) | word) & kHigh;
    return below_space | zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\'));
}

// Gathers short runs and escapes on the stack and hands them to the output in
// few appends; long runs go to the output directly, in one piece. The owner
// calls flush() at the end (not a destructor: an append may throw).
class StringSink {
public:
    explicit StringSink(std::string& out) noexcept : out_(out) {}
    StringSink(const StringSink&) = delete;
    StringSink& operator=(const StringSink&) = delete;

    void put(char c) {
        if (used_ == sizeof buf_) {
            flush();
        }
        buf_[used_++] = c;
    }

    void run(const char* begin, const char* end) {
        const auto n = static_cast<std::size_t>(end - begin);
        if (n > sizeof buf_ - used_) {
            flush();
            if (n > sizeof buf_ / 2) {
                out_.append(begin, n);
                return;
            }
        }
        std::memcpy(buf_ + used_, begin, n);
        used_ += n;
    }

    void escape(unsigned char byte) {
        if (sizeof buf_ - used_ < 6) {
            flush();
        }
        char* p = buf_ + used_;
        *p++ = '\\';
        switch (byte) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\t': *p++ = 't'; break;
            case '\n': *p++ = 'n'; break;
            case '\f': *p++ = 'f'; break;
            case '\r': *p++ = 'r'; break;
            default: {
                // Remaining control bytes 0x00-0x1F: \u00 and two lower-case digits.
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = kHexDigits[byte >> 4];
                *p++ = kHexDigits[byte & 0x0F];
                break;
            }
        }
        used_ = static_cast<std::size_t>(p - buf_);
    }

    void flush() {
        out_.append(buf_, used_);
        used_ = 0;
    }

private:
    std::string& out_;
    std::size_t used_ = 0;
    char buf_[1024];
};

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
    StringSink sink(out);
    sink.put('"');
    const char* run_start = utf8.data();
    const char* p = run_start;
    const char* const end = utf8.data() + utf8.size();
    const auto escape_at = [&](const char* at) {
        sink.run(run_start, at);
        sink.escape(static_cast<unsigned char>(*at));
        run_start = at + 1;
    };
#if defined(__SSE2__)
    // Sixteen bytes at a time: a mask bit per byte that needs an escape (a
    // byte at most 0x1F, a double quote or a backslash).
    {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i last_control = _mm_set1_epi8(0x1F);
        for (; end - p >= 16; p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, last_control), last_control);
            const __m128i marked = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), control);
            for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(marked)); mask != 0; mask &= mask - 1) {
                escape_at(p + std::countr_zero(mask));
            }
        }
    }
#endif
    // Eight bytes at a time: the flags of a word say exactly which of its
    // bytes need an escape (byte i of the word is byte i of the text).
    if constexpr (std::endian::native == std::endian::little) {
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            for (std::uint64_t flags = escape_flags(word); flags != 0; flags &= flags - 1) {
                escape_at(p + std::countr_zero(flags) / 8);
            }
        }
    }
    for (; p != end; ++p) {
        if (needs_escape(static_cast<unsigned char>(*p))) {
            escape_at(p);
        }
    }
    sink.run(run_start, end);
    sink.put('"');
    sink.flush();
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
