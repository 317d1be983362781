// Small POSIX file helpers: a descriptor that closes itself, whole writes and
// bounded reads that ride out EINTR, and the check every path needs before
// the OS may see it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorm_zel {

// Closes on scope exit.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
    // Closes now; 0, or the errno that close reported. EINTR counts as
    // closed: Linux releases the descriptor whatever close returns.
    [[nodiscard]] int close_now() noexcept;

private:
    int fd_;
};

// A path the OS cannot be handed: it would be cut at the first NUL byte.
[[nodiscard]] constexpr bool has_nul(std::string_view path) noexcept {
    return path.find('\0') != std::string_view::npos;
}

// open(2), repeated while a signal interrupts it; -1 with errno set on
// failure (EINVAL for a path holding a NUL byte).
[[nodiscard]] int open_path(const std::string& path, int flags, mode_t mode = 0) noexcept;

// Writes every byte, continuing after partial writes and signals; on a
// non-blocking pipe that is full for now it waits for room as a blocking
// write would. 0, or the errno of the write that failed.
[[nodiscard]] int write_all(int fd, std::span<const std::uint8_t> data) noexcept;

// Reads until buf is full or the end of the file; the count, or -errno.
[[nodiscard]] ssize_t read_up_to(int fd, std::span<std::uint8_t> buf) noexcept;

}  // namespace vorm_zel
