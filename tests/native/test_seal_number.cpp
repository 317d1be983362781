#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "common/shortest_digits.h"
#include "engine/seal_number.h"
#include "json/writer.h"
#include "vectors.h"

namespace vorm_zel {
namespace {

std::string seal_number(double value) {
    std::string out;
    append_seal_number(out, value);
    return out;
}

TEST(SealNumber, KnownAnswerFile) {
    const auto vectors = testing::load_vectors("numbers.json");
    int checked = 0;
    for (const auto& entry : vectors.at("numbers")) {
        const std::string hex = entry.at("double").get<std::string>();
        SCOPED_TRACE(hex);
        const double value = testing::parse_hex_double(hex);
        const auto& seal = entry.at("seal");
        if (seal.is_null()) {
            // Only NaN and the infinities have no seal form in the file.
            EXPECT_FALSE(std::isfinite(value));
            continue;
        }
        EXPECT_EQ(seal_number(value), seal.get<std::string>());
        ++checked;
    }
    EXPECT_GT(checked, 200);
}

struct SealCase {
    double value;
    std::string text;
};

// Cases are listed by their expected text rather than as raw object bytes.
void PrintTo(const SealCase& c, std::ostream* os) {
    *os << c.text;
}

class SealNumberTable : public ::testing::TestWithParam<SealCase> {};

TEST_P(SealNumberTable, Writes) {
    EXPECT_EQ(seal_number(GetParam().value), GetParam().text);
}

TEST_P(SealNumberTable, AppendsWithoutSeparator) {
    // The seal text is a plain concatenation: the number follows the prompt
    // bytes directly.
    std::string out = "prompt";
    append_seal_number(out, GetParam().value);
    EXPECT_EQ(out, "prompt" + GetParam().text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    FormExamples, SealNumberTable,
    ::testing::Values(SealCase{1.0, "1.0"}, SealCase{0.0, "0.0"}, SealCase{0.5, "0.5"},
                      SealCase{0.0001, "0.0001"}, SealCase{0.00005, "5e-5"},
                      SealCase{0.000012345, "1.2345e-5"}, SealCase{1e16, "1e16"},
                      SealCase{-0.0, "-0.0"}, SealCase{-0.25, "-0.25"}, SealCase{0.92, "0.92"},
                      SealCase{100.0, "100.0"}, SealCase{2.5e300, "2.5e300"},
                      SealCase{1.5e-7, "1.5e-7"}, SealCase{5e-324, "5e-324"},
                      SealCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      SealCase{-3e-20, "-3e-20"}));

INSTANTIATE_TEST_SUITE_P(NotFinite, SealNumberTable,
                         ::testing::Values(SealCase{std::numeric_limits<double>::quiet_NaN(),
                                                    "NaN"},
                                           SealCase{kInf, "inf"}, SealCase{-kInf, "-inf"}));

// Neighbours of 1e-5 (where only the JSON writer switches), 1e-4 (where this
// form switches) and 1e16.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, SealNumberTable,
    ::testing::Values(
        SealCase{std::nextafter(1e-5, 0.0), "9.999999999999999e-6"}, SealCase{1e-5, "1e-5"},
        SealCase{std::nextafter(1e-5, 1.0), "1.0000000000000003e-5"},
        SealCase{std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
        SealCase{-std::nextafter(1e-4, 0.0), "-9.999999999999999e-5"}, SealCase{1e-4, "0.0001"},
        SealCase{-1e-4, "-0.0001"}, SealCase{std::nextafter(1e-4, 1.0), "0.00010000000000000002"},
        SealCase{std::nextafter(1e15, 0.0), "999999999999999.9"},
        SealCase{1e15, "1000000000000000.0"},
        SealCase{std::nextafter(1e16, 0.0), "9999999999999998.0"},
        SealCase{std::nextafter(1e16, kInf), "1.0000000000000002e16"}, SealCase{-1e16, "-1e16"}));

// Over random doubles the seal form must read back to the same double and
// agree with the JSON writer wherever the two rules coincide: identical in
// positional range, the same but without '+' in scientific range, and only
// for a first digit at 10^-5 positional in JSON but scientific here.
TEST(SealNumberRandom, RoundTripsAndMatchesTheJsonWriterOutsideTheGap) {
    std::mt19937_64 rng(0x7365'616c'2d6e'756dULL);
    int positional_seen = 0;
    int gap_seen = 0;
    for (int iteration = 0; iteration < 200000; ++iteration) {
        std::uint64_t bits = rng();
        if (iteration % 2 == 1) {
            // Binary exponents 2^-20 .. 2^59 keep most draws near the range
            // boundaries, which raw patterns seldom reach.
            bits = (bits & 0x800F'FFFF'FFFF'FFFFULL) | ((1023 - 20 + rng() % 80) << 52);
        }
        const double value = std::bit_cast<double>(bits);
        if (!std::isfinite(value) || value == 0.0) {
            continue;
        }
        char hex[40];
        std::snprintf(hex, sizeof hex, "%a", value);
        SCOPED_TRACE(hex);

        const std::string text = seal_number(value);
        char* end = nullptr;
        const double back = std::strtod(text.c_str(), &end);
        ASSERT_EQ(*end, '\0') << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), bits) << text;
        ASSERT_EQ(text.find('+'), std::string::npos) << text;

        std::string json;
        append_json_float(json, value);
        const int exponent = shortest_digits(value).exponent;
        if (exponent >= -4 && exponent <= 15) {
            ++positional_seen;
            ASSERT_EQ(text, json);
            ASSERT_EQ(text.find('e'), std::string::npos) << text;
        } else if (exponent == -5) {
            ++gap_seen;
            ASSERT_NE(text.find("e-5"), std::string::npos) << text;
            ASSERT_EQ(json.find('e'), std::string::npos) << json;
        } else {
            const auto plus = json.find("e+");
            if (plus != std::string::npos) {
                json.erase(plus + 1, 1);
            }
            ASSERT_EQ(text, json);
        }
    }
    EXPECT_GT(positional_seen, 50000);
    EXPECT_GT(gap_seen, 500);
}

}  // namespace
}  // namespace vorm_zel
