#include "common/uuid_text.h"

#include <span>

#include "common/hex.h"
#include "common/os_random.h"

namespace vorm_zel {

void append_uuid_text(std::string& out, std::array<std::uint8_t, 16> random_bytes) {
    // Version 4: high nibble of byte 6 is 0100.
    random_bytes[6] = static_cast<std::uint8_t>((random_bytes[6] & 0x0F) | 0x40);
    // RFC 4122 variant: the two high bits of byte 8 are 10.
    random_bytes[8] = static_cast<std::uint8_t>((random_bytes[8] & 0x3F) | 0x80);

    out.reserve(out.size() + kUuidTextLength);
    const std::span<const std::uint8_t> bytes(random_bytes);
    // Groups of 4, 2, 2, 2 and 6 bytes: 8-4-4-4-12 hex digits.
    append_hex(out, bytes.subspan(0, 4));
    out.push_back('-');
    append_hex(out, bytes.subspan(4, 2));
    out.push_back('-');
    append_hex(out, bytes.subspan(6, 2));
    out.push_back('-');
    append_hex(out, bytes.subspan(8, 2));
    out.push_back('-');
    append_hex(out, bytes.subspan(10, 6));
}

std::string uuid_text(std::array<std::uint8_t, 16> random_bytes) {
    std::string out;
    append_uuid_text(out, random_bytes);
    return out;
}

Result<std::string> random_uuid_text(std::string_view prefix) {
    std::array<std::uint8_t, 16> bytes{};
    if (fill_os_random(bytes) != 0) {
        return Unexpected{
            InternalFailure{"could not retrieve random bytes for uuid: unexpected situation"}};
    }
    std::string out(prefix);
    append_uuid_text(out, bytes);
    return out;
}

}  // namespace vorm_zel
