#include "common/os_random.h"

#include <sys/random.h>

#include <cerrno>

namespace vorm_zel {

int fill_os_random(std::span<std::uint8_t> buf) noexcept {
    std::uint8_t* dst = buf.data();
    std::size_t remaining = buf.size();
    while (remaining > 0) {
        // Flags 0: the urandom pool, blocking only until it is first
        // initialised. Large requests may return fewer bytes, and a signal
        // can interrupt the wait; both just continue.
        const ssize_t got = getrandom(dst, remaining, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            // Never seen for a non-empty request; fail rather than spin.
            return EIO;
        }
        const auto filled = static_cast<std::size_t>(got);
        dst += filled;
        remaining -= filled;
    }
    return 0;
}

}  // namespace vorm_zel
