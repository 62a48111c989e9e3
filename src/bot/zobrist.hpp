// Position hashing: one random 64-bit key per cell and per content of the cell. A
// position's hash is the XOR of its twelve cells' keys (bot/position_hash.hpp computes it
// on the packed positions of a turn).
#pragma once

#include <array>
#include <cstdint>

#include "game/board.hpp"

namespace varno {

// The nine contents a cell can have: 0 for an empty cell (whatever card it held), else
// 1 + 4 * state + 2 * owner + kind for a face-up (state 0) or face-down (state 1) card.
inline constexpr unsigned CONTENT_COUNT = 9;

constexpr unsigned content_index(const Cell& cell) {
    if (cell.state == CellState::Empty) {
        return 0;
    }
    return 1 + 4 * static_cast<unsigned>(cell.state) + 2 * static_cast<unsigned>(cell.owner) +
           static_cast<unsigned>(cell.kind);
}

// [row][column][content_index].
using ZobristKeys = std::array<std::array<std::array<std::uint64_t, CONTENT_COUNT>, COLS>, ROWS>;

// The process-wide keys, drawn from the calling thread's generator on first use (108
// draws) and read-only after that. A seeding failure is a fault; the next call then tries
// again from the start.
const ZobristKeys& zobrist_keys();

}  // namespace varno
