// The listing of the moves a side may play.
#pragma once

#include "game/board.hpp"
#include "game/fixed_list.hpp"
#include "game/notation.hpp"

namespace varno {

// Every move that play_move accepts for `side`, grouped by source cell in row-major
// order, a Figure's targets in row-major order behind it.
FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side);

}  // namespace varno
