#include "grid_forms.hpp"

namespace varno {

MoveError play_move(Grid& grid, std::string_view text, Player side) {
    PackedGrid packed = pack(grid);
    const MoveError error = play_move(packed, text, side);
    if (error == MoveError::None) {
        grid = unpack(packed);
    }
    return error;
}

FixedList<Action, MAX_MOVES> legal_actions(const Grid& grid, Player side) {
    return legal_actions(pack(grid), side);
}

FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side) {
    FixedList<MoveText, MAX_MOVES> moves;
    for (const Action& action : legal_actions(grid, side)) {
        moves.push_back(move_text(action));
    }
    return moves;
}

Picture render(const Grid& grid) {
    return render(pack(grid));
}

namespace bot_detail {

void encode_grid(const Grid& grid, Position& position, CardMasks& masks) {
    encode_grid(pack(grid), position, masks);
}

}  // namespace bot_detail
}  // namespace varno
