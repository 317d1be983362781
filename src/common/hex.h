// Lower-case hexadecimal text, two digits per byte, high nibble first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vorm_zel {

void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
std::string to_hex(std::span<const std::uint8_t> bytes);

}  // namespace vorm_zel
