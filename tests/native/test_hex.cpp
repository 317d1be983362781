#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "common/hex.h"

namespace vorm_zel {
namespace {

std::string printf_hex(std::uint8_t byte) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(byte));
    return std::string(buf, 2);
}

TEST(HexBytes, EveryByteValueAloneAndInSequence) {
    std::vector<std::uint8_t> all;
    std::string expected_all;
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<std::uint8_t>(value);
        SCOPED_TRACE(value);
        const std::uint8_t one[1] = {byte};
        EXPECT_EQ(to_hex(one), printf_hex(byte));
        all.push_back(byte);
        expected_all += printf_hex(byte);
    }
    EXPECT_EQ(to_hex(all), expected_all);
    // Reversed order makes sure position, not value, decides where digits go.
    const std::vector<std::uint8_t> reversed(all.rbegin(), all.rend());
    std::string expected_reversed;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        expected_reversed += printf_hex(*it);
    }
    EXPECT_EQ(to_hex(reversed), expected_reversed);
}

struct HexCase {
    std::vector<std::uint8_t> bytes;
    std::string text;
};

// Names the parametrised cases by their expected text in test listings.
void PrintTo(const HexCase& c, std::ostream* os) {
    *os << (c.text.empty() ? "empty" : c.text);
}

class HexKnownAnswer : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexKnownAnswer, ToHex) {
    EXPECT_EQ(to_hex(GetParam().bytes), GetParam().text);
}

TEST_P(HexKnownAnswer, AppendKeepsExistingContent) {
    std::string out = "Hash(\"";
    append_hex(out, GetParam().bytes);
    EXPECT_EQ(out, "Hash(\"" + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, HexKnownAnswer,
    ::testing::Values(HexCase{{}, ""}, HexCase{{0x00}, "00"}, HexCase{{0xff}, "ff"},
                      HexCase{{0x0f, 0xf0}, "0ff0"}, HexCase{{0xa0, 0x0a}, "a00a"},
                      HexCase{{0xde, 0xad, 0xbe, 0xef}, "deadbeef"},
                      HexCase{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, "0123456789abcdef"},
                      HexCase{std::vector<std::uint8_t>(32, 0x5a),
                              "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a"}));

}  // namespace
}  // namespace vorm_zel
