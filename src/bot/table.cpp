#include "bot/table.hpp"

#include <cstring>

namespace varno {

std::optional<TranspositionTable> TranspositionTable::allocate(unsigned slot_bits) noexcept {
    if (slot_bits < MIN_SLOT_BITS || slot_bits > SLOT_BITS) {
        return std::nullopt;
    }
    const std::size_t slots = std::size_t{1} << slot_bits;
    void* block = std::malloc(slots / 8 + slots * sizeof(WideEntry));
    if (block == nullptr) {
        return std::nullopt;
    }
    TranspositionTable table(static_cast<std::uint64_t*>(block), slot_bits);
    table.clear();
    return table;
}

void TranspositionTable::clear() {
    std::memset(bitmap(), 0, slot_count() / 8);
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
