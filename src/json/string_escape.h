// The JSON string escaper's parts shared by its block kernels: the escaped
// form of every byte, and the loop that escapes whole blocks of a text. Each
// kernel (string_escape.cpp, string_escape_avx2.cpp) instantiates the loop
// with its own block width in its own translation unit, compiled for its own
// instruction set; everything here has internal linkage so that no
// out-of-line copy built for one instruction set can stand in for another's.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/hex.h"
#include "json/escape_room.h"

namespace vorm_zel {

// Where an escaper has got to: the next byte of input, the next byte of output.
struct EscapeCursor {
    const char* in;
    char* out;
};

// Escapes whole blocks from cursor.in while at least two blocks of input
// remain before in_end and cursor.out has not passed out_limit, and returns
// where it stopped. The caller guarantees kEscapeBlockRoom bytes of output
// past out_limit.
using EscapeBlocksFn = EscapeCursor (*)(EscapeCursor cursor, const char* in_end,
                                        const char* out_limit) noexcept;

EscapeCursor escape_blocks_16(EscapeCursor cursor, const char* in_end,
                              const char* out_limit) noexcept;
#if defined(__x86_64__)
EscapeCursor escape_blocks_avx2(EscapeCursor cursor, const char* in_end,
                                const char* out_limit) noexcept;
#endif

// The kernel to use: the one select_escape_kernel (writer.h) chose, or the
// fastest this CPU supports.
[[nodiscard]] EscapeBlocksFn escape_blocks_kernel() noexcept;

namespace {

// The escaped form of every byte value (the byte itself where none is needed),
// at most six bytes, padded to eight so that one store writes any of them.
// Plain arrays: indexing them calls no library function.
struct EscapeTable {
    std::uint64_t text[256] = {};
    std::uint8_t length[256] = {};
};

consteval EscapeTable make_escape_table() {
    EscapeTable table;
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::array<char, 8> form{};
        std::size_t length = 2;
        form[0] = '\\';
        switch (byte) {
            case '"': form[1] = '"'; break;
            case '\\': form[1] = '\\'; break;
            case '\b': form[1] = 'b'; break;
            case '\t': form[1] = 't'; break;
            case '\n': form[1] = 'n'; break;
            case '\f': form[1] = 'f'; break;
            case '\r': form[1] = 'r'; break;
            default:
                if (byte < 0x20) {
                    // Remaining control bytes 0x00-0x1F: \u00 and two lower-case digits.
                    form = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
                    length = 6;
                } else {
                    form = {static_cast<char>(byte)};
                    length = 1;
                }
                break;
        }
        std::uint64_t packed = 0;  // form[0] in the lowest byte, as a little-endian store wants
        for (std::size_t i = form.size(); i-- > 0;) {
            packed = packed << 8 | static_cast<unsigned char>(form[i]);
        }
        table.text[byte] = packed;
        table.length[byte] = static_cast<std::uint8_t>(length);
    }
    return table;
}

constexpr EscapeTable kEscapes = make_escape_table();

// Writes the escaped form of byte at out (eight bytes, of which the form's
// length count) and returns the end of the form.
[[gnu::always_inline]] inline char* put_escaped(char* out, unsigned char byte) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &kEscapes.text[byte], sizeof(std::uint64_t));
    } else {
        const std::uint64_t packed = kEscapes.text[byte];
        for (std::size_t i = 0; i < sizeof packed; ++i) {
            out[i] = static_cast<char>(packed >> (8 * i));
        }
    }
    return out + kEscapes.length[byte];
}

// The block loop. Lanes::kBlock is the block width; Lanes::mask(p) has bit i
// set where byte i of the block at p needs an escape (a byte at most 0x1F, a
// double quote or a backslash); Lanes::copy(to, from) copies one block. A run
// of plain bytes is copied a block at a time from its start, which may read
// up to a block past the current one: hence two blocks of input at least.
template <class Lanes>
[[gnu::always_inline]] inline EscapeCursor escape_blocks(EscapeCursor cursor, const char* in_end,
                                                         const char* out_limit) noexcept {
    constexpr std::size_t kBlock = Lanes::kBlock;
    static_assert(kBlock <= kMaxEscapeBlock);
    const char* p = cursor.in;
    char* w = cursor.out;
    while (static_cast<std::size_t>(in_end - p) >= 2 * kBlock && w <= out_limit) {
        auto mask = Lanes::mask(p);
        const char* run = p;
        for (; mask != 0; mask &= mask - 1) {
            // The builtin, not std::countr_zero: no out-of-line template
            // instance is shared between the kernels' instruction sets.
            const char* at = p + __builtin_ctz(mask);
            Lanes::copy(w, run);
            w = put_escaped(w + (at - run), static_cast<unsigned char>(*at));
            run = at + 1;
        }
        Lanes::copy(w, run);
        p += kBlock;
        w += p - run;
    }
    return {p, w};
}

}  // namespace

}  // namespace vorm_zel
