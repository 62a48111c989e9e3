// The effect of a move on a Grid, cell by cell: cards turn over and leave; nothing else
// changes. The plain statement that the packed forms (play_move on the masks, the bot's
// positions) are checked against.
#pragma once

#include "game/board.hpp"

namespace varno {

// Turns the card in (row, col) over; an empty slot stays empty.
void flip(Grid& grid, unsigned row, unsigned col);

// Applies one allowed action. Checks indices, not game rules: callers pass only
// actions that the rules admit.
void apply_action(Grid& grid, Action action);

}  // namespace varno
