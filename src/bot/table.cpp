#include "bot/table.hpp"

#include <cstring>

namespace varno {

std::optional<TranspositionTable> TranspositionTable::allocate() noexcept {
    void* slots = std::malloc(BYTES);
    if (slots == nullptr) {
        return std::nullopt;
    }
    TranspositionTable table(static_cast<PackedEntry*>(slots));
    table.clear();
    return table;
}

void TranspositionTable::clear() {
    std::memset(occupancy(), 0, BITMAP_BYTES);
}

namespace {

std::atomic<bool> kept_in_use{false};
// Touched only by the holder of `kept_in_use`.
std::optional<TranspositionTable> kept;

}  // namespace

TableLease::TableLease() {
    if (!kept_in_use.exchange(true, std::memory_order_acquire)) {
        holds_kept_ = true;
        if (!kept) {
            kept = TranspositionTable::allocate();
        } else {
            kept->clear();
        }
        table_ = kept ? &*kept : nullptr;
    } else {
        own_ = TranspositionTable::allocate();
        table_ = own_ ? &*own_ : nullptr;
    }
}

TableLease::~TableLease() {
    if (holds_kept_) {
        kept_in_use.store(false, std::memory_order_release);
    }
}

}  // namespace varno
