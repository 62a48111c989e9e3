// Test support: the bot's pieces written out on grids, to check the packed search
// against, and the figures a turn reports to tests and benchmarks.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bot/search.hpp"
#include "bot/table.hpp"
#include "bot/turn.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"
#include "game/fixed_list.hpp"
#include "game/moves.hpp"

namespace varno {

// ---- Actions in search order ------------------------------------------------------

using BotActions = FixedList<Action, MAX_MOVES>;

// The ordering key of an action for `side`: 0 for a Figure play aimed at a card of the
// other side that is a Figure, 1 for one aimed at the other side's Normal card, 2 for a
// plain play or a play aimed at the side's own (face-down) card. A face-down target is
// keyed by its hidden owner and kind.
std::uint8_t action_order_key(const Grid& grid, Player side, const Action& action);

// The actions the search considers for `side`, generated in row-major order of their
// source (a Figure's targets in row-major order behind it) and sorted by ordering key
// with a stable insertion sort, at every length.
BotActions get_bot_actions(const Grid& grid, Player side);

// ---- Hashing ----------------------------------------------------------------------

// The XOR of the keys of the twelve cells' contents (content_index, bot/zobrist.hpp).
std::uint64_t position_hash(const Grid& grid, const ZobristKeys& keys);

// ---- The search on grids ------------------------------------------------------------

// The alpha-beta value of one position, by the module's search, on the caller's table,
// with entries of the form a turn of `depth + 1` plies would use. Adds the nodes it
// visits to *nodes when given.
Score minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player side, Player bot,
              Score alpha, Score beta, TranspositionTable& table, const ZobristKeys& keys,
              std::uint64_t* nodes = nullptr);

// A stored entry, unpacked.
struct TableEntry {
    std::uint32_t depth;
    Score score;
    Bound bound;
    Action best_action;
};

// The entry of `grid`'s position (with `keys`), if its slot holds one, read as compact
// when `compact` (the form of a search whose depths fit it) else as wide.
std::optional<TableEntry> find_entry(const TranspositionTable& table, const Grid& grid,
                                     const ZobristKeys& keys, bool compact = true);

// ---- A turn's figures ---------------------------------------------------------------

struct TurnStats {
    std::vector<std::uint64_t> iteration_nodes;  // one count per iteration that ran its loop
    Score score = 0;                             // best score of the last such iteration
    std::uint64_t nodes = 0;                     // all nodes of the turn
};

// bot_turn with `keys` on a table of its own (of 2^slot_bits slots), recording each
// iteration's figures.
// iteration's figures. `wide_entries` as for BotTurn.
TurnOutcome bot_turn_with_stats(const Grid& grid, Player bot, std::uint32_t depth,
                                const ZobristKeys& keys, TurnStats& stats, StopCheck stop = {},
                                unsigned slot_bits = TranspositionTable::SLOT_BITS,
                                bool wide_entries = false);

// The same without the figures.
TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, const ZobristKeys& keys,
                     StopCheck stop = {});

}  // namespace varno
