#include "bot/table.hpp"

#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace varno {

namespace {

// The size of a transparent huge page. A table this size or larger starts on such a
// boundary, and the pages it spans are marked for huge pages, so that its probes, spread
// over megabytes, each need one of a few TLB entries rather than one per 4 KiB page (and
// a page walk, itself a miss, when the TLB does not hold it).
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

}  // namespace

std::optional<TranspositionTable> TranspositionTable::allocate(unsigned slot_bits) noexcept {
    if (slot_bits < MIN_SLOT_BITS || slot_bits > SLOT_BITS) {
        return std::nullopt;
    }
    const std::size_t slots = std::size_t{1} << slot_bits;
    const std::size_t bytes = slots / 8 + slots * sizeof(WideEntry);
    const bool huge = bytes >= HUGE_PAGE;
    // From malloc, so that the next turn's table reuses the same pages: a fresh mapping
    // would fault them in again on every turn. The slack lets the table start on a huge
    // page boundary.
    void* block = std::malloc(huge ? bytes + HUGE_PAGE : bytes);
    if (block == nullptr) {
        return std::nullopt;
    }
    auto* start = static_cast<std::byte*>(block);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        start += (HUGE_PAGE - address % HUGE_PAGE) % HUGE_PAGE;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Advice only: without it (or where it is refused) the table works on small pages.
        // Pages faulted in before (a block reused by malloc) keep their size.
        madvise(start, bytes / HUGE_PAGE * HUGE_PAGE, MADV_HUGEPAGE);
#endif
    }
    TranspositionTable table(static_cast<std::uint64_t*>(block),
                             reinterpret_cast<std::uint64_t*>(start), slot_bits);
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
