// The bot's turn: iterative deepening over the root actions of the side it plays.
#pragma once

#include <cstdint>
#include <optional>

#include "bot/zobrist.hpp"
#include "game/board.hpp"

namespace varno {

// Polled by the search every 65,536 nodes or so; a true answer abandons the search.
// The core stays free of the interpreter: the binding checks for signals behind it.
struct StopCheck {
    bool (*should_stop)(void* context) = nullptr;
    void* context = nullptr;
};

enum class TurnStatus : std::uint8_t {
    Done,         // `move` holds the choice (empty for depth 0 or no action)
    Stopped,      // the stop check asked to stop; no move
    OutOfMemory,  // the transposition table could not be allocated; no move
};

struct TurnOutcome {
    TurnStatus status = TurnStatus::Done;
    std::optional<Action> move;
};

struct TurnStats;  // per-iteration figures for tests and benchmarks (search.hpp)

// Chooses a move for `bot` searching up to `depth` plies, without changing `grid`,
// hashing positions with `keys`.
TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, const ZobristKeys& keys,
                     StopCheck stop = {}, TurnStats* stats = nullptr);

// The same with the process-wide keys, which are drawn only when a search is made
// (not for depth 0, nor when `bot` has no action).
TurnOutcome bot_turn(const Grid& grid, Player bot, std::uint32_t depth, StopCheck stop);

}  // namespace varno
