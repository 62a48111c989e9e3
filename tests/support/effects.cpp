#include "effects.hpp"

namespace varno {

void flip(Grid& grid, unsigned row, unsigned col) {
    Cell& cell = grid.at(row, col);
    switch (cell.state) {
        case CellState::FaceUp:
            cell.state = CellState::FaceDown;
            break;
        case CellState::FaceDown:
            cell.state = CellState::FaceUp;
            break;
        case CellState::Empty:
            break;
    }
}

void apply_action(Grid& grid, Action action) {
    const unsigned row = action.row;
    const unsigned col = action.col;
    // Checked before anything changes, so that a bad source leaves the grid whole.
    Cell& source = grid.at(row, col);
    if (action.target) {
        flip(grid, action.target->row, action.target->col);
        flip(grid, row, col);
        return;
    }
    if (source.state == CellState::FaceDown) {
        source.state = CellState::Empty;
        return;
    }
    VARNO_CHECK(source.state == CellState::FaceUp, "untargeted action on an empty cell");
    // A face-up Normal card: it turns face down and turns over its orthogonal
    // neighbours, above, below, left, right.
    source.state = CellState::FaceDown;
    if (row > 0)
        flip(grid, row - 1, col);
    if (row < ROWS - 1)
        flip(grid, row + 1, col);
    if (col > 0)
        flip(grid, row, col - 1);
    if (col < COLS - 1)
        flip(grid, row, col + 1);
}

}  // namespace varno
