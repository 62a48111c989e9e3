// The bot's turn: iterative deepening over the root actions of the side it plays.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "bot/action_code.hpp"
#include "bot/search.hpp"
#include "bot/table.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"
#include "game/moves.hpp"

namespace varno {

enum class TurnStatus : std::uint8_t {
    Done,         // `move` holds the choice (empty for depth 0 or no action)
    Stopped,      // the stop check asked to stop; no move
    OutOfMemory,  // the transposition table could not be allocated; no move
};

struct TurnOutcome {
    TurnStatus status = TurnStatus::Done;
    std::optional<Action> move;
};

// One turn, an iteration at a time: depth 1, 2, ... up to `depth`, each searching every
// root action with the full root window and starting from the previous iteration's best
// action, until a forced win is found. bot_turn runs a turn to its end; tests and
// benchmarks step through one to read each iteration's figures.
class BotTurn {
  public:
    // Lists the root actions; nothing is searched yet. The table's entries are compact
    // when the turn's depths fit them (compact_entries_fit), else wide; `wide_entries`
    // asks for wide ones at any depth (the tests check that the two forms agree).
    BotTurn(PackedGrid grid, Player bot, std::uint32_t depth, TranspositionTable& table,
            StopCheck stop, bool wide_entries = false);

    // Whether another iteration is to run (false from the start for depth 0 or when the
    // bot has no action, and after a stop).
    bool searching() const { return searching_; }

    // Runs the next iteration, hashing positions with `keys` (the same for every iteration
    // of a turn). Throws std::bad_alloc if the search's frame stack cannot grow.
    void iterate(const ZobristKeys& keys);

    TurnOutcome outcome() const;
    // The last iteration's nodes and best score, and all the turn's nodes.
    std::uint64_t iteration_nodes() const { return iteration_nodes_; }
    Score iteration_score() const { return best_score_; }
    std::uint64_t nodes() const;

  private:
    template <class Entry>
    void iterate_with(Searcher<Entry>& searcher);

    bot_detail::Position root_{};
    bot_detail::CardMasks masks_{};
    Player bot_;
    std::uint32_t depth_;
    TranspositionTable& table_;
    StopCheck stop_;
    bot_detail::ActionCode ordered_[MAX_MOVES];
    unsigned count_ = 0;
    std::uint32_t iteration_ = 0;
    bool searching_ = false;
    bool stopped_ = false;
    bot_detail::ActionCode best_action_ = bot_detail::NO_ACTION;
    Score best_score_ = 0;
    std::uint64_t iteration_nodes_ = 0;
    bool wide_entries_;
    std::variant<std::monostate, Searcher<CompactEntry>, Searcher<WideEntry>> searcher_;
};

// Chooses a move for `bot` searching up to `depth` plies, without changing `grid`, on
// the process's kept table (TableLease). The process-wide keys are drawn only when a
// search is made (not for depth 0, nor when `bot` has no action).
TurnOutcome bot_turn(PackedGrid grid, Player bot, std::uint32_t depth, StopCheck stop);

}  // namespace varno
