#include "bot/search.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "bot/position.hpp"

namespace varno {
namespace {

using namespace bot_detail;

constexpr Score MAX_NODE_START = -2147483646;  // best of a maximising node before its children
constexpr Score MIN_NODE_START = 2147483645;   // best of a minimising node
constexpr Score ROOT_START = -2147483647;      // best of a root iteration
constexpr Score ROOT_ALPHA = -2147483646;
constexpr Score ROOT_BETA = 2147483645;
constexpr Score WIN = 10000;
constexpr Score FORCED_WIN = 8999;
constexpr std::uint64_t POLL_MASK = (std::uint64_t{1} << 16) - 1;  // poll every 65,536 nodes

// --- table slots -------------------------------------------------------------------

constexpr std::uint64_t KEY_MASK = ~TranspositionTable::SLOT_MASK;
constexpr std::uint64_t TAG_MASK = std::uint64_t{3} << 10;
constexpr std::uint64_t SCORE_LOW42 = (std::uint64_t{1} << 42) - 1;

inline bool slot_holds(const PackedEntry& entry, std::uint64_t hash) {
    return ((entry.word0 ^ hash) & KEY_MASK) == 0 && (entry.word0 & TAG_MASK) != 0;
}
inline std::uint8_t slot_action(const PackedEntry& entry) {
    return static_cast<std::uint8_t>(entry.word0 >> 12);
}
inline Bound slot_bound(const PackedEntry& entry) {
    return static_cast<Bound>((entry.word0 >> 10 & 3) - 1);
}
inline std::uint32_t slot_depth(const PackedEntry& entry) {
    return static_cast<std::uint32_t>(entry.word1);
}
inline Score slot_score(const PackedEntry& entry) {
    const std::uint64_t raw = (entry.word0 & 0x3FF) << 32 | entry.word1 >> 32;
    return static_cast<Score>(raw << 22) >> 22;  // sign-extend 42 bits
}
inline void slot_store(PackedEntry& entry, std::uint64_t hash, std::uint32_t depth, Score score,
                       Bound bound, std::uint8_t action) {
    const auto raw = static_cast<std::uint64_t>(score) & SCORE_LOW42;
    entry.word0 = (hash & KEY_MASK) | std::uint64_t{action} << 12 |
                  (std::uint64_t{static_cast<std::uint8_t>(bound)} + 1) << 10 | raw >> 32;
    entry.word1 = std::uint64_t{depth} | raw << 32;
}

// --- explicit stack ----------------------------------------------------------------

// One expanded node of the search: what the recursive formulation keeps in its locals.
struct Frame {
    Score alpha;
    Score beta;
    Score alpha0;  // the window as passed, before the table narrowed it
    Score beta0;
    Score best;
    std::uint64_t hash;
    std::uint32_t depth;
    Position position;
    std::uint8_t count;  // actions
    std::uint8_t next;   // index of the child being searched
    std::uint8_t best_action;
    bool maximizing;
    std::uint8_t side;
    bool listed;  // `actions` holds the whole ordered list, not only the table's action
    std::uint8_t actions[MAX_MOVES];
};

// Frames in chunks that are kept once allocated: the stack grows on the heap only as deep
// as the search goes, and growth happens once per 256 levels, never per node.
class FrameStack {
  public:
    Frame& push() {
        if (size_ == chunks_.size() * CHUNK) [[unlikely]] {
            chunks_.push_back(
                std::make_unique_for_overwrite<Frame[]>(CHUNK));  // may throw bad_alloc
        }
        top_ = &chunks_[size_ >> SHIFT][size_ & (CHUNK - 1)];
        ++size_;
        return *top_;
    }
    void pop() {
        --size_;
        top_ = size_ ? &chunks_[(size_ - 1) >> SHIFT][(size_ - 1) & (CHUNK - 1)] : nullptr;
    }
    Frame& top() { return *top_; }
    std::size_t size() const { return size_; }
    void clear() {
        size_ = 0;
        top_ = nullptr;
    }

  private:
    static constexpr unsigned SHIFT = 8;
    static constexpr std::size_t CHUNK = std::size_t{1} << SHIFT;

    std::vector<std::unique_ptr<Frame[]>> chunks_;
    std::size_t size_ = 0;
    Frame* top_ = nullptr;
};

// --- the search ----------------------------------------------------------------------

// The first steps of a node: the probe (which may narrow the window) and the
// terminal test.
struct NodeStart {
    bool decided;  // the node returns `value` without expanding
    Score value;
    std::uint8_t remembered;  // the table's best action, or NO_ACTION
    Score material;           // m - o, when not decided by the table or a terminal test
};

// Step 10: how the best score of an expanded node relates to its value. alpha and beta
// are the window at the end of the child loop; alpha0 and beta0 as passed.
inline Bound bound_of(bool maximizing, Score best, Score alpha0, Score beta0, Score alpha,
                      Score beta) {
    if (maximizing) {
        return best <= alpha0 ? Bound::UpperBound : best >= beta ? Bound::LowerBound : Bound::Exact;
    }
    return best >= beta0 ? Bound::LowerBound : best <= alpha ? Bound::UpperBound : Bound::Exact;
}

// Moves the first occurrence of `action` to the head of the list (a swap), if present.
inline void move_to_head(std::uint8_t* actions, unsigned count, std::uint8_t action) {
    if (action == NO_ACTION || actions[0] == action)
        return;
    for (unsigned i = 1; i < count; ++i) {
        if (actions[i] == action) {
            std::swap(actions[0], actions[i]);
            return;
        }
    }
}

class Searcher {
  public:
    Searcher(const CardMasks& masks, Player bot, const ZobristKeys& keys, TranspositionTable& table,
             StopCheck stop)
        : masks_(masks),
          hashes_(keys, masks),
          table_(table),
          stop_(stop),
          bot_(static_cast<std::uint8_t>(bot)) {}

    // minimax for one position, without recursion. Returns 0 with stopped()
    // set if the stop check asked to stop.
    Score search(Position position, std::uint32_t depth, bool maximizing, std::uint8_t side,
                 Score alpha, Score beta);

    std::uint64_t nodes() const { return nodes_; }
    bool stopped() const { return stopped_; }

  private:
    // Counts a node; true when the search must stop.
    bool count_node() {
        if ((++nodes_ & POLL_MASK) == 0 && stop_.should_stop != nullptr) [[unlikely]] {
            stopped_ = stop_.should_stop(stop_.context);
        }
        return stopped_;
    }

    [[gnu::always_inline]] NodeStart start(Position position, std::uint64_t hash,
                                           std::uint32_t depth, Score& alpha, Score& beta) const;

    // A node at depth 1 with its ordered actions: its children are depth-0 leaves, valued
    // here in a loop rather than as frames. Stores and returns the node's best score.
    Score frontier(Position position, std::uint64_t hash, std::uint8_t side, bool maximizing,
                   Score alpha0, Score beta0, Score alpha, Score beta, std::uint8_t* actions,
                   unsigned count, bool listed);

    // Step 6-7 for a node whose table action was tried first and did not cut: the whole
    // ordered list, the table's action (actions[0] on entry) moved to its head.
    unsigned list_actions(Position position, std::uint8_t side, std::uint8_t* actions) const {
        const std::uint8_t first = actions[0];
        const unsigned count =
            generate_actions(position, masks_.owned[side], masks_.figures, actions);
        move_to_head(actions, count, first);
        return count;
    }

    // Asks for the table slot of a position ahead of its visit: the probe's load is the
    // one cache (and TLB) miss of most nodes.
    void prefetch(std::uint64_t hash) const {
        if (const PackedEntry* slot = table_.occupied_slot(hash))
            __builtin_prefetch(slot);
    }

    const CardMasks masks_;
    const RowHashes hashes_;
    TranspositionTable& table_;
    const StopCheck stop_;
    const std::uint8_t bot_;
    std::uint64_t nodes_ = 0;
    bool stopped_ = false;
    FrameStack frames_;
};

inline NodeStart Searcher::start(Position position, std::uint64_t hash, std::uint32_t depth,
                                 Score& alpha, Score& beta) const {
    NodeStart result{false, 0, NO_ACTION, 0};
    if (const PackedEntry* slot = table_.occupied_slot(hash);
        slot != nullptr && slot_holds(*slot, hash)) {
        result.remembered = slot_action(*slot);
        if (depth > 0)
            prefetch(hashes_(apply_code(position, result.remembered)));
        if (slot_depth(*slot) >= depth) {
            const Score score = slot_score(*slot);
            switch (slot_bound(*slot)) {
                case Bound::Exact:
                    return {true, score, result.remembered, 0};
                case Bound::LowerBound:
                    alpha = std::max(alpha, score);
                    break;
                case Bound::UpperBound:
                    beta = std::min(beta, score);
                    break;
            }
            if (alpha >= beta)
                return {true, score, result.remembered, 0};
        }
    }
    const std::uint32_t bot_cells = masks_.owned[bot_];
    const Score mine = material(position.present & bot_cells, masks_.figures);
    const Score theirs = material(position.present & ~bot_cells, masks_.figures);
    if (theirs == 0 && mine != 0)
        return {true, WIN + Score{depth}, result.remembered, 0};
    if (mine == 0 && theirs != 0)
        return {true, -WIN - Score{depth}, result.remembered, 0};
    result.material = mine - theirs;
    if (depth == 0) {
        result.decided = true;
        result.value = result.material;
    }
    return result;
}

Score Searcher::frontier(Position position, std::uint64_t hash, std::uint8_t side, bool maximizing,
                         Score alpha0, Score beta0, Score alpha, Score beta, std::uint8_t* actions,
                         unsigned count, bool listed) {
    Score best = maximizing ? MAX_NODE_START : MIN_NODE_START;
    std::uint8_t best_action = NO_ACTION;
    for (unsigned i = 0;; ++i) {
        if (i == 1 && !listed) {
            count = list_actions(position, side, actions);
            listed = true;
        }
        if (i >= count)
            break;
        if (count_node())
            return 0;
        Score child_alpha = alpha, child_beta = beta;
        const Position child = apply_code(position, actions[i]);
        // Look one sibling ahead: ask for its slot before valuing this one.
        if (i + 1 < count)
            prefetch(hashes_(apply_code(position, actions[i + 1])));
        const Score value =
            start(child, hashes_(child), 0, child_alpha, child_beta).value;  // always decided
        if (maximizing) {
            if (value > best || i == 0) {
                best = value;
                best_action = actions[i];
            }
            alpha = std::max(alpha, value);
        } else {
            if (value < best || i == 0) {
                best = value;
                best_action = actions[i];
            }
            beta = std::min(beta, value);
        }
        if (beta <= alpha)
            break;
    }
    slot_store(table_.slot_for_store(hash), hash, 1, best,
               bound_of(maximizing, best, alpha0, beta0, alpha, beta), best_action);
    return best;
}

Score Searcher::search(Position position, std::uint32_t depth, bool maximizing, std::uint8_t side,
                       Score alpha, Score beta) {
    for (;;) {
        // Enter a node: (position, depth, maximizing, side, alpha, beta).
        Score value;
        {
            if (count_node()) {
                frames_.clear();
                return 0;
            }
            const std::uint64_t hash = hashes_(position);
            const Score alpha0 = alpha, beta0 = beta;
            const NodeStart node = start(position, hash, depth, alpha, beta);
            if (node.decided) {
                value = node.value;
            } else {
                // Steps 6-7: the ordered actions, the table's action first. When the table
                // has an action for this side, it is tried alone first and the list is
                // made only if it does not cut off (see list_actions): the same order.
                Frame& frame = frames_.push();
                unsigned count = 1;
                bool listed = false;
                if (node.remembered != NO_ACTION &&
                    is_action(position, masks_.owned[side], masks_.figures, node.remembered)) {
                    frame.actions[0] = node.remembered;
                } else {
                    count = generate_actions(position, masks_.owned[side], masks_.figures,
                                             frame.actions);
                    listed = true;
                }
                if (count == 0) {
                    frames_.pop();
                    value = node.material;
                } else {
                    if (depth == 1) {
                        value = frontier(position, hash, side, maximizing, alpha0, beta0, alpha,
                                         beta, frame.actions, count, listed);
                        frames_.pop();
                        if (stopped_) {
                            frames_.clear();
                            return 0;
                        }
                    } else {
                        // Steps 8-9: descend into the first child.
                        frame.alpha = alpha;
                        frame.beta = beta;
                        frame.alpha0 = alpha0;
                        frame.beta0 = beta0;
                        frame.best = maximizing ? MAX_NODE_START : MIN_NODE_START;
                        frame.hash = hash;
                        frame.depth = depth;
                        frame.position = position;
                        frame.count = static_cast<std::uint8_t>(count);
                        frame.next = 0;
                        frame.best_action = NO_ACTION;
                        frame.maximizing = maximizing;
                        frame.side = side;
                        frame.listed = listed;
                        position = apply_code(position, frame.actions[0]);
                        depth -= 1;
                        maximizing = !maximizing;
                        side ^= 1;
                        continue;
                    }
                }
            }
        }
        // A node returned `value`: hand it to its parent, until one has a child left.
        for (;;) {
            if (frames_.size() == 0) {
                return value;
            }
            Frame& frame = frames_.top();
            const std::uint8_t action = frame.actions[frame.next];
            // The first child always improves on the starting value (also where a loss at a
            // remaining depth near 2^32 scores below it).
            const bool first = frame.next == 0;
            if (frame.maximizing) {
                if (value > frame.best || first) {
                    frame.best = value;
                    frame.best_action = action;
                }
                frame.alpha = std::max(frame.alpha, value);
            } else {
                if (value < frame.best || first) {
                    frame.best = value;
                    frame.best_action = action;
                }
                frame.beta = std::min(frame.beta, value);
            }
            if (frame.beta > frame.alpha && !frame.listed) {
                frame.count = static_cast<std::uint8_t>(
                    list_actions(frame.position, frame.side, frame.actions));
                frame.listed = true;
            }
            if (frame.beta > frame.alpha && ++frame.next < frame.count) {
                position = apply_code(frame.position, frame.actions[frame.next]);
                depth = frame.depth - 1;
                maximizing = !frame.maximizing;
                side = frame.side ^ 1;
                alpha = frame.alpha;
                beta = frame.beta;
                break;
            }
            // Steps 10-11: the bound, the store, the return.
            slot_store(table_.slot_for_store(frame.hash), frame.hash, frame.depth, frame.best,
                       bound_of(frame.maximizing, frame.best, frame.alpha0, frame.beta0,
                                frame.alpha, frame.beta),
                       frame.best_action);
            value = frame.best;
            frames_.pop();
        }
    }
}

}  // namespace

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

std::optional<TableEntry> TranspositionTable::find(std::uint64_t hash) const {
    const PackedEntry* const slot = occupied_slot(hash);
    if (slot == nullptr || !slot_holds(*slot, hash)) {
        return std::nullopt;
    }
    return TableEntry{slot_depth(*slot), slot_score(*slot), slot_bound(*slot),
                      decode_action(slot_action(*slot))};
}

Score minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player side, Player bot,
              Score alpha, Score beta, TranspositionTable& table, const ZobristKeys& keys,
              std::uint64_t* nodes) {
    Position position{};
    CardMasks masks{};
    encode_grid(grid, position, masks);
    Searcher searcher(masks, bot, keys, table, StopCheck{});
    const Score score =
        searcher.search(position, depth, maximizing, static_cast<std::uint8_t>(side), alpha, beta);
    if (nodes != nullptr) {
        *nodes += searcher.nodes();
    }
    return score;
}

namespace {

// The table of a turn. Turns are short and, under the interpreter lock, almost never
// overlap, so one table kept for the life of the process and cleared by each turn serves
// them all. A fresh 16 MiB block per turn would come from the calling thread's malloc
// arena and stay there, so every thread of a pool that asks the bot would end up holding
// one. A turn that starts while the kept table is in use (a search nested in a signal
// handler of another, or one on another thread while the first runs Python code) gets a
// table of its own, freed when the turn ends.
class TableLease {
  public:
    TableLease() {
        if (!kept_in_use_.exchange(true, std::memory_order_acquire)) {
            holds_kept_ = true;
            if (!kept_) {
                kept_ = TranspositionTable::allocate();
            } else {
                kept_->clear();
            }
            table_ = kept_ ? &*kept_ : nullptr;
        } else {
            own_ = TranspositionTable::allocate();
            table_ = own_ ? &*own_ : nullptr;
        }
    }
    ~TableLease() {
        if (holds_kept_) {
            kept_in_use_.store(false, std::memory_order_release);
        }
    }
    TableLease(const TableLease&) = delete;
    TableLease& operator=(const TableLease&) = delete;

    // Null when no table could be allocated.
    TranspositionTable* table() const { return table_; }

  private:
    static inline std::atomic<bool> kept_in_use_{false};
    // Touched only by the holder of `kept_in_use_`.
    static inline std::optional<TranspositionTable> kept_;

    bool holds_kept_ = false;
    std::optional<TranspositionTable> own_;
    TranspositionTable* table_ = nullptr;
};

// The bot turn, with the keys asked of `keys()` only once a search is to be made.
template <class Keys>
TurnOutcome run_turn(const Grid& grid, Player bot, std::uint32_t depth, Keys&& keys, StopCheck stop,
                     TurnStats* stats) {
    const TableLease lease;
    TranspositionTable* const table = lease.table();
    if (table == nullptr) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
    if (depth == 0) {
        return {TurnStatus::Done, std::nullopt};
    }
    Position root{};
    CardMasks masks{};
    encode_grid(grid, root, masks);
    const auto bot_side = static_cast<std::uint8_t>(bot);
    std::uint8_t ordered[MAX_MOVES];
    const unsigned count = generate_actions(root, masks.owned[bot_side], masks.figures, ordered);
    if (count == 0) {
        return {TurnStatus::Done, std::nullopt};
    }
    try {
        Searcher searcher(masks, bot, keys(), *table, stop);
        std::uint8_t previous_best = NO_ACTION;
        for (std::uint32_t iteration = 1;; ++iteration) {
            // The ordered list afresh, the previous iteration's best action at its head.
            std::uint8_t actions[MAX_MOVES];
            std::copy(ordered, ordered + count, actions);
            if (previous_best != NO_ACTION) {
                std::swap(actions[0], *std::find(actions, actions + count, previous_best));
            }
            const std::uint64_t nodes_before = searcher.nodes();
            Score best = ROOT_START;
            std::uint8_t best_action = NO_ACTION;
            for (unsigned i = 0; i < count; ++i) {
                const Score score = searcher.search(apply_code(root, actions[i]), iteration - 1,
                                                    false, bot_side ^ 1, ROOT_ALPHA, ROOT_BETA);
                if (searcher.stopped()) {
                    if (stats != nullptr)
                        stats->nodes = searcher.nodes();
                    return {TurnStatus::Stopped, std::nullopt};
                }
                if (score > best || i == 0) {
                    best = score;
                    best_action = actions[i];
                }
            }
            previous_best = best_action;
            if (stats != nullptr) {
                stats->iteration_nodes.push_back(searcher.nodes() - nodes_before);
                stats->score = best;
                stats->nodes = searcher.nodes();
            }
            if (best > FORCED_WIN || iteration == depth) {
                break;
            }
        }
        return {TurnStatus::Done, decode_action(previous_best)};
    } catch (const std::bad_alloc&) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
}

}  // namespace

TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, const ZobristKeys& keys,
                     StopCheck stop, TurnStats* stats) {
    return run_turn(
        grid, bot, depth, [&keys]() -> const ZobristKeys& { return keys; }, stop, stats);
}

TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, StopCheck stop) {
    return run_turn(grid, bot, depth, zobrist_keys, stop, nullptr);
}

}  // namespace varno
