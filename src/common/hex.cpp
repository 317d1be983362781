#include "common/hex.h"

namespace vorm_zel {

char* write_hex(char* out, std::span<const std::uint8_t> bytes) noexcept {
    for (const std::uint8_t byte : bytes) {
        *out++ = kHexDigits[byte >> 4];
        *out++ = kHexDigits[byte & 0x0F];
    }
    return out;
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    // One resize and direct writes: digests and keys are rendered on every
    // capture, so avoid growing the string a character at a time.
    out.resize(start + 2 * bytes.size());
    write_hex(out.data() + start, bytes);
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    append_hex(out, bytes);
    return out;
}

}  // namespace vorm_zel
