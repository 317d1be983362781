// The two clock readings of a record.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"

namespace vorm_zel {

// The gap between two adjacent readings of the monotonic clock, in whole
// nanoseconds; 0 if the second reading is earlier. It measures nothing else.
[[nodiscard]] std::uint64_t monotonic_gap_nanos() noexcept;

// RFC 3339 text of a UTC instant: YYYY-MM-DDTHH:MM:SS, then ".mmm", ".uuuuuu"
// or ".nnnnnnnnn" (the shortest that is exact; none for a whole second),
// then "+00:00". seconds counts from 1970-01-01T00:00:00Z.
[[nodiscard]] std::string format_rfc3339(std::int64_t seconds, std::uint32_t nanos);

// The wall clock now, cut to whole 100-nanosecond units, as RFC 3339 text;
// "system time before Unix epoch: ..." when the clock reads before 1970.
[[nodiscard]] Result<std::string> rfc3339_now();

}  // namespace vorm_zel
