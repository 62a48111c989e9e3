#include "game/random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
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

// Bumped in the child of every fork(). A generator seeded under an older generation was
// copied from the parent, which may go on drawing the same words, so it is seeded again
// before its next draw: forked workers of a server must not deal the same games.
std::atomic<std::uint64_t> fork_generation{0};

void after_fork_in_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registers the fork handler before the first generator is seeded. A failed
// registration (no memory) is a fault, and the next draw tries again.
void watch_forks() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        if (::pthread_atfork(nullptr, nullptr, after_fork_in_child) != 0) {
            VARNO_FAULT("could not register the random generator's fork handler");
        }
    });
}

}  // namespace

void fill_from_entropy(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::getrandom(bytes + done, size - done, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            // No getrandom (old kernel, filtered system call): read the device instead.
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
    thread_local std::uint64_t seeded_in = 0;  // the fork generation of the seed
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    if (!rng || seeded_in != generation) [[unlikely]] {
        watch_forks();
        std::array<std::uint64_t, 4> seed{};
        // xoshiro256** must not start from the all-zero state; eight bytes of entropy
        // landing all on zero would be a broken source, so it is treated as one.
        fill_from_entropy(seed.data(), sizeof seed);
        if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) {
            VARNO_FAULT("the operating system's entropy source returned only zeros");
        }
        rng.emplace(seed);
        seeded_in = generation;
    }
    return *rng;
}

}  // namespace varno
