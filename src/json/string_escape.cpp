// The escaper's baseline kernel (16-byte blocks: SSE2 on x86-64, two 64-bit
// words elsewhere) and the choice among the kernels.
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/cpu_features.h"
#include "json/string_escape.h"
#include "json/writer.h"

namespace vorm_zel {
namespace {

#if !defined(__SSE2__)
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
#endif

struct Lanes16 {
    static constexpr std::size_t kBlock = 16;

    static unsigned mask(const char* p) noexcept {
#if defined(__SSE2__)
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i last_control = _mm_set1_epi8(0x1F);
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, last_control), last_control);
        const __m128i marked =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
                         control);
        return static_cast<unsigned>(_mm_movemask_epi8(marked));
#else
        unsigned mask = 0;
        for (std::size_t half = 0; half < 2; ++half) {
            std::uint64_t word = 0;
            for (std::size_t i = 0; i < 8; ++i) {  // byte i of the text at bit 8i, on any endianness
                word |= std::uint64_t{static_cast<unsigned char>(p[8 * half + i])} << (8 * i);
            }
            // The flags sit at bits 7, 15, ..., 63; the multiply gathers them into the top byte.
            const std::uint64_t gathered = ((escape_flags(word) >> 7) * 0x0102040810204080) >> 56;
            mask |= static_cast<unsigned>(gathered) << (8 * half);
        }
        return mask;
#endif
    }

    static void copy(char* to, const char* from) noexcept { std::memcpy(to, from, kBlock); }
};

EscapeBlocksFn g_escape_blocks = nullptr;  // chosen on first use, under the GIL

}  // namespace

EscapeCursor escape_blocks_16(EscapeCursor cursor, const char* in_end,
                              const char* out_limit) noexcept {
    return escape_blocks<Lanes16>(cursor, in_end, out_limit);
}

EscapeBlocksFn escape_blocks_kernel() noexcept {
    if (g_escape_blocks == nullptr) {
        select_escape_kernel(escape_kernel_supported(EscapeKernel::avx2) ? EscapeKernel::avx2
                                                                         : EscapeKernel::baseline);
    }
    return g_escape_blocks;
}

bool escape_kernel_supported(EscapeKernel kernel) noexcept {
#if defined(__x86_64__)
    return kernel == EscapeKernel::baseline || cpu_has_avx2();
#else
    return kernel == EscapeKernel::baseline;
#endif
}

void select_escape_kernel(EscapeKernel kernel) noexcept {
    g_escape_blocks = escape_blocks_16;
#if defined(__x86_64__)
    if (kernel == EscapeKernel::avx2 && cpu_has_avx2()) {
        g_escape_blocks = escape_blocks_avx2;
    }
#endif
}

}  // namespace vorm_zel
