#include "engine/clock.h"

#include <time.h>

#include <chrono>
#include <cstdio>

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

std::string format_rfc3339(std::int64_t seconds, std::uint32_t nanos) {
    using namespace std::chrono;
    const sys_days day{floor<days>(sys_seconds{std::chrono::seconds{seconds}})};
    const year_month_day date{day};
    const std::int64_t second_of_day =
        seconds - duration_cast<std::chrono::seconds>(day.time_since_epoch()).count();

    char text[48];
    int length = std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
        static_cast<int>(second_of_day % 60));
    if (nanos != 0) {
        if (nanos % 1'000'000 == 0) {
            length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                    ".%03u", nanos / 1'000'000);
        } else if (nanos % 1'000 == 0) {
            length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                    ".%06u", nanos / 1'000);
        } else {
            length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                    ".%09u", nanos);
        }
    }
    std::string result(text, static_cast<std::size_t>(length));
    result += "+00:00";
    return result;
}

Outcome<std::string> rfc3339_now() {
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
