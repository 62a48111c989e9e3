#include "game/legal.hpp"

#include "game/moves.hpp"

namespace varno {

FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side) {
    FixedList<MoveText, MAX_MOVES> moves;
    // A person may aim a Figure at any other card on the grid, their own included.
    for_each_move(
        grid, side, [](const Cell& target) { return target.state != CellState::Empty; },
        [&moves](const Action& action) { moves.push_back(move_text(action)); });
    return moves;
}

}  // namespace varno
