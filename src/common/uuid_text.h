// Version-4 UUID text: 36 lower-case characters in the groups 8-4-4-4-12.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vorm_zel {

inline constexpr std::size_t kUuidTextLength = 36;

// Sets the version (byte 6 high nibble = 4) and variant (byte 8 high bits =
// 10) bits on a copy of the 16 random bytes and renders them.
std::string uuid_text(std::array<std::uint8_t, 16> random_bytes);

// Appends the same text to out (used for the record id "zel_" + uuid).
void append_uuid_text(std::string& out, std::array<std::uint8_t, 16> random_bytes);

// prefix + the text of 16 fresh bytes from the OS random source, or the
// failure "could not retrieve random bytes for uuid: unexpected situation".
[[nodiscard]] Result<std::string> random_uuid_text(std::string_view prefix = {});

}  // namespace vorm_zel
