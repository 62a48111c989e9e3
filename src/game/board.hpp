// The position model: cards on a grid of 3 rows by 4 columns, cell by cell (Grid) and
// packed in four masks (PackedGrid), and a move as the rules apply it (Action). Plain
// values only; nothing here knows about the interpreter.
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

// The orthogonal neighbours of each cell (4 * row + col), as a mask of cell bits: the
// cards a face-up Normal turns over when played.
inline constexpr std::array<std::uint16_t, CELL_COUNT> NEIGHBOURS = [] {
    std::array<std::uint16_t, CELL_COUNT> result{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        const unsigned row = i / COLS, col = i % COLS;
        unsigned mask = 0;
        if (row > 0)
            mask |= 1u << (i - COLS);
        if (row + 1 < ROWS)
            mask |= 1u << (i + COLS);
        if (col > 0)
            mask |= 1u << (i - 1);
        if (col + 1 < COLS)
            mask |= 1u << (i + 1);
        result[i] = static_cast<std::uint16_t>(mask);
    }
    return result;
}();

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

// The grid in four 12-bit masks, cell (r, c) at bit 4 * r + c: what a Board keeps, in 8
// bytes rather than 36. Moves change only `present` and `face_up`; the owners and kinds
// stay with the cells, empty ones included, so a grid packs and unpacks without loss.
struct PackedGrid {
    std::uint16_t present;  // the cell holds a card
    std::uint16_t face_up;  // the card is face up: always within `present`
    std::uint16_t owned_b;  // the cell's card is B's
    std::uint16_t figures;  // the cell's card is a Figure

    // The cells whose cards are `side`'s.
    constexpr std::uint16_t owned(Player side) const {
        return side == Player::B ? owned_b : static_cast<std::uint16_t>(~owned_b & 0xFFF);
    }

    friend constexpr bool operator==(const PackedGrid&, const PackedGrid&) = default;
};

constexpr PackedGrid pack(const Grid& grid) {
    PackedGrid packed{0, 0, 0, 0};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        const Cell& cell = grid.cells[i];
        const auto bit = static_cast<std::uint16_t>(1u << i);
        if (cell.state != CellState::Empty)
            packed.present |= bit;
        if (cell.state == CellState::FaceUp)
            packed.face_up |= bit;
        if (cell.owner == Player::B)
            packed.owned_b |= bit;
        if (cell.kind == CardType::Figure)
            packed.figures |= bit;
    }
    return packed;
}

constexpr Grid unpack(PackedGrid packed) {
    Grid grid{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        const bool present = packed.present >> i & 1;
        const bool face_up = packed.face_up >> i & 1;
        grid.cells[i] =
            Cell{present ? (face_up ? CellState::FaceUp : CellState::FaceDown) : CellState::Empty,
                 (packed.owned_b >> i & 1) ? Player::B : Player::A,
                 (packed.figures >> i & 1) ? CardType::Figure : CardType::Normal};
    }
    return grid;
}

// One move as the rules apply it: the played cell and, when a Figure is used, the
// cell it targets.
struct Action {
    std::uint8_t row;
    std::uint8_t col;
    std::optional<Square> target;

    friend constexpr bool operator==(const Action&, const Action&) = default;
};

}  // namespace varno
