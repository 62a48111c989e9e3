// Test support: the module's entry points on the packed grid, taken on a Grid instead, the
// cell-by-cell form the tests write positions in. Each packs, calls and, where the grid
// changes, unpacks.
#pragma once

#include <string_view>

#include "bot/position.hpp"
#include "game/board.hpp"
#include "game/fixed_list.hpp"
#include "game/moves.hpp"
#include "game/picture.hpp"

namespace varno {

// play_move on the grid; a refused move leaves it untouched.
MoveError play_move(Grid& grid, std::string_view text, Player side);

FixedList<Action, MAX_MOVES> legal_actions(const Grid& grid, Player side);

// The legal moves as texts, in the order of legal_actions.
FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side);

Picture render(const Grid& grid);

namespace bot_detail {

void encode_grid(const Grid& grid, Position& position, CardMasks& masks);

}  // namespace bot_detail
}  // namespace varno
