#include "engine/key_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "common/hex.h"
#include "common/os_error.h"
#include "common/os_random.h"

namespace vorm_zel {
namespace {

constexpr char kWriteFailed[] = "Failed to write signing key: ";
constexpr char kReadFailed[] = "Failed to read signing key: ";

Unexpected<InternalFailure> failure(const char* prefix, int error_number) {
    return {InternalFailure{prefix + os_error_detail(error_number)}};
}

bool has_nul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

// Secret bytes on their way into a SecretSeed, wiped on every path out.
template <std::size_t N>
struct WipedBuffer {
    std::array<std::uint8_t, N> bytes{};
    WipedBuffer() = default;
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    ~WipedBuffer() { sodium_memzero(bytes.data(), bytes.size()); }
};

// Closes on scope exit.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    // Closes now, reporting the error that close gives.
    [[nodiscard]] int close_now() noexcept {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// Reads up to buf.size() bytes; returns the count, or -errno.
ssize_t read_up_to(int fd, std::span<std::uint8_t> buf) {
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

int write_all(int fd, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Writes the seed to a new temporary file beside the key path and links it
// under the key's name. Returns 0, EEXIST when a key appeared meanwhile, or
// the errno of the step that failed. The temporary never outlives the call.
int publish_seed(const std::string& key_path, const SecretSeed& seed) {
    std::array<std::uint8_t, 8> tag{};
    if (const int error = fill_os_random(tag); error != 0) {
        return error;
    }
    const std::string temporary =
        key_path + ".tmp-" + std::to_string(::getpid()) + "-" + to_hex(tag);
    FileDescriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return errno;
    }
    int error = write_all(fd.get(), seed.bytes());
    if (error == 0 && ::fsync(fd.get()) != 0) {
        error = errno;
    }
    if (const int close_error = fd.close_now(); error == 0) {
        error = close_error;
    }
    if (error == 0 && ::link(temporary.c_str(), key_path.c_str()) != 0) {
        error = errno;
        if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS) {
            // A file system without hard links: an exclusive rename does the same.
            error = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, key_path.c_str(),
                                RENAME_NOREPLACE) == 0
                        ? 0
                        : errno;
        }
    }
    ::unlink(temporary.c_str());
    if (error == 0) {
        // Make the new name durable too; a failure here loses nothing yet.
        FileDescriptor directory(::open(directory_of(key_path).c_str(), O_RDONLY | O_CLOEXEC));
        if (directory.get() >= 0) {
            ::fsync(directory.get());
        }
    }
    return error;
}

}  // namespace

Outcome<SecretSeed> random_seed() {
    SecretSeed seed;
    if (const int error = fill_os_random(seed.bytes()); error != 0) {
        return Unexpected{InternalFailure{"Error: " + os_error_detail(error)}};
    }
    return seed;
}

Outcome<SecretSeed> read_seed(const std::string& key_path) {
    if (has_nul(key_path)) {
        return failure(kReadFailed, EINVAL);
    }
    // O_NONBLOCK: a FIFO at the key path must not hang the constructor (and
    // the host with it) waiting for a writer; it reads as empty instead.
    FileDescriptor fd(::open(key_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        return failure(kReadFailed, errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return failure(kReadFailed, errno);
    }
    // One byte more than a seed tells whether the file is too long; nothing
    // beyond that is read, and the bytes never reach a message.
    WipedBuffer<kSeedBytes + 1> buffer;
    const ssize_t count = read_up_to(fd.get(), buffer.bytes);
    if (count < 0) {
        return failure(kReadFailed, static_cast<int>(-count));
    }
    if (static_cast<std::size_t>(count) != kSeedBytes) {
        const long long length = S_ISREG(info.st_mode) ? static_cast<long long>(info.st_size)
                                                       : static_cast<long long>(count);
        return Unexpected{InternalFailure{"Invalid key length: expected 32 bytes, found " +
                                          std::to_string(length)}};
    }
    SecretSeed seed;
    std::copy_n(buffer.bytes.begin(), kSeedBytes, seed.bytes().begin());
    return seed;
}

Outcome<SecretSeed> load_or_create_seed(const std::string& wal_path) {
    if (wal_path == kInMemoryPath) {
        return random_seed();
    }
    const std::string key_path = wal_path + ".key";
    struct stat info {};
    if (!has_nul(key_path) && ::stat(key_path.c_str(), &info) == 0) {
        return read_seed(key_path);
    }
    Outcome<SecretSeed> seed = random_seed();
    if (!seed) {
        return seed;
    }
    if (has_nul(key_path)) {
        return failure(kWriteFailed, EINVAL);
    }
    const int error = publish_seed(key_path, seed.value());
    if (error == EEXIST) {
        return read_seed(key_path);  // another engine created it first: share its key
    }
    if (error != 0) {
        return failure(kWriteFailed, error);
    }
    return seed;
}

}  // namespace vorm_zel
