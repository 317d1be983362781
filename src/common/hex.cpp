#include "common/hex.h"

namespace vorm_zel {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    // One resize and direct writes: digests and keys are rendered on every
    // capture, so avoid growing the string a character at a time.
    out.resize(start + 2 * bytes.size());
    char* dst = out.data() + start;
    for (const std::uint8_t byte : bytes) {
        *dst++ = kHexDigits[byte >> 4];
        *dst++ = kHexDigits[byte & 0x0F];
    }
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    append_hex(out, bytes);
    return out;
}

}  // namespace vorm_zel
