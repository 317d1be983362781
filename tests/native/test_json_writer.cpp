#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "common/shortest_digits.h"
#include "json/writer.h"
#include "vectors.h"

namespace vorm_zel {
namespace {

std::string json_float(double value) {
    std::string out;
    append_json_float(out, value);
    return out;
}

std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

// Parses the whole of text as a double; fails the test if anything is left.
double parse_double(const std::string& text) {
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(result.ec, std::errc{}) << text;
    EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
    return value;
}

// ---------------------------------------------------------------- floats

TEST(JsonWriterFloat, KnownAnswerFile) {
    const auto vectors = testing::load_vectors("numbers.json");
    const auto& numbers = vectors.at("numbers");
    ASSERT_GT(numbers.size(), 200u);
    for (const auto& entry : numbers) {
        const std::string hex = entry.at("double").get<std::string>();
        SCOPED_TRACE(hex);
        EXPECT_EQ(json_float(testing::parse_hex_double(hex)), entry.at("json").get<std::string>());
    }
}

struct FloatCase {
    double value;
    std::string text;
};

// Cases are listed by their expected text rather than as raw object bytes.
void PrintTo(const FloatCase& c, std::ostream* os) {
    *os << c.text;
}

class JsonWriterFloatTable : public ::testing::TestWithParam<FloatCase> {};

TEST_P(JsonWriterFloatTable, Writes) {
    EXPECT_EQ(json_float(GetParam().value), GetParam().text);
}

TEST_P(JsonWriterFloatTable, AppendsAfterExistingContent) {
    std::string out = "{\"coherence_score\":";
    append_json_float(out, GetParam().value);
    EXPECT_EQ(out, "{\"coherence_score\":" + GetParam().text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    WriterExamples, JsonWriterFloatTable,
    ::testing::Values(FloatCase{1.0, "1.0"}, FloatCase{100.0, "100.0"}, FloatCase{0.18, "0.18"},
                      FloatCase{0.00012, "0.00012"}, FloatCase{1e16, "1e+16"},
                      FloatCase{0.00000015, "1.5e-7"}, FloatCase{2.5e300, "2.5e+300"},
                      FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{kNaN, "null"},
                      FloatCase{-kNaN, "null"}, FloatCase{kInf, "null"}, FloatCase{-kInf, "null"}));

INSTANTIATE_TEST_SUITE_P(
    Layouts, JsonWriterFloatTable,
    ::testing::Values(FloatCase{-1.0, "-1.0"}, FloatCase{10.0, "10.0"}, FloatCase{0.5, "0.5"},
                      FloatCase{12.5, "12.5"}, FloatCase{-123.456, "-123.456"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"},
                      FloatCase{1234567.0, "1234567.0"},
                      FloatCase{9007199254740992.0, "9007199254740992.0"},
                      FloatCase{123456789012345680.0, "1.2345678901234568e+17"},
                      FloatCase{1e100, "1e+100"}, FloatCase{-2e-10, "-2e-10"},
                      FloatCase{5e-324, "5e-324"},
                      FloatCase{-1.7976931348623157e308, "-1.7976931348623157e+308"}));

// Neighbours of the places where the layout changes: 1e-5 (fixed from here
// up), 1e-4 (where the seal form changes, not this one) and 1e16.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, JsonWriterFloatTable,
    ::testing::Values(FloatCase{std::nextafter(1e-5, 0.0), "9.999999999999999e-6"},
                      FloatCase{1e-5, "0.00001"}, FloatCase{-1e-5, "-0.00001"},
                      FloatCase{std::nextafter(1e-5, 1.0), "0.000010000000000000003"},
                      FloatCase{std::nextafter(1e-4, 0.0), "0.00009999999999999999"},
                      FloatCase{1e-4, "0.0001"},
                      FloatCase{std::nextafter(1e-4, 1.0), "0.00010000000000000002"},
                      FloatCase{std::nextafter(1e15, 0.0), "999999999999999.9"},
                      FloatCase{1e15, "1000000000000000.0"},
                      FloatCase{std::nextafter(1e16, 0.0), "9999999999999998.0"},
                      FloatCase{-std::nextafter(1e16, 0.0), "-9999999999999998.0"},
                      FloatCase{std::nextafter(1e16, kInf), "1.0000000000000002e+16"},
                      FloatCase{-1e16, "-1e+16"}));

// ------------------------------------------------------- shortest digits

struct DigitsCase {
    double value;
    std::string digits;
    int exponent;
    bool negative;
};

void PrintTo(const DigitsCase& c, std::ostream* os) {
    *os << (c.negative ? "-" : "") << c.digits << "e" << c.exponent;
}

class JsonWriterShortestDigitsTable : public ::testing::TestWithParam<DigitsCase> {};

TEST_P(JsonWriterShortestDigitsTable, Splits) {
    const ShortestDigits sd = shortest_digits(GetParam().value);
    EXPECT_EQ(std::string(sd.digits, static_cast<std::size_t>(sd.count)), GetParam().digits);
    EXPECT_EQ(sd.exponent, GetParam().exponent);
    EXPECT_EQ(sd.negative, GetParam().negative);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, JsonWriterShortestDigitsTable,
    ::testing::Values(DigitsCase{1.0, "1", 0, false}, DigitsCase{100.0, "1", 2, false},
                      DigitsCase{0.18, "18", -1, false}, DigitsCase{-0.00012, "12", -4, true},
                      DigitsCase{123.456, "123456", 2, false},
                      DigitsCase{9999999999999998.0, "9999999999999998", 15, false},
                      DigitsCase{5e-324, "5", -324, false},
                      DigitsCase{2.2250738585072014e-308, "22250738585072014", -308, false},
                      DigitsCase{-1.7976931348623157e308, "17976931348623157", 308, true}));

// Draws half of the doubles from raw bit patterns (covering every exponent,
// subnormals included) and half with binary exponents near the fixed-notation
// range, where raw patterns seldom land.
double random_finite_nonzero(std::mt19937_64& rng, bool near_one) {
    for (;;) {
        std::uint64_t bits = rng();
        if (near_one) {
            const std::uint64_t biased = 1023 - 30 + rng() % 90;  // 2^-30 .. 2^59
            bits = (bits & 0x800F'FFFF'FFFF'FFFFULL) | (biased << 52);
        }
        const double value = std::bit_cast<double>(bits);
        if (std::isfinite(value) && value != 0.0) {
            return value;
        }
    }
}

// "d.ddde-X" from the digits: the point only when there is more than one
// digit, '+' on a non-negative exponent when asked for.
std::string scientific_from_digits(const ShortestDigits& sd, bool plus_on_positive_exponent) {
    std::string text;
    if (sd.negative) {
        text.push_back('-');
    }
    text.push_back(sd.digits[0]);
    if (sd.count > 1) {
        text.push_back('.');
        text.append(sd.digits + 1, sd.digits + sd.count);
    }
    text.push_back('e');
    if (sd.exponent >= 0 && plus_on_positive_exponent) {
        text.push_back('+');
    }
    text.append(std::to_string(sd.exponent));
    return text;
}

// Significant digits of a positional text: sign and point removed, then
// leading and trailing zeros.
std::string positional_digits(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    const auto first = digits.find_first_not_of('0');
    const auto last = digits.find_last_not_of('0');
    return first == std::string::npos ? "" : digits.substr(first, last - first + 1);
}

TEST(JsonWriterShortestDigits, RandomDoublesRoundTripAndFollowTheLayout) {
    std::mt19937_64 rng(0x766f'726d'5f7a'656cULL);
    int fixed_seen = 0;
    int scientific_seen = 0;
    for (int iteration = 0; iteration < 200000; ++iteration) {
        const double value = random_finite_nonzero(rng, iteration % 2 == 1);
        const auto bits = std::bit_cast<std::uint64_t>(value);
        const ShortestDigits sd = shortest_digits(value);
        char hex[40];
        std::snprintf(hex, sizeof hex, "%a", value);
        SCOPED_TRACE(hex);

        // The digits themselves.
        ASSERT_GE(sd.count, 1);
        ASSERT_LE(sd.count, 17);
        ASSERT_GE(sd.digits[0], '1');
        ASSERT_LE(sd.digits[0], '9');
        ASSERT_NE(sd.digits[sd.count - 1], '0');
        for (int i = 0; i < sd.count; ++i) {
            ASSERT_TRUE(sd.digits[i] >= '0' && sd.digits[i] <= '9');
        }
        ASSERT_EQ(sd.negative, std::signbit(value));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(parse_double(scientific_from_digits(sd, false))),
                  bits);

        // Shortest: one digit fewer, correctly rounded, reads back as some
        // other double. (Skipped at powers of two, where the rounding
        // interval is lopsided and this shortcut does not hold.)
        if (sd.count > 1 && (bits & 0x000F'FFFF'FFFF'FFFFULL) != 0) {
            char shorter[40];
            const auto r = std::to_chars(shorter, shorter + sizeof shorter, value,
                                         std::chars_format::scientific, sd.count - 2);
            ASSERT_EQ(r.ec, std::errc{});
            EXPECT_NE(std::bit_cast<std::uint64_t>(parse_double(std::string(shorter, r.ptr))),
                      bits);
        }

        // The writer's text reads back to the same double and is laid out by
        // the exponent of the first digit.
        const std::string text = json_float(value);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(parse_double(text)), bits) << text;
        if (sd.exponent >= -5 && sd.exponent <= 15) {
            ++fixed_seen;
            ASSERT_EQ(text.find('e'), std::string::npos) << text;
            const auto point = text.find('.');
            ASSERT_NE(point, std::string::npos) << text;
            ASSERT_LT(point + 1, text.size()) << text;
            // Exactly one leading zero before the point for values below 1.
            const std::size_t int_start = value < 0 ? 1 : 0;
            if (sd.exponent < 0) {
                ASSERT_EQ(point, int_start + 1) << text;
            } else {
                ASSERT_EQ(point - int_start, static_cast<std::size_t>(sd.exponent) + 1) << text;
            }
            ASSERT_EQ(positional_digits(text), std::string(sd.digits, sd.digits + sd.count))
                << text;
        } else {
            ++scientific_seen;
            ASSERT_EQ(text, scientific_from_digits(sd, true));
        }
    }
    // Both layouts must have been exercised in bulk.
    EXPECT_GT(fixed_seen, 50000);
    EXPECT_GT(scientific_seen, 50000);
}

// --------------------------------------------------------------- strings

std::string expected_escape(unsigned byte) {
    switch (byte) {
        case 0x22:
            return "\\\"";
        case 0x5C:
            return "\\\\";
        case 0x08:
            return "\\b";
        case 0x09:
            return "\\t";
        case 0x0A:
            return "\\n";
        case 0x0C:
            return "\\f";
        case 0x0D:
            return "\\r";
        default:
            break;
    }
    if (byte < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", byte);
        return buf;
    }
    return std::string(1, static_cast<char>(byte));
}

// Every string test runs with each block kernel this CPU can run: they must
// write identical bytes.
class JsonWriterString : public ::testing::TestWithParam<EscapeKernel> {
protected:
    void SetUp() override {
        if (!escape_kernel_supported(GetParam())) {
            GTEST_SKIP() << "this CPU cannot run the kernel";
        }
        select_escape_kernel(GetParam());
    }
    void TearDown() override {
        select_escape_kernel(escape_kernel_supported(EscapeKernel::avx2) ? EscapeKernel::avx2
                                                                         : EscapeKernel::baseline);
    }
};

INSTANTIATE_TEST_SUITE_P(Kernels, JsonWriterString,
                         ::testing::Values(EscapeKernel::baseline, EscapeKernel::avx2),
                         [](const ::testing::TestParamInfo<EscapeKernel>& case_info) {
                             return case_info.param == EscapeKernel::avx2 ? std::string("avx2")
                                                                          : std::string("baseline");
                         });

TEST_P(JsonWriterString, EveryByteValueAloneAndBetweenPlainRuns) {
    std::string all;
    std::string expected_all = "\"";
    for (unsigned value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        const std::string byte(1, static_cast<char>(value));
        const std::string expected = expected_escape(value);
        EXPECT_EQ(json_string(byte), "\"" + expected + "\"");
        EXPECT_EQ(json_string("ab" + byte + "cd"), "\"ab" + expected + "cd\"");
        EXPECT_EQ(json_string(byte + byte), "\"" + expected + expected + "\"");
        all += byte;
        expected_all += expected;
    }
    expected_all += "\"";
    EXPECT_EQ(json_string(all), expected_all);
}

struct StringCase {
    std::string input;
    std::string output;
};

// The input as hex, so control bytes never reach the test listing.
void PrintTo(const StringCase& c, std::ostream* os) {
    *os << "input_hex_";
    for (const char ch : c.input) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(ch));
        *os << buf;
    }
}

class JsonWriterStringTable : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonWriterStringTable, Writes) {
    EXPECT_EQ(json_string(GetParam().input), GetParam().output);
}

TEST_P(JsonWriterStringTable, AppendsAfterExistingContent) {
    std::string out = "{\"k\":";
    append_json_string(out, GetParam().input);
    EXPECT_EQ(out, "{\"k\":" + GetParam().output);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Vectors, JsonWriterStringTable,
    ::testing::Values(StringCase{"", "\"\""}, StringCase{"plain text", "\"plain text\""},
                      StringCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                      StringCase{"C:\\dir\\file", "\"C:\\\\dir\\\\file\""},
                      StringCase{"line1\nline2\r\n", "\"line1\\nline2\\r\\n\""},
                      StringCase{"\b\t\f", "\"\\b\\t\\f\""},
                      StringCase{"nul\0byte"s, "\"nul\\u0000byte\""},
                      StringCase{"\x01\x0b\x1f", "\"\\u0001\\u000b\\u001f\""},
                      StringCase{"a/b</script>", "\"a/b</script>\""},
                      StringCase{"del\x7f", "\"del\x7f\""},
                      // Multi-byte UTF-8 (2, 3 and 4 bytes) and stray continuation or
                      // lead bytes are all copied as they are.
                      StringCase{"h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9f\x98\x80",
                                 "\"h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9f\x98\x80\""},
                      StringCase{"\x80\xbf\xc0\xff", "\"\x80\xbf\xc0\xff\""},
                      StringCase{"\xe2\x80\xa8\xe2\x80\xa9", "\"\xe2\x80\xa8\xe2\x80\xa9\""},
                      StringCase{"\"\"\\\\", "\"\\\"\\\"\\\\\\\\\""},
                      StringCase{"end\\", "\"end\\\\\""}, StringCase{"\nstart", "\"\\nstart\""}));

TEST_P(JsonWriterString, LongPlainRunsAroundEscapes) {
    const std::string run(10000, 'x');
    const std::string input = run + "\"" + run + "\x01" + run;
    EXPECT_EQ(json_string(input), "\"" + run + "\\\"" + run + "\\u0001" + run + "\"");
    EXPECT_EQ(json_string(run), "\"" + run + "\"");
}

// The writer scans 16 or 32 bytes at a time; a byte that needs an escape must
// be found at every offset within a block, whatever its neighbours are (bytes
// just around the tested bounds, and bytes with the high bit set, are where
// block and word tricks go wrong).
std::string reference_json_string(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        out += expected_escape(static_cast<unsigned char>(ch));
    }
    return out + "\"";
}

TEST_P(JsonWriterString, EveryByteAtEveryOffsetOfABlockAmongNearMisses) {
    const unsigned char fillers[] = {0x20, 0x21, 0x23, 0x5B, 0x5D, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
    // 96 bytes: whole 32- and 16-byte blocks, and a tail written byte by byte.
    for (const unsigned char filler : fillers) {
        for (unsigned value = 0; value < 256; ++value) {
            for (std::size_t offset = 0; offset < 96; ++offset) {
                std::string text(96, static_cast<char>(filler));
                text[offset] = static_cast<char>(value);
                ASSERT_EQ(json_string(text), reference_json_string(text))
                    << "filler " << unsigned{filler} << " byte " << value << " offset " << offset;
            }
        }
    }
}

TEST_P(JsonWriterString, RandomBytesMatchTheByteByByteRule) {
    std::mt19937_64 random(20261209);
    std::uniform_int_distribution<int> length(0, 200);
    // Mostly plain bytes with a sprinkling of the ones that need escapes.
    std::discrete_distribution<int> kind({70, 10, 10, 5, 5});
    std::uniform_int_distribution<int> any_byte(0, 255);
    for (int round = 0; round < 20000; ++round) {
        std::string text(static_cast<std::size_t>(length(random)), 'a');
        for (char& ch : text) {
            switch (kind(random)) {
                case 0: ch = static_cast<char>(0x20 + any_byte(random) % 0x60); break;
                case 1: ch = static_cast<char>(any_byte(random) % 0x20); break;
                case 2: ch = '"'; break;
                case 3: ch = '\\'; break;
                default: ch = static_cast<char>(0x80 + any_byte(random) % 0x80); break;
            }
        }
        ASSERT_EQ(json_string(text), reference_json_string(text)) << "round " << round;
    }
}

// The writer sizes its output for few escapes and grows it as it goes; texts
// made mostly or only of bytes that need escapes (up to six bytes each) must
// come out whole at every length around its block and growth steps, after
// whatever the buffer already held.
TEST_P(JsonWriterString, EscapeDenseTextsOutgrowTheFirstSizing) {
    const std::string patterns[] = {"\x01", "\"", "\x1f\"a", "\\\x00\t\x7f"};
    for (const std::string& pattern : patterns) {
        for (std::size_t length : {15u, 16u, 31u, 32u, 33u, 47u, 64u, 100u, 257u, 4096u, 70001u}) {
            std::string text;
            while (text.size() < length) {
                text += pattern;
            }
            text.resize(length);
            for (const std::size_t prefix : {0u, 7u, 300u}) {
                std::string out(prefix, 'p');
                append_json_string(out, text);
                ASSERT_EQ(out, std::string(prefix, 'p') + reference_json_string(text))
                    << "pattern of " << pattern.size() << " bytes, length " << length
                    << ", prefix " << prefix;
            }
        }
    }
}

// -------------------------------------------------------------- integers

struct IntCase {
    std::int64_t value;
    std::string text;
};

void PrintTo(const IntCase& c, std::ostream* os) {
    *os << c.text;
}

class JsonWriterIntTable : public ::testing::TestWithParam<IntCase> {};

TEST_P(JsonWriterIntTable, Writes) {
    std::string out = "[";
    append_json_int(out, GetParam().value);
    EXPECT_EQ(out, "[" + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, JsonWriterIntTable,
    ::testing::Values(IntCase{0, "0"}, IntCase{1, "1"}, IntCase{-1, "-1"}, IntCase{10, "10"},
                      IntCase{-100, "-100"}, IntCase{255, "255"},
                      IntCase{1234567890123, "1234567890123"},
                      IntCase{std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
                      IntCase{std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"}));

struct UintCase {
    std::uint64_t value;
    std::string text;
};

void PrintTo(const UintCase& c, std::ostream* os) {
    *os << c.text;
}

class JsonWriterUintTable : public ::testing::TestWithParam<UintCase> {};

TEST_P(JsonWriterUintTable, Writes) {
    std::string out = "[";
    append_json_uint(out, GetParam().value);
    EXPECT_EQ(out, "[" + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, JsonWriterUintTable,
    ::testing::Values(UintCase{0, "0"}, UintCase{7, "7"}, UintCase{10, "10"}, UintCase{255, "255"},
                      UintCase{1000000, "1000000"},
                      UintCase{9223372036854775808ULL, "9223372036854775808"},
                      UintCase{10000000000000000000ULL, "10000000000000000000"},
                      UintCase{std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"}));

}  // namespace
}  // namespace vorm_zel
