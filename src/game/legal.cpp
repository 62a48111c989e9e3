#include "game/legal.hpp"

namespace varno {

FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side) {
    FixedList<MoveText, MAX_MOVES> moves;
    for (std::uint8_t row = 0; row < ROWS; ++row) {
        for (std::uint8_t col = 0; col < COLS; ++col) {
            const Cell& cell = grid.at(row, col);
            if (cell.state == CellState::FaceDown ||
                (cell.state == CellState::FaceUp && cell.owner == side &&
                 cell.kind == CardType::Normal)) {
                moves.push_back(move_text(Action{row, col, std::nullopt}));
                continue;
            }
            if (cell.state != CellState::FaceUp || cell.owner != side) {
                continue;
            }
            // One's own face-up Figure: every other card on the grid is a target.
            for (std::uint8_t target_row = 0; target_row < ROWS; ++target_row) {
                for (std::uint8_t target_col = 0; target_col < COLS; ++target_col) {
                    if ((target_row == row && target_col == col) ||
                        grid.at(target_row, target_col).state == CellState::Empty) {
                        continue;
                    }
                    moves.push_back(move_text(Action{row, col, Square{target_row, target_col}}));
                }
            }
        }
    }
    return moves;
}

}  // namespace varno
