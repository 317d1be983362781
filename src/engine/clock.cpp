#include "engine/clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace vorm_zel {

std::uint64_t monotonic_gap_nanos() noexcept {
    timespec first{};
    timespec second{};
    ::clock_gettime(CLOCK_MONOTONIC, &first);
    ::clock_gettime(CLOCK_MONOTONIC, &second);
    const std::int64_t gap =
        (static_cast<std::int64_t>(second.tv_sec) - first.tv_sec) * 1'000'000'000 +
        (static_cast<std::int64_t>(second.tv_nsec) - first.tv_nsec);
    return gap > 0 ? static_cast<std::uint64_t>(gap) : 0;
}

namespace {

// `width` decimal digits of `value`, zero-padded, written at `p`.
char* put_digits(char* p, std::uint64_t value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + width;
}

}  // namespace

std::string format_rfc3339(std::int64_t seconds, std::uint32_t nanos) {
    using namespace std::chrono;
    const sys_days day{floor<days>(sys_seconds{std::chrono::seconds{seconds}})};
    const year_month_day date{day};
    const auto second_of_day = static_cast<std::uint64_t>(
        seconds - duration_cast<std::chrono::seconds>(day.time_since_epoch()).count());

    // YYYY-MM-DDTHH:MM:SS[.fraction]+00:00; the calendar ends in 32767, so a
    // year takes four digits, or five beyond 9999.
    char text[48];
    const auto year = static_cast<std::uint64_t>(static_cast<int>(date.year()));
    char* p = put_digits(text, year, year > 9999 ? 5 : 4);
    *p++ = '-';
    p = put_digits(p, static_cast<unsigned>(date.month()), 2);
    *p++ = '-';
    p = put_digits(p, static_cast<unsigned>(date.day()), 2);
    *p++ = 'T';
    p = put_digits(p, second_of_day / 3600, 2);
    *p++ = ':';
    p = put_digits(p, second_of_day / 60 % 60, 2);
    *p++ = ':';
    p = put_digits(p, second_of_day % 60, 2);
    // The fraction in groups of three digits, as few groups as it needs.
    if (nanos != 0) {
        *p++ = '.';
        if (nanos % 1'000'000 == 0) {
            p = put_digits(p, nanos / 1'000'000, 3);
        } else if (nanos % 1'000 == 0) {
            p = put_digits(p, nanos / 1'000, 6);
        } else {
            p = put_digits(p, nanos, 9);
        }
    }
    constexpr char kOffset[] = "+00:00";
    p = std::copy(kOffset, kOffset + 6, p);
    return std::string(text, p);
}

Result<std::string> rfc3339_now() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) {
        return Unexpected{InternalFailure{"system time before Unix epoch: the wall clock reads " +
                                          std::to_string(now.tv_sec) + " s"}};
    }
    const auto nanos = static_cast<std::uint32_t>(now.tv_nsec / 100 * 100);
    return format_rfc3339(now.tv_sec, nanos);
}

}  // namespace vorm_zel
