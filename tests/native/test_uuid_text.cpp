#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "common/os_random.h"
#include "common/uuid_text.h"

namespace vorm_zel {
namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

struct UuidCase {
    Bytes16 bytes;
    std::string text;
};

void PrintTo(const UuidCase& c, std::ostream* os) {
    *os << c.text;
}

class UuidTextKnownAnswer : public ::testing::TestWithParam<UuidCase> {};

TEST_P(UuidTextKnownAnswer, Renders) {
    EXPECT_EQ(uuid_text(GetParam().bytes), GetParam().text);
}

TEST_P(UuidTextKnownAnswer, AppendsAfterPrefix) {
    std::string out = "zel_";
    append_uuid_text(out, GetParam().bytes);
    EXPECT_EQ(out.size(), 4 + kUuidTextLength);
    EXPECT_EQ(out, "zel_" + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Vectors, UuidTextKnownAnswer,
                         ::testing::Values(
                             // Version and variant bits are forced in, all other bits kept.
                             UuidCase{{}, "00000000-0000-4000-8000-000000000000"},
                             UuidCase{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                       0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
                                      "ffffffff-ffff-4fff-bfff-ffffffffffff"},
                             UuidCase{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                       0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f},
                                      "00010203-0405-4607-8809-0a0b0c0d0e0f"},
                             UuidCase{{0xde, 0xad, 0xbe, 0xef, 0xca, 0xfe, 0xba, 0xbe, 0x7f, 0x80,
                                       0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc},
                                      "deadbeef-cafe-4abe-bf80-123456789abc"},
                             UuidCase{{0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0x4c, 0xde, 0xc0, 0x11,
                                       0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
                                      "10325476-98ba-4cde-8011-223344556677"},
                             UuidCase{{0, 0, 0, 0, 0, 0, 0x3f, 0, 0x40, 0, 0, 0, 0, 0, 0, 0},
                                      "00000000-0000-4f00-8000-000000000000"}));

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

TEST(UuidTextLayout, RandomInputsKeepAllButVersionAndVariantBits) {
    std::mt19937_64 rng(0x5eed'0004'2024'0001ULL);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        Bytes16 input;
        for (auto& byte : input) {
            byte = static_cast<std::uint8_t>(rng());
        }
        const std::string text = uuid_text(input);
        SCOPED_TRACE(text);
        ASSERT_EQ(text.size(), kUuidTextLength);

        std::vector<std::uint8_t> decoded;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                ASSERT_EQ(text[i], '-') << "at " << i;
                continue;
            }
            ASSERT_GE(hex_value(text[i]), 0) << "not a lower-case hex digit at " << i;
        }
        for (std::size_t i = 0; i < text.size();) {
            if (text[i] == '-') {
                ++i;
                continue;
            }
            decoded.push_back(
                static_cast<std::uint8_t>(hex_value(text[i]) * 16 + hex_value(text[i + 1])));
            i += 2;
        }
        ASSERT_EQ(decoded.size(), 16u);

        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos);
        for (std::size_t i = 0; i < 16; ++i) {
            SCOPED_TRACE(i);
            if (i == 6) {
                EXPECT_EQ(decoded[i], (input[i] & 0x0F) | 0x40);
            } else if (i == 8) {
                EXPECT_EQ(decoded[i], (input[i] & 0x3F) | 0x80);
            } else {
                EXPECT_EQ(decoded[i], input[i]);
            }
        }
    }
}

TEST(UuidTextOsRandom, FillsBuffersOfEverySize) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{16}, std::size_t{32},
                                   std::size_t{257}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> buf(size, 0);
        ASSERT_EQ(fill_os_random(buf), 0);
        if (size >= 16) {
            // Each 16-byte window being all zero has probability 2^-128; an
            // unfilled tail or head would show up here.
            const auto zero16 = [](auto first) {
                return std::all_of(first, first + 16, [](std::uint8_t b) { return b == 0; });
            };
            EXPECT_FALSE(zero16(buf.begin()));
            EXPECT_FALSE(zero16(buf.end() - 16));
        }
    }
}

TEST(UuidTextOsRandom, SuccessiveFillsDiffer) {
    std::array<std::uint8_t, 32> first{};
    std::array<std::uint8_t, 32> second{};
    ASSERT_EQ(fill_os_random(first), 0);
    ASSERT_EQ(fill_os_random(second), 0);
    EXPECT_NE(first, second);
}

}  // namespace
}  // namespace vorm_zel
