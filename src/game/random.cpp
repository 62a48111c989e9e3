#include "game/random.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "game/fault.hpp"

namespace varno {
namespace {

// Reads the whole buffer from /dev/urandom; false on any failure.
bool fill_from_urandom(unsigned char* buffer, std::size_t size) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == size;
}

}  // namespace

void fill_from_entropy(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        // The system call itself rather than glibc's getrandom(), which only glibc 2.25
        // and later have: the release wheels are linked against an older glibc.
        const long got = ::syscall(SYS_getrandom, bytes + done, size - done, 0U);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            // No getrandom (ENOSYS from a kernel before 3.17, a filtered system call):
            // read the device instead.
            if (!fill_from_urandom(bytes + done, size - done)) {
                VARNO_FAULT("could not seed the random generator from the operating system");
            }
            return;
        }
        done += static_cast<std::size_t>(got);
    }
}

Xoshiro256& thread_rng() {
    thread_local std::optional<Xoshiro256> rng;
    if (!rng) [[unlikely]] {
        std::array<std::uint64_t, 4> seed{};
        // xoshiro256** must not start from the all-zero state; eight bytes of entropy
        // landing all on zero would be a broken source, so it is treated as one.
        fill_from_entropy(seed.data(), sizeof seed);
        if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) {
            VARNO_FAULT("the operating system's entropy source returned only zeros");
        }
        rng.emplace(seed);
    }
    return *rng;
}

}  // namespace varno
