// The transposition table of a bot turn: what the search has learnt about the positions
// it has met, one slot per low 20 bits of a position's hash, always replaced on store.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

namespace varno {

// Scores are 64-bit: a win scores 10000 + remaining depth, and the depth may reach
// 2^32 - 1.
using Score = std::int64_t;

enum class Bound : std::uint8_t { Exact = 0, LowerBound = 1, UpperBound = 2 };

// One slot, 16 bytes:
//   word0 bits 20..63  bits 20..63 of the key (TranspositionTable::key: for the product's
//                      table the hash itself, whose low 20 bits are the slot index)
//         bits 12..19  best action (source cell << 4 | target cell, 0xF for none)
//         bits 10..11  0 for an empty slot, else 1 + bound
//         bits  0..9   score bits 32..41
//   word1 bits  0..31  depth
//         bits 32..63  score bits 0..31
// The score is stored as a 42-bit two's complement number, room for +-(10000 + 2^32).
struct PackedEntry {
    static constexpr std::uint64_t KEY_MASK = ~((std::uint64_t{1} << 20) - 1);
    static constexpr std::uint64_t TAG_MASK = std::uint64_t{3} << 10;
    static constexpr std::uint64_t SCORE_LOW42 = (std::uint64_t{1} << 42) - 1;

    std::uint64_t word0;
    std::uint64_t word1;

    // Whether the slot holds an entry for the position of `key` (not another position
    // with the same slot index).
    bool holds(std::uint64_t key) const {
        return ((word0 ^ key) & KEY_MASK) == 0 && (word0 & TAG_MASK) != 0;
    }
    std::uint8_t action() const { return static_cast<std::uint8_t>(word0 >> 12); }
    Bound bound() const { return static_cast<Bound>((word0 >> 10 & 3) - 1); }
    std::uint32_t depth() const { return static_cast<std::uint32_t>(word1); }
    Score score() const {
        const std::uint64_t raw = (word0 & 0x3FF) << 32 | word1 >> 32;
        return static_cast<Score>(raw << 22) >> 22;  // sign-extend 42 bits
    }

    void store(std::uint64_t key, std::uint32_t depth, Score score, Bound bound,
               std::uint8_t action) {
        const auto raw = static_cast<std::uint64_t>(score) & SCORE_LOW42;
        word0 = (key & KEY_MASK) | std::uint64_t{action} << 12 |
                (std::uint64_t{static_cast<std::uint8_t>(bound)} + 1) << 10 | raw >> 32;
        word1 = std::uint64_t{depth} | raw << 32;
    }
};
static_assert(sizeof(PackedEntry) == 16);

class TranspositionTable {
  public:
    // The product's table: 2^20 slots, 16 MiB. Smaller ones serve tests and benchmarks.
    static constexpr unsigned SLOT_BITS = 20;
    static constexpr unsigned MIN_SLOT_BITS = 6;
    static_assert(PackedEntry::KEY_MASK == ~((std::uint64_t{1} << SLOT_BITS) - 1));

    // All slots empty. One malloc holds the slots and, behind them, an occupancy bitmap
    // of one bit per slot: a slot is empty unless its bit is set. Only the bitmap
    // (128 KiB) is cleared here; the slots stay uninitialised until stored to. So a turn
    // pays neither for a memset of 16 MiB (what calloc costs once malloc reuses its heap
    // for a block this size) nor for a page fault per fresh page on every turn (what
    // mmap costs), and a probe of an empty slot is answered from the cache-resident
    // bitmap without touching the slot. 2^slot_bits slots, slot_bits from MIN_SLOT_BITS
    // to SLOT_BITS. Empty on allocation failure or another size.
    static std::optional<TranspositionTable> allocate(unsigned slot_bits = SLOT_BITS) noexcept;

    // Empties every slot again (clears the bitmap), for the next turn.
    void clear();

    // The key an entry of `hash` stores and is matched by: the hash moved up so that the
    // 44 bits above the slot index land in bits 20..63 (the hash itself for the
    // product's size). Every size thus tells positions apart by as many bits.
    std::uint64_t key(std::uint64_t hash) const { return hash << key_shift_; }

    // The slot of `hash` if it holds an entry (of this or another position), else null.
    const PackedEntry* occupied_slot(std::uint64_t hash) const {
        const std::uint64_t slot = hash & slot_mask_;
        return (occupancy()[slot >> 6] >> (slot & 63) & 1) ? slots_.get() + slot : nullptr;
    }

    // The slot of `hash` for a store, marked occupied.
    PackedEntry& slot_for_store(std::uint64_t hash) {
        const std::uint64_t slot = hash & slot_mask_;
        occupancy()[slot >> 6] |= std::uint64_t{1} << (slot & 63);
        return slots_.get()[slot];
    }

  private:
    struct Free {
        void operator()(PackedEntry* slots) const noexcept { std::free(slots); }
    };
    TranspositionTable(PackedEntry* slots, unsigned slot_bits)
        : slots_(slots),
          slot_mask_((std::uint64_t{1} << slot_bits) - 1),
          key_shift_(SLOT_BITS - slot_bits) {}

    std::size_t slot_count() const { return slot_mask_ + 1; }
    std::uint64_t* occupancy() const {
        return reinterpret_cast<std::uint64_t*>(slots_.get() + slot_count());
    }

    std::unique_ptr<PackedEntry, Free> slots_;
    std::uint64_t slot_mask_;
    unsigned key_shift_;
};

// The table of a turn. Turns are short and, under the interpreter lock, almost never
// overlap, so one table kept for the life of the process and cleared by each turn serves
// them all. A fresh 16 MiB block per turn would come from the calling thread's malloc
// arena and stay there, so every thread of a pool that asks the bot would end up holding
// one. A turn that starts while the kept table is in use (a search nested in a signal
// handler of another, or one on another thread while the first runs Python code) gets a
// table of its own, freed when the turn ends.
class TableLease {
  public:
    TableLease();
    ~TableLease();
    TableLease(const TableLease&) = delete;
    TableLease& operator=(const TableLease&) = delete;

    // Null when no table could be allocated.
    TranspositionTable* table() const { return table_; }

  private:
    bool holds_kept_ = false;
    std::optional<TranspositionTable> own_;
    TranspositionTable* table_ = nullptr;
};

}  // namespace varno
