// The write-ahead log file: opened for appending (created when missing, never
// truncated, never read) and closed again on every use; no handle is kept.
#pragma once

#include <string>
#include <string_view>

namespace vorm_zel {

// Opens and closes the log so that it exists from construction on. Failures
// are ignored: the captures report their own.
void touch_log(const std::string& wal_path) noexcept;

// Appends a complete line ("...}\n") with one write call, continuing after a
// partial write, so that lines from several writers never interleave within a
// line (O_APPEND places each write at the then-current end). Returns 0, or the
// errno of the open or write that failed; no retry and no cleanup after a
// write error.
[[nodiscard]] int append_log_line(const std::string& wal_path, std::string_view line) noexcept;

}  // namespace vorm_zel
