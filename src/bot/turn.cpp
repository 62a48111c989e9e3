#include "bot/turn.hpp"

#include <algorithm>
#include <new>

#include "bot/actions.hpp"

namespace varno {

using namespace bot_detail;

BotTurn::BotTurn(PackedGrid grid, Player bot, std::uint32_t depth, TranspositionTable& table,
                 StopCheck stop, bool wide_entries)
    : bot_(bot),
      depth_(depth),
      table_(table),
      stop_(stop),
      wide_entries_(wide_entries || (depth > 0 && !compact_entries_fit(depth - 1))) {
    if (depth == 0) {
        return;
    }
    encode_grid(grid, root_, masks_);
    count_ =
        generate_actions(root_, masks_.owned[static_cast<unsigned>(bot)], masks_.figures, ordered_);
    searching_ = count_ > 0;
}

void BotTurn::iterate(const ZobristKeys& keys) {
    if (std::holds_alternative<std::monostate>(searcher_)) {
        if (wide_entries_) {
            searcher_.emplace<Searcher<WideEntry>>(masks_, bot_, keys, table_, stop_);
        } else {
            searcher_.emplace<Searcher<CompactEntry>>(masks_, bot_, keys, table_, stop_);
        }
    }
    if (auto* compact = std::get_if<Searcher<CompactEntry>>(&searcher_)) {
        iterate_with(*compact);
    } else {
        iterate_with(std::get<Searcher<WideEntry>>(searcher_));
    }
}

std::uint64_t BotTurn::nodes() const {
    if (const auto* compact = std::get_if<Searcher<CompactEntry>>(&searcher_)) {
        return compact->nodes();
    }
    if (const auto* wide = std::get_if<Searcher<WideEntry>>(&searcher_)) {
        return wide->nodes();
    }
    return 0;
}

template <class Entry>
void BotTurn::iterate_with(Searcher<Entry>& searcher) {
    ++iteration_;
    // The ordered list afresh, the previous iteration's best action at its head.
    ActionCode actions[MAX_MOVES];
    std::copy(ordered_, ordered_ + count_, actions);
    if (best_action_ != NO_ACTION) {
        std::swap(actions[0], *std::find(actions, actions + count_, best_action_));
    }
    const std::uint64_t nodes_before = searcher.nodes();
    const auto bot_side = static_cast<std::uint8_t>(bot_);
    Score best = 0;
    ActionCode best_action = NO_ACTION;
    // Every root action is searched with the whole root window, which the scores of the
    // others do not narrow.
    for (unsigned i = 0; i < count_; ++i) {
        const Node child{apply_code(root_, actions[i]),           iteration_ - 1, false,
                         static_cast<std::uint8_t>(bot_side ^ 1), ROOT_ALPHA,     ROOT_BETA};
        const Score score = searcher.search(child);
        if (searcher.stopped()) {
            stopped_ = true;
            searching_ = false;
            return;
        }
        keep_best(true, i == 0, score, actions[i], best, best_action);
    }
    best_action_ = best_action;
    best_score_ = best;
    iteration_nodes_ = searcher.nodes() - nodes_before;
    searching_ = best <= FORCED_WIN && iteration_ < depth_;
}

TurnOutcome BotTurn::outcome() const {
    if (stopped_) {
        return {TurnStatus::Stopped, std::nullopt};
    }
    if (best_action_ == NO_ACTION) {
        return {TurnStatus::Done, std::nullopt};
    }
    return {TurnStatus::Done, best_action_.action()};
}

TurnOutcome bot_turn(PackedGrid grid, Player bot, std::uint32_t depth, StopCheck stop) {
    const TableLease lease;
    if (lease.table() == nullptr) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
    try {
        BotTurn turn(grid, bot, depth, *lease.table(), stop);
        while (turn.searching()) {
            turn.iterate(zobrist_keys());
        }
        return turn.outcome();
    } catch (const std::bad_alloc&) {
        return {TurnStatus::OutOfMemory, std::nullopt};
    }
}

}  // namespace varno
