// The escaper's AVX2 kernel: 32-byte blocks. This file alone is compiled with
// -mavx2, and its kernel only runs once the CPU has been seen to support it.
#include <immintrin.h>

#include "json/string_escape.h"

namespace vorm_zel {
namespace {

struct Avx2Lanes {
    static constexpr std::size_t kBlock = 32;

    static unsigned mask(const char* p) noexcept {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i last_control = _mm256_set1_epi8(0x1F);
        const __m256i control =
            _mm256_cmpeq_epi8(_mm256_max_epu8(bytes, last_control), last_control);
        const __m256i marked =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('"')),
                                            _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\\'))),
                            control);
        return static_cast<unsigned>(_mm256_movemask_epi8(marked));
    }

    static void copy(char* to, const char* from) noexcept {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
    }
};

}  // namespace

EscapeCursor escape_blocks_avx2(EscapeCursor cursor, const char* in_end,
                                const char* out_limit) noexcept {
    return escape_blocks<Avx2Lanes>(cursor, in_end, out_limit);
}

}  // namespace vorm_zel
