#include "common/posix_file.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vorm_zel {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int FileDescriptor::close_now() noexcept {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || errno == EINTR ? 0 : errno;
}

int open_path(const std::string& path, int flags, mode_t mode) noexcept {
    if (has_nul(path)) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int write_all(int fd, std::span<const std::uint8_t> data) noexcept {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Regular files never get here.
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        return errno;
    }
    return 0;
}

ssize_t read_up_to(int fd, std::span<std::uint8_t> buf) noexcept {
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + done, buf.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace vorm_zel
