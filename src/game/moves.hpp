// A move: its notation, the checks that decide whether a person may play it, and the
// listing of the moves a side may play.
//
// A plain move is two bytes, a row letter A-C and a column digit 1-4 (B2); a targeted
// move is four, the Figure's cell then the target's (A1C4). Texts are judged on their
// UTF-8 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "game/board.hpp"
#include "game/fixed_list.hpp"

namespace varno {

// The most moves one side can have: two face-up Figures with eleven targets each and
// a plain move on each of the other ten cells.
inline constexpr std::size_t MAX_MOVES = 32;

// Why a move was refused, in the order the checks run. `None` means it was applied.
enum class MoveError : std::uint8_t {
    None,
    BadFormat,          // neither 2 nor 4 bytes
    BadCoordinate,      // 2 bytes, not a cell
    NoCard,             // 2 bytes, the cell is empty
    OpponentFaceUp,     // 2 bytes, a face-up card of the other side
    FigureNeedsTarget,  // 2 bytes, one's own face-up Figure
    BadSource,          // 4 bytes, the first cell is not a cell
    BadTarget,          // 4 bytes, the second cell is not a cell
    SameCell,           // 4 bytes, target and source are one cell
    SourceNotFaceUp,    // 4 bytes, the source is face down or empty
    NotYourFigure,      // 4 bytes, the source belongs to the other side
    NotAFigure,         // 4 bytes, the source is a Normal card
    NoTargetCard,       // 4 bytes, the target cell is empty
};

// The Portuguese text shown to the player (UTF-8). Empty for `None`.
std::string_view move_error_message(MoveError error);

// Validates `text` as a move of `side` and, when every check passes, applies it to
// `grid`. A refused move leaves `grid` untouched. The checks and effects work on the
// masks of the packed grid, a handful of bit operations with few branches; the Grid form
// packs, plays and unpacks.
MoveError play_move(PackedGrid& grid, std::string_view text, Player side);
MoveError play_move(Grid& grid, std::string_view text, Player side);

// A move written in the notation: 2 or 4 ASCII characters.
struct MoveText {
    std::array<char, 4> chars{};
    std::uint8_t size = 0;

    std::string_view view() const { return {chars.data(), size}; }
};

MoveText move_text(const Action& action);

// Every move that play_move accepts for `side`, grouped by source cell in row-major
// order, a Figure's targets in row-major order behind it.
FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side);

// The same moves as actions, in the same order.
FixedList<Action, MAX_MOVES> legal_actions(const Grid& grid, Player side);

// The shape every listing of moves shares (legal_moves, and the bot's own ordering):
// sources in row-major order, a plain move for a face-down card (either side's) or one's
// own face-up Normal, and for one's own face-up Figure a targeted move per aimable cell,
// targets in row-major order.
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
