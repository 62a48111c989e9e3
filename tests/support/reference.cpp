#include "reference.hpp"

#include <new>

#include "grid_forms.hpp"

namespace varno {

using namespace bot_detail;

namespace {

// The shape the bot's listing shares with a person's (legal_moves), cell by cell:
// sources in row-major order, a plain move for a face-down card (either side's) or one's
// own face-up Normal, and for one's own face-up Figure a targeted move per aimable cell,
// targets in row-major order.
// Calls `emit(action)` for each move of `side`. A Figure is aimed at every other cell
// for which `aimable(cell)` holds; the listings differ in that test and the order.
template <class Aimable, class Emit>
void for_each_move(const Grid& grid, Player side, Aimable&& aimable, Emit&& emit) {
    for (std::uint8_t row = 0; row < ROWS; ++row) {
        for (std::uint8_t col = 0; col < COLS; ++col) {
            const Cell& cell = grid.at(row, col);
            if (cell.state == CellState::FaceDown ||
                (cell.state == CellState::FaceUp && cell.owner == side &&
                 cell.kind == CardType::Normal)) {
                emit(Action{row, col, std::nullopt});
                continue;
            }
            if (cell.state != CellState::FaceUp || cell.owner != side) {
                continue;  // empty, or a face-up card of the other side
            }
            for (std::uint8_t target_row = 0; target_row < ROWS; ++target_row) {
                for (std::uint8_t target_col = 0; target_col < COLS; ++target_col) {
                    if ((target_row != row || target_col != col) &&
                        aimable(grid.at(target_row, target_col))) {
                        emit(Action{row, col, Square{target_row, target_col}});
                    }
                }
            }
        }
    }
}

}  // namespace

std::uint8_t action_order_key(const Grid& grid, Player side, const Action& action) {
    if (!action.target) {
        return 2;
    }
    const Cell& target = grid.at(action.target->row, action.target->col);
    if (target.owner == side) {
        return 2;
    }
    return target.kind == CardType::Figure ? 0 : 1;
}

BotActions get_bot_actions(const Grid& grid, Player side) {
    BotActions actions;
    std::array<std::uint8_t, MAX_MOVES> keys{};
    const auto add = [&](const Action& action) {
        actions.push_back(action);
        keys[actions.size() - 1] = action_order_key(grid, side, action);
    };
    // The search never aims a Figure at a face-up card of its own side.
    for_each_move(
        grid, side,
        [side](const Cell& target) {
            return target.state == CellState::FaceDown ||
                   (target.state == CellState::FaceUp && target.owner != side);
        },
        add);
    // Stable insertion sort by key: equal keys keep their generation order.
    for (std::size_t i = 1; i < actions.size(); ++i) {
        const Action action = actions[i];
        const std::uint8_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) {
            actions[j] = actions[j - 1];
            keys[j] = keys[j - 1];
        }
        actions[j] = action;
        keys[j] = key;
    }
    return actions;
}

std::uint64_t position_hash(const Grid& grid, const ZobristKeys& keys) {
    std::uint64_t hash = 0;
    for (unsigned row = 0; row < ROWS; ++row) {
        for (unsigned col = 0; col < COLS; ++col) {
            hash ^= keys[row][col][content_index(grid.at(row, col))];
        }
    }
    return hash;
}

Score minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player side, Player bot,
              Score alpha, Score beta, TranspositionTable& table, const ZobristKeys& keys,
              std::uint64_t* nodes) {
    Position position{};
    CardMasks masks{};
    encode_grid(grid, position, masks);
    const Node root{position, depth, maximizing, static_cast<std::uint8_t>(side), alpha, beta};
    const auto run = [&](auto& searcher) {
        const Score score = searcher.search(root);
        if (nodes != nullptr) {
            *nodes += searcher.nodes();
        }
        return score;
    };
    if (compact_entries_fit(depth)) {
        Searcher<CompactEntry> searcher(masks, bot, keys, table, StopCheck{});
        return run(searcher);
    }
    Searcher<WideEntry> searcher(masks, bot, keys, table, StopCheck{});
    return run(searcher);
}

namespace {

template <class Entry>
std::optional<TableEntry> read_entry(const TranspositionTable& table, std::uint64_t hash,
                                     std::uint32_t key) {
    const Entry* const slot = table.occupied_slot<Entry>(hash);
    if (slot == nullptr || !slot->holds(key)) {
        return std::nullopt;
    }
    return TableEntry{slot->depth(), slot->score(), slot->bound(), slot->action().action()};
}

}  // namespace

std::optional<TableEntry> find_entry(const TranspositionTable& table, const Grid& grid,
                                     const ZobristKeys& keys, bool compact) {
    Position position{};
    CardMasks masks{};
    encode_grid(grid, position, masks);
    const std::uint64_t hash = position_hash(grid, keys);
    return compact ? read_entry<CompactEntry>(table, hash, entry_key(position))
                   : read_entry<WideEntry>(table, hash, entry_key(position));
}

TurnOutcome bot_turn_with_stats(const Grid& grid, Player bot, std::uint32_t depth,
                                const ZobristKeys& keys, TurnStats& stats, StopCheck stop,
                                unsigned slot_bits, bool wide_entries) {
    std::optional<TranspositionTable> table = TranspositionTable::allocate(slot_bits);
    if (!table) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
    try {
        BotTurn turn(pack(grid), bot, depth, *table, stop, wide_entries);
        while (turn.searching()) {
            turn.iterate(keys);
            if (turn.outcome().status == TurnStatus::Done) {
                stats.iteration_nodes.push_back(turn.iteration_nodes());
                stats.score = turn.iteration_score();
            }
            stats.nodes = turn.nodes();
        }
        return turn.outcome();
    } catch (const std::bad_alloc&) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
}

TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, const ZobristKeys& keys,
                     StopCheck stop) {
    TurnStats ignored;
    return bot_turn_with_stats(grid, bot, depth, keys, ignored, stop);
}

}  // namespace varno
