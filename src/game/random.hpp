// The per-thread random generator: xoshiro256**, seeded from the operating system's
// entropy source. It deals the cards and draws the hash keys of the bot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace varno {

class Xoshiro256 {
  public:
    explicit Xoshiro256(const std::array<std::uint64_t, 4>& seed) : s_(seed) {}

    std::uint64_t next_u64() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // The high half: the low bits of xoshiro outputs are the weaker ones.
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }

  private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) {
        return (x << k) | (x >> (64 - k));
    }

    std::array<std::uint64_t, 4> s_;
};

// Fills `size` bytes from getrandom, or from /dev/urandom where getrandom is missing.
// Failure is a fault: the generator is never seeded with zeros.
void fill_from_entropy(void* buffer, std::size_t size);

// The calling thread's generator, seeded on its first use in the thread. If seeding
// fails the fault propagates and the next use tries again.
Xoshiro256& thread_rng();

}  // namespace varno
