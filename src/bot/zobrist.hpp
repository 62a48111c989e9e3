// Position hashing: one random 64-bit key per cell and per cell content.
#pragma once

#include <array>
#include <cstdint>

#include "game/board.hpp"

namespace varno {

// [row][column][content], content 0 for an empty slot and 1 + 4*state + 2*owner + kind
// for a card.
using ZobristKeys = std::array<std::array<std::array<std::uint64_t, 9>, COLS>, ROWS>;

// The content index of a cell: 0 when empty, else 1 + 4*state + 2*owner + kind.
std::uint8_t content_index(const Cell& cell);

// The process-wide ZOBRIST keys, drawn from the calling thread's generator on first use
// (108 draws) and read-only after that. A seeding failure is a fault; the next call then
// tries again from the start.
const ZobristKeys& zobrist_keys();

std::uint64_t position_hash(const Grid& grid, const ZobristKeys& keys);

}  // namespace varno
