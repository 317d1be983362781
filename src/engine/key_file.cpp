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
#include "common/posix_file.h"

namespace vorm_zel {
namespace {

constexpr char kWriteFailed[] = "Failed to write signing key: ";
constexpr char kReadFailed[] = "Failed to read signing key: ";

Unexpected<InternalFailure> failure(const char* prefix, int error_number) {
    return {InternalFailure{prefix + os_error_detail(error_number)}};
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

// Empty for a safe key file, else the problems found, joined by "; ".
// `linked` says whether the path itself is a symbolic link; `info` describes
// the file that was opened.
std::string key_file_concern(bool linked, const struct stat& info) {
    std::string problems;
    const auto add = [&problems](const std::string& problem) {
        problems += problems.empty() ? "" : "; ";
        problems += problem;
    };
    if (linked) {
        add("it is a symbolic link");
    }
    if (!S_ISREG(info.st_mode)) {
        add("it is not a regular file");
    }
    if (info.st_uid != ::geteuid()) {
        add("it is owned by uid " + std::to_string(info.st_uid) + ", not by this user (uid " +
            std::to_string(::geteuid()) + ")");
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        add(std::string("group or others have access to it (mode ") + mode + ")");
    }
    return problems;
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
        open_path(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.is_open()) {
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
        FileDescriptor directory(open_path(directory_of(key_path), O_RDONLY | O_CLOEXEC));
        if (directory.is_open()) {
            ::fsync(directory.get());
        }
    }
    return error;
}

}  // namespace

Result<SecretSeed> random_seed() {
    SecretSeed seed;
    if (const int error = fill_os_random(seed.bytes()); error != 0) {
        return Unexpected{InternalFailure{"Error: " + os_error_detail(error)}};
    }
    return seed;
}

Result<LoadedSeed> read_seed(const std::string& key_path) {
    struct stat link_info {};
    const bool linked = !has_nul(key_path) && ::lstat(key_path.c_str(), &link_info) == 0 &&
                        S_ISLNK(link_info.st_mode);
    // O_NONBLOCK: a FIFO at the key path must not hang the constructor (and
    // the host with it) waiting for a writer; it reads as empty instead.
    FileDescriptor fd(open_path(key_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.is_open()) {
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
    LoadedSeed loaded{SecretSeed{}, key_file_concern(linked, info)};
    std::copy_n(buffer.bytes.begin(), kSeedBytes, loaded.seed.bytes().begin());
    return loaded;
}

Result<LoadedSeed> load_or_create_seed(const std::string& wal_path) {
    const std::string key_path = wal_path + ".key";
    struct stat info {};
    if (!has_nul(key_path) && ::stat(key_path.c_str(), &info) == 0) {
        return read_seed(key_path);
    }
    VZ_TRY_ASSIGN(SecretSeed seed, random_seed());
    if (has_nul(key_path)) {
        return failure(kWriteFailed, EINVAL);
    }
    const int error = publish_seed(key_path, seed);
    if (error == EEXIST) {
        return read_seed(key_path);  // another engine created it first: share its key
    }
    if (error != 0) {
        return failure(kWriteFailed, error);
    }
    return LoadedSeed{std::move(seed), {}};
}

}  // namespace vorm_zel
