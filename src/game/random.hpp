// Randomness: the per-thread generator (xoshiro256**, seeded from the operating system's
// entropy source), which deals the cards and draws the hash keys of the bot, and the
// uniform sampling the deal is made of.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

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

// ---- Sampling -----------------------------------------------------------------------

// Anything that yields uniformly distributed 32-bit words: the thread's generator in
// play, a scripted sequence in tests.
template <class Source>
concept WordSource = requires(Source& source) {
    { source() } -> std::convertible_to<std::uint32_t>;
};

// A uniform index in [0, n) for 1 < n < 2^32, by multiplication with rejection: the
// high half of w * n is the index, and words whose low half falls above `zone` are
// redrawn so that every index has the same number of accepted words.
template <WordSource Source>
std::uint32_t draw_index(std::uint32_t n, Source& next_word) {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t product = std::uint64_t{static_cast<std::uint32_t>(next_word())} * n;
        if (static_cast<std::uint32_t>(product) <= zone) {
            return static_cast<std::uint32_t>(product >> 32);
        }
    }
}

// Backward Fisher-Yates: N - 1 draws, with ranges of N, N - 1, ..., 2 values (for the
// deck, eleven draws from 12 down to 2).
template <class T, std::size_t N, WordSource Source>
void shuffle(std::array<T, N>& items, Source& next_word) {
    static_assert(N >= 2 && N <= 0xFFFFFFFF);
    for (std::uint32_t i = N - 1; i >= 1; --i) {
        const std::uint32_t j = draw_index(i + 1, next_word);
        std::swap(items[i], items[j]);
    }
}

}  // namespace varno
