// The operating system's cryptographically secure random source.
#pragma once

#include <cstdint>
#include <span>

namespace vorm_zel {

// Fills buf completely. Returns 0 on success, else the errno value that the
// source reported (the caller builds its own message from it).
[[nodiscard]] int fill_os_random(std::span<std::uint8_t> buf) noexcept;

}  // namespace vorm_zel
