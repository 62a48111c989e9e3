#include "reference.hpp"

#include <new>

namespace varno {

using namespace bot_detail;

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

std::uint8_t content_index(const Cell& cell) {
    if (cell.state == CellState::Empty) {
        return 0;
    }
    return static_cast<std::uint8_t>(1 + 4 * static_cast<unsigned>(cell.state) +
                                     2 * static_cast<unsigned>(cell.owner) +
                                     static_cast<unsigned>(cell.kind));
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
    Searcher searcher(masks, bot, keys, table, StopCheck{});
    const Score score = searcher.search(
        Node{position, depth, maximizing, static_cast<std::uint8_t>(side), alpha, beta});
    if (nodes != nullptr) {
        *nodes += searcher.nodes();
    }
    return score;
}

std::optional<TableEntry> find_entry(const TranspositionTable& table, std::uint64_t hash) {
    const PackedEntry* const slot = table.occupied_slot(hash);
    if (slot == nullptr || !slot->holds(table.key(hash))) {
        return std::nullopt;
    }
    return TableEntry{slot->depth(), slot->score(), slot->bound(), decode_action(slot->action())};
}

TurnOutcome bot_turn_with_stats(const Grid& grid, Player bot, std::uint32_t depth,
                                const ZobristKeys& keys, TurnStats& stats, StopCheck stop,
                                unsigned slot_bits) {
    std::optional<TranspositionTable> table = TranspositionTable::allocate(slot_bits);
    if (!table) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
    try {
        BotTurn turn(grid, bot, depth, *table, stop);
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
