// The transposition table of a bot turn: what the search has learnt about the positions
// it has met, one slot per low 20 bits of a position's hash, always replaced on store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "bot/action_code.hpp"
#include "bot/position.hpp"
#include "bot/value.hpp"

namespace varno {

// An entry is keyed by the position's masks, which tell the positions of a turn apart
// exactly (the cards' owners and kinds are fixed for the turn), so a slot never answers
// for another position, whatever the size of the table. A table holds one turn's
// entries: it is cleared before the next turn.
inline std::uint32_t entry_key(bot_detail::Position position) {
    return std::uint32_t{position.present} | std::uint32_t{position.face_up} << 12;
}

// One slot in 8 bytes, for the turns whose depths fit (all but the deepest):
//   bits  0..23  key (entry_key)
//   bits 24..31  best action (its ActionCode)
//   bits 32..33  bound
//   bits 34..47  depth, at most MAX_DEPTH
//   bits 48..63  score, 16-bit two's complement: within +-(10000 + MAX_DEPTH + 1)
struct CompactEntry {
    static constexpr std::uint32_t MAX_DEPTH = (std::uint32_t{1} << 14) - 1;

    std::uint64_t word;

    bool holds(std::uint32_t key) const { return (word & 0xFFFFFF) == key; }
    bot_detail::ActionCode action() const { return {static_cast<std::uint8_t>(word >> 24)}; }
    Bound bound() const { return static_cast<Bound>(word >> 32 & 3); }
    std::uint32_t depth() const { return static_cast<std::uint32_t>(word >> 34 & MAX_DEPTH); }
    Score score() const { return static_cast<std::int16_t>(word >> 48); }

    void store(std::uint32_t key, std::uint32_t depth, Score score, Bound bound,
               bot_detail::ActionCode action) {
        word = std::uint64_t{key} | std::uint64_t{action.bits} << 24 |
               std::uint64_t{static_cast<std::uint8_t>(bound)} << 32 | std::uint64_t{depth} << 34 |
               static_cast<std::uint64_t>(score) << 48;
    }
};
static_assert(sizeof(CompactEntry) == 8);

// One slot in 16 bytes, for any depth:
//   word0 bits  0..23  key (entry_key)
//         bits 24..31  best action
//         bits 32..33  bound
//         bits 34..43  score bits 32..41
//   word1 bits  0..31  depth
//         bits 32..63  score bits 0..31
// The score is stored as a 42-bit two's complement number, room for +-(10000 + 2^32).
struct WideEntry {
    static constexpr std::uint32_t MAX_DEPTH = 0xFFFFFFFF;
    static constexpr std::uint64_t SCORE_LOW42 = (std::uint64_t{1} << 42) - 1;

    std::uint64_t word0;
    std::uint64_t word1;

    bool holds(std::uint32_t key) const { return (word0 & 0xFFFFFF) == key; }
    bot_detail::ActionCode action() const { return {static_cast<std::uint8_t>(word0 >> 24)}; }
    Bound bound() const { return static_cast<Bound>(word0 >> 32 & 3); }
    std::uint32_t depth() const { return static_cast<std::uint32_t>(word1); }
    Score score() const {
        const std::uint64_t raw = (word0 >> 34 & 0x3FF) << 32 | word1 >> 32;
        return static_cast<Score>(raw << 22) >> 22;  // sign-extend 42 bits
    }

    void store(std::uint32_t key, std::uint32_t depth, Score score, Bound bound,
               bot_detail::ActionCode action) {
        const auto raw = static_cast<std::uint64_t>(score) & SCORE_LOW42;
        word0 = std::uint64_t{key} | std::uint64_t{action.bits} << 24 |
                std::uint64_t{static_cast<std::uint8_t>(bound)} << 32 | (raw >> 32) << 34;
        word1 = std::uint64_t{depth} | raw << 32;
    }
};
static_assert(sizeof(WideEntry) == 16);

// The form of a turn's entries: the compact one when every depth the turn stores fits.
// A turn of `depth` plies stores depths up to depth - 1.
inline bool compact_entries_fit(std::uint32_t max_stored_depth) {
    return max_stored_depth <= CompactEntry::MAX_DEPTH;
}

class TranspositionTable {
  public:
    // The product's table: 2^20 slots, 8 MiB of compact entries or 16 MiB of wide ones.
    // Smaller ones serve tests and benchmarks.
    static constexpr unsigned SLOT_BITS = 20;
    static constexpr unsigned MIN_SLOT_BITS = 6;

    // All slots empty. One malloc holds an occupancy bitmap of one bit per slot and,
    // behind it, room for the slots in either form: a slot is empty unless its bit is
    // set, and a turn of compact entries touches only the first half. Only the bitmap
    // (128 KiB) is cleared here; the slots stay uninitialised until stored to. So a turn
    // pays neither for a memset of the slots (what calloc costs once malloc reuses its
    // heap for a block this size) nor for a page fault per fresh page on every turn
    // (what mmap costs), and a probe of an empty slot is answered from the
    // cache-resident bitmap without touching the slot. A table of 2 MiB or more starts
    // on a 2 MiB boundary and asks for transparent huge pages: its probes then miss in the
    // TLB no more than in the caches. 2^slot_bits slots, slot_bits from MIN_SLOT_BITS to
    // SLOT_BITS. Empty on allocation failure or another size.
    static std::optional<TranspositionTable> allocate(unsigned slot_bits = SLOT_BITS) noexcept;

    // Empties every slot again (clears the bitmap), for the next turn.
    void clear();

    // The slot of `hash` if it holds an entry (of this or another position), else null.
    // A turn uses one form of entry throughout.
    template <class Entry>
    const Entry* occupied_slot(std::uint64_t hash) const {
        const std::uint64_t slot = hash & slot_mask_;
        return (bitmap()[slot >> 6] >> (slot & 63) & 1) ? slots<Entry>() + slot : nullptr;
    }

    // Asks for the slot of `hash` and its word of the bitmap ahead of a probe. Whether the
    // slot is occupied is not looked at: that load would wait for the bitmap.
    template <class Entry>
    void prefetch(std::uint64_t hash) const {
        const std::uint64_t slot = hash & slot_mask_;
        __builtin_prefetch(bitmap() + (slot >> 6));
        __builtin_prefetch(slots<Entry>() + slot);
    }

    // The slot of `hash` for a store, marked occupied.
    template <class Entry>
    Entry& slot_for_store(std::uint64_t hash) {
        const std::uint64_t slot = hash & slot_mask_;
        bitmap()[slot >> 6] |= std::uint64_t{1} << (slot & 63);
        return slots<Entry>()[slot];
    }

  private:
    struct Free {
        void operator()(std::uint64_t* block) const noexcept { std::free(block); }
    };
    TranspositionTable(std::uint64_t* block, std::uint64_t* start, unsigned slot_bits)
        : block_(block), start_(start), slot_mask_((std::uint64_t{1} << slot_bits) - 1) {}

    std::size_t slot_count() const { return slot_mask_ + 1; }
    std::uint64_t* bitmap() const { return start_; }
    template <class Entry>
    Entry* slots() const {
        return reinterpret_cast<Entry*>(start_ + slot_count() / 64);
    }

    std::unique_ptr<std::uint64_t, Free> block_;  // as malloc returned it
    std::uint64_t* start_;                        // the bitmap, then the slots
    std::uint64_t slot_mask_;
};

// The table of a turn. Turns are short and, under the interpreter lock, almost never
// overlap, so one table kept for the life of the process and cleared by each turn serves
// them all. A fresh block of 16 MiB per turn would come from the calling thread's malloc
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
