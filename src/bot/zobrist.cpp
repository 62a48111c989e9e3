#include "bot/zobrist.hpp"

#include <atomic>
#include <mutex>

#include "game/random.hpp"

namespace varno {

std::uint8_t content_index(const Cell& cell) {
    if (cell.state == CellState::Empty) {
        return 0;
    }
    return static_cast<std::uint8_t>(1 + 4 * static_cast<unsigned>(cell.state) +
                                     2 * static_cast<unsigned>(cell.owner) +
                                     static_cast<unsigned>(cell.kind));
}

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

std::uint64_t position_hash(const Grid& grid, const ZobristKeys& keys) {
    std::uint64_t hash = 0;
    for (unsigned row = 0; row < ROWS; ++row) {
        for (unsigned col = 0; col < COLS; ++col) {
            hash ^= keys[row][col][content_index(grid.at(row, col))];
        }
    }
    return hash;
}

}  // namespace varno
