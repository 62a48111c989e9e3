// Position hashing: one random 64-bit key per cell and per cell content.
#pragma once

#include <array>
#include <cstdint>

#include "game/board.hpp"

namespace varno {

// [row][column][content], content 0 for an empty slot and 1 + 4*state + 2*owner + kind
// for a card. The search hashes its packed positions with tables built from them
// (bot/position.hpp).
using ZobristKeys = std::array<std::array<std::array<std::uint64_t, 9>, COLS>, ROWS>;

// The process-wide ZOBRIST keys, drawn from the calling thread's generator on first use
// (108 draws) and read-only after that. A seeding failure is a fault; the next call then
// tries again from the start.
const ZobristKeys& zobrist_keys();

}  // namespace varno
