#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <regex>
#include <string>

#include "engine/clock.h"

namespace vorm_zel {
namespace {

// Seconds since 1970 of a UTC calendar time, computed by the C library.
std::int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&tm));
}

// ------------------------------------------------------------ formatting

struct FormatCase {
    const char* name;
    std::int64_t seconds;
    std::uint32_t nanos;
    std::string text;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.text;
}

class ClockFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ClockFormat, Rfc3339) {
    EXPECT_EQ(format_rfc3339(GetParam().seconds, GetParam().nanos), GetParam().text);
}

const std::int64_t kDecember7 = utc_seconds(2026, 12, 7, 4, 13, 8);

INSTANTIATE_TEST_SUITE_P(
    Clock, ClockFormat,
    ::testing::Values(
        FormatCase{"epoch", 0, 0, "1970-01-01T00:00:00+00:00"},
        FormatCase{"epoch_plus_one", 1, 0, "1970-01-01T00:00:01+00:00"},
        FormatCase{"whole_second", kDecember7, 0, "2026-12-07T04:13:08+00:00"},
        FormatCase{"millis_120", kDecember7, 120'000'000, "2026-12-07T04:13:08.120+00:00"},
        FormatCase{"millis_1", kDecember7, 1'000'000, "2026-12-07T04:13:08.001+00:00"},
        FormatCase{"millis_500", kDecember7, 500'000'000, "2026-12-07T04:13:08.500+00:00"},
        FormatCase{"micros_123400", kDecember7, 123'400'000, "2026-12-07T04:13:08.123400+00:00"},
        FormatCase{"micros_1", kDecember7, 1'000, "2026-12-07T04:13:08.000001+00:00"},
        FormatCase{"micros_10", kDecember7, 10'000, "2026-12-07T04:13:08.000010+00:00"},
        FormatCase{"nanos_123456700", kDecember7, 123'456'700,
                   "2026-12-07T04:13:08.123456700+00:00"},
        FormatCase{"nanos_100", kDecember7, 100, "2026-12-07T04:13:08.000000100+00:00"},
        FormatCase{"nanos_max", kDecember7, 999'999'900, "2026-12-07T04:13:08.999999900+00:00"},
        FormatCase{"leap_day", utc_seconds(2024, 2, 29, 12, 0, 0), 0, "2024-02-29T12:00:00+00:00"},
        FormatCase{"after_leap_day", utc_seconds(2024, 3, 1, 0, 0, 0), 0,
                   "2024-03-01T00:00:00+00:00"},
        FormatCase{"leap_400", utc_seconds(2000, 2, 29, 23, 59, 59), 0,
                   "2000-02-29T23:59:59+00:00"},
        FormatCase{"no_leap_100", utc_seconds(2100, 3, 1, 0, 0, 0), 0, "2100-03-01T00:00:00+00:00"},
        FormatCase{"year_end_1999", utc_seconds(1999, 12, 31, 23, 59, 59), 0,
                   "1999-12-31T23:59:59+00:00"},
        FormatCase{"year_start_2000", utc_seconds(2000, 1, 1, 0, 0, 0), 0,
                   "2000-01-01T00:00:00+00:00"},
        FormatCase{"year_end_2023", utc_seconds(2023, 12, 31, 23, 59, 59), 999'000'000,
                   "2023-12-31T23:59:59.999+00:00"},
        FormatCase{"past_int32", utc_seconds(2038, 1, 19, 3, 14, 8), 0,
                   "2038-01-19T03:14:08+00:00"},
        FormatCase{"last_int32", utc_seconds(2038, 1, 19, 3, 14, 7), 0,
                   "2038-01-19T03:14:07+00:00"},
        FormatCase{"year_9999", utc_seconds(9999, 12, 31, 23, 59, 59), 999'999'900,
                   "9999-12-31T23:59:59.999999900+00:00"},
        FormatCase{"year_10000", utc_seconds(9999, 12, 31, 23, 59, 59) + 1, 100,
                   "10000-01-01T00:00:00.000000100+00:00"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(Clock, FixedValuesOfTheCalendar) {
    // Independent anchors for the table above.
    EXPECT_EQ(kDecember7, 1796616788);
    EXPECT_EQ(utc_seconds(2038, 1, 19, 3, 14, 8), std::int64_t{1} << 31);
    EXPECT_EQ(utc_seconds(9999, 12, 31, 23, 59, 59), 253402300799);
}

// Whole seconds over more than four centuries, compared with the C
// library's own calendar.
TEST(Clock, DateFieldsMatchCLibrary) {
    const std::int64_t last = utc_seconds(2430, 1, 1, 0, 0, 0);
    int checked = 0;
    for (std::int64_t seconds = 0; seconds < last; seconds += 86'400 * 13 + 3'601 * 7 + 59) {
        const auto t = static_cast<std::time_t>(seconds);
        std::tm tm{};
        ASSERT_NE(gmtime_r(&t, &tm), nullptr);
        char buffer[64];
        ASSERT_GT(std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S+00:00", &tm), 0u);
        ASSERT_EQ(format_rfc3339(seconds, 0), buffer) << seconds;
        ++checked;
    }
    EXPECT_GT(checked, 10'000);
}

// ------------------------------------------------------------ now

TEST(Clock, NowParsesBackNearSystemTime) {
    const std::regex form(R"(^(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})(\.(\d+))?\+00:00$)");
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        auto now = rfc3339_now();
        ASSERT_TRUE(now.has_value()) << now.error().message;
        const std::time_t reference = std::time(nullptr);
        const std::string& text = now.value();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, form)) << text;

        std::tm tm{};
        const std::string whole = match[1].str();
        const char* end = strptime(whole.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        ASSERT_NE(end, nullptr) << text;
        EXPECT_EQ(*end, '\0') << text;
        EXPECT_LE(std::llabs(static_cast<long long>(timegm(&tm) - reference)), 5) << text;

        if (match[2].matched) {
            const std::string fraction = match[3].str();
            const auto digits = fraction.size();
            EXPECT_TRUE(digits == 3 || digits == 6 || digits == 9) << text;
            // The shortest exact form: a longer one never ends in three zeros,
            // and a present fraction is never all zeros.
            EXPECT_NE(fraction.find_first_not_of('0'), std::string::npos) << text;
            if (digits > 3) {
                EXPECT_NE(fraction.substr(digits - 3), "000") << text;
            }
            // Whole 100-nanosecond units.
            if (digits == 9) {
                EXPECT_EQ(fraction.substr(7), "00") << text;
            }
        }
    }
}

TEST(Clock, MonotonicGapIsSmall) {
    for (int i = 0; i < 100; ++i) {
        EXPECT_LT(monotonic_gap_nanos(), 1'000'000'000u);
    }
}

}  // namespace
}  // namespace vorm_zel
