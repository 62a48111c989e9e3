#include "bot/zobrist.hpp"

#include <atomic>
#include <mutex>

#include "game/random.hpp"

namespace varno {

const ZobristKeys& zobrist_keys() {
    // Published once under the mutex; read without it after `ready` is seen set. A fault
    // while drawing leaves `ready` clear, so the next call starts again.
    static ZobristKeys published;
    static std::atomic<bool> ready{false};
    static std::mutex mutex;
    if (ready.load(std::memory_order_acquire)) [[likely]] {
        return published;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    if (!ready.load(std::memory_order_relaxed)) {
        Xoshiro256& rng = thread_rng();
        ZobristKeys local{};
        for (auto& row : local) {
            for (auto& cell : row) {
                for (auto& key : cell) {
                    key = rng.next_u64();
                }
            }
        }
        published = local;
        ready.store(true, std::memory_order_release);
    }
    return published;
}

}  // namespace varno
