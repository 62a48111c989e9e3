// The bot's candidate actions of one side, in search order.
#pragma once

#include <cstdint>

#include "game/board.hpp"
#include "game/fixed_list.hpp"

namespace varno {

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

}  // namespace varno
