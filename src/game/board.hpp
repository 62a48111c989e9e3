// The position model: cards on a grid of 3 rows by 4 columns, and the moves that
// change it. Plain values only; nothing here knows about the interpreter.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "game/fault.hpp"

namespace varno {

enum class Player : std::uint8_t { A = 0, B = 1 };
enum class CardType : std::uint8_t { Normal = 0, Figure = 1 };
enum class CellState : std::uint8_t { FaceUp = 0, FaceDown = 1, Empty = 2 };

constexpr Player opponent(Player side) {
    return side == Player::A ? Player::B : Player::A;
}

// One slot of the grid. Moves change only `state`; `owner` and `kind` stay with the
// slot for the whole game, also after the card is removed.
struct Cell {
    CellState state;
    Player owner;
    CardType kind;

    friend constexpr bool operator==(const Cell&, const Cell&) = default;
};
static_assert(sizeof(Cell) == 3);

inline constexpr unsigned ROWS = 3;
inline constexpr unsigned COLS = 4;
inline constexpr unsigned CELL_COUNT = ROWS * COLS;

constexpr bool in_grid(unsigned row, unsigned col) {
    return row < ROWS && col < COLS;
}

struct Square {
    std::uint8_t row;
    std::uint8_t col;

    friend constexpr bool operator==(const Square&, const Square&) = default;
};

// Twelve cells, row-major: cell (r, c) is cells[4 * r + c]. A fixed-size value with no
// heap storage, copied freely by the search.
struct Grid {
    std::array<Cell, CELL_COUNT> cells;

    // Checked access: an index outside the grid is a fault, never undefined behaviour.
    Cell& at(unsigned row, unsigned col) {
        VARNO_CHECK(in_grid(row, col), "grid index out of range");
        return cells[row * COLS + col];
    }
    const Cell& at(unsigned row, unsigned col) const {
        VARNO_CHECK(in_grid(row, col), "grid index out of range");
        return cells[row * COLS + col];
    }

    friend constexpr bool operator==(const Grid&, const Grid&) = default;
};
static_assert(sizeof(Grid) == 36);

// One move as the rules apply it: the played cell and, when a Figure is used, the
// cell it targets.
struct Action {
    std::uint8_t row;
    std::uint8_t col;
    std::optional<Square> target;

    friend constexpr bool operator==(const Action&, const Action&) = default;
};

// Turns the card in (row, col) over; an empty slot stays empty.
void flip(Grid& grid, unsigned row, unsigned col);

// Applies one allowed action. Checks indices, not game rules: callers pass only
// actions that the rules admit.
void apply_action(Grid& grid, Action action);

}  // namespace varno
