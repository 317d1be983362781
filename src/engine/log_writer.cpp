#include "engine/log_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vorm_zel {
namespace {

// O_NONBLOCK: a FIFO at the path with no reader would otherwise block the
// open, and with it the whole host, forever; it fails with ENXIO instead.
// Regular files ignore the flag; on a pipe a write that cannot proceed waits
// for room in append_log_line, so lines are never cut short.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the process umask

int open_log(const std::string& wal_path) noexcept {
    if (wal_path.find('\0') != std::string::npos) {
        errno = EINVAL;  // the OS cannot be handed such a path
        return -1;
    }
    int fd;
    do {
        fd = ::open(wal_path.c_str(), kAppendFlags, kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

void touch_log(const std::string& wal_path) noexcept {
    const int fd = open_log(wal_path);
    if (fd >= 0) {
        ::close(fd);
    }
}

int append_log_line(const std::string& wal_path, std::string_view line) noexcept {
    const int fd = open_log(wal_path);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A pipe or device that is full for now: wait, as a blocking
                // write would. Regular files never get here.
                pollfd ready{fd, POLLOUT, 0};
                if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) {
                    continue;
                }
            }
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;  // e.g. a delayed write error on a network file system
    }
    return error;
}

}  // namespace vorm_zel
