// The minimax search with its transposition table, and the figures a bot
// turn reports to tests and benchmarks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "bot/turn.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"

namespace varno {

// Scores are 64-bit: a win scores 10000 + remaining depth, and the depth may reach
// 2^32 - 1.
using Score = std::int64_t;

struct TurnStats {
    std::vector<std::uint64_t> iteration_nodes;  // one count per iteration that ran its loop
    Score score = 0;                             // best score of the last such iteration
    std::uint64_t nodes = 0;                     // all nodes of the turn
};

enum class Bound : std::uint8_t { Exact = 0, LowerBound = 1, UpperBound = 2 };

// One slot, 16 bytes:
//   word0 bits 20..63  the high 44 bits of the key (the low 20 are the slot index)
//         bits 12..19  best action (source cell << 4 | target cell, 0xF for none)
//         bits 10..11  0 for an empty slot, else 1 + bound
//         bits  0..9   score bits 32..41
//   word1 bits  0..31  depth
//         bits 32..63  score bits 0..31
// The score is stored as a 42-bit two's complement number, room for +-(10000 + 2^32).
struct PackedEntry {
    std::uint64_t word0;
    std::uint64_t word1;
};
static_assert(sizeof(PackedEntry) == 16);

// A stored entry, unpacked (tests and diagnostics).
struct TableEntry {
    std::uint32_t depth;
    Score score;
    Bound bound;
    Action best_action;
};

class TranspositionTable {
  public:
    static constexpr std::size_t SLOTS = std::size_t{1} << 20;
    static constexpr std::uint64_t SLOT_MASK = SLOTS - 1;

    // All slots empty. One malloc holds the slots and, behind them, an occupancy bitmap
    // of one bit per slot: a slot is empty unless its bit is set. Only the bitmap
    // (128 KiB) is cleared here; the slots stay uninitialised until stored to. So a turn
    // pays neither for a memset of 16 MiB (what calloc costs once malloc reuses its heap
    // for a block this size) nor for a page fault per fresh page on every turn (what
    // mmap costs), and a probe of an empty slot is answered from the cache-resident
    // bitmap without touching the slot. Empty on allocation failure.
    static std::optional<TranspositionTable> allocate() noexcept;

    // Empties every slot again (clears the bitmap), for the next turn.
    void clear();

    // The entry whose key equals `hash`, if its slot holds one.
    std::optional<TableEntry> find(std::uint64_t hash) const;

    // The slot of `hash` if it holds an entry (of this or another position), else null.
    const PackedEntry* occupied_slot(std::uint64_t hash) const {
        const std::uint64_t slot = hash & SLOT_MASK;
        return (occupancy()[slot >> 6] >> (slot & 63) & 1) ? slots_.get() + slot : nullptr;
    }

    // The slot of `hash` for a store, marked occupied.
    PackedEntry& slot_for_store(std::uint64_t hash) {
        const std::uint64_t slot = hash & SLOT_MASK;
        occupancy()[slot >> 6] |= std::uint64_t{1} << (slot & 63);
        return slots_.get()[slot];
    }

  private:
    static constexpr std::size_t BITMAP_BYTES = SLOTS / 8;
    static constexpr std::size_t BYTES = SLOTS * sizeof(PackedEntry) + BITMAP_BYTES;

    struct Free {
        void operator()(PackedEntry* slots) const noexcept { std::free(slots); }
    };
    explicit TranspositionTable(PackedEntry* slots) : slots_(slots) {}

    std::uint64_t* occupancy() const {
        return reinterpret_cast<std::uint64_t*>(slots_.get() + SLOTS);
    }

    std::unique_ptr<PackedEntry, Free> slots_;
};

// The alpha-beta minimax value of one position, on the caller's table. Runs on
// an explicit stack (no recursion). Adds the nodes it visits to *nodes when given.
// Throws std::bad_alloc if the frame stack cannot grow.
Score minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player side, Player bot,
              Score alpha, Score beta, TranspositionTable& table, const ZobristKeys& keys,
              std::uint64_t* nodes = nullptr);

}  // namespace varno
