// The shape every listing of moves shares: sources in row-major order, a plain move for
// a face-down card (either side's) or one's own face-up Normal, and for one's own face-up
// Figure a targeted move per aimable cell, targets in row-major order.
#pragma once

#include <cstdint>

#include "game/board.hpp"

namespace varno {

// Calls `emit(action)` for each move of `side`. A Figure is aimed at every other cell
// for which `aimable(cell)` holds; the listings differ only in that test.
template <class Aimable, class Emit>
void for_each_move(const Grid& grid, Player side, Aimable&& aimable, Emit&& emit) {
    for (std::uint8_t row = 0; row < ROWS; ++row) {
        for (std::uint8_t col = 0; col < COLS; ++col) {
            const Cell& cell = grid.at(row, col);
            if (cell.state == CellState::FaceDown ||
                (cell.state == CellState::FaceUp && cell.owner == side &&
                 cell.kind == CardType::Normal)) {
                emit(Action{row, col, std::nullopt});
                continue;
            }
            if (cell.state != CellState::FaceUp || cell.owner != side) {
                continue;  // empty, or a face-up card of the other side
            }
            for (std::uint8_t target_row = 0; target_row < ROWS; ++target_row) {
                for (std::uint8_t target_col = 0; target_col < COLS; ++target_col) {
                    if ((target_row != row || target_col != col) &&
                        aimable(grid.at(target_row, target_col))) {
                        emit(Action{row, col, Square{target_row, target_col}});
                    }
                }
            }
        }
    }
}

}  // namespace varno
