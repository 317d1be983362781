// Lower-case hexadecimal text, two digits per byte, high nibble first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vorm_zel {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes 2 * bytes.size() digits at out; returns the end of what it wrote.
char* write_hex(char* out, std::span<const std::uint8_t> bytes) noexcept;

void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
std::string to_hex(std::span<const std::uint8_t> bytes);

}  // namespace vorm_zel
