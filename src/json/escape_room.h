// How much output one block of the string escaper may need: shared by the
// writer, which sizes its output, and the kernels, which fill it.
#pragma once

#include <cstddef>

namespace vorm_zel {

// The widest block any escaping kernel takes at once.
inline constexpr std::size_t kMaxEscapeBlock = 32;
// Six bytes out per byte in at most; the last block copy and the last
// eight-byte escape store may reach a little past them.
inline constexpr std::size_t kEscapeBlockRoom = 6 * kMaxEscapeBlock + kMaxEscapeBlock + 8;

}  // namespace vorm_zel
