#include "engine/log_writer.h"

#include <fcntl.h>

#include <cerrno>

#include "common/posix_file.h"

namespace vorm_zel {
namespace {

// O_NONBLOCK: a FIFO at the path with no reader would otherwise block the
// open, and with it the whole host, forever; it fails with ENXIO instead.
// Regular files ignore the flag; on a pipe a write that cannot proceed waits
// for room (write_all), so lines are never cut short.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the process umask

}  // namespace

void touch_log(const std::string& wal_path) noexcept {
    FileDescriptor fd(open_path(wal_path, kAppendFlags, kNewFileMode));
}

int append_log_line(const std::string& wal_path, std::string_view line) noexcept {
    FileDescriptor fd(open_path(wal_path, kAppendFlags, kNewFileMode));
    if (!fd.is_open()) {
        return errno;
    }
    const int error = write_all(
        fd.get(), {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
    // A close error matters too: a delayed write error on a network file system.
    const int close_error = fd.close_now();
    return error != 0 ? error : close_error;
}

}  // namespace vorm_zel
