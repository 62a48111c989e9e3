// A move: its notation, the checks that decide whether a person may play it, and the
// listing of the moves a side may play, all on the packed grid a Board keeps.
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

// The Portuguese text shown to the player (UTF-8). Empty for `None`. Fixed texts: hosts
// match and translate them, so none may change by a byte.
std::string_view move_error_message(MoveError error);

// Validates `text` as a move of `side` and, when every check passes, applies it to
// `grid`. A refused move leaves `grid` untouched. The checks and effects work on the
// masks, a handful of bit operations with few branches.
MoveError play_move(PackedGrid& grid, std::string_view text, Player side);

// A move written in the notation: 2 or 4 ASCII characters.
struct MoveText {
    std::array<char, 4> chars{};
    std::uint8_t size = 0;

    std::string_view view() const { return {chars.data(), size}; }
};

MoveText move_text(const Action& action);

// Every move that play_move accepts for `side`, as actions: grouped by source cell in
// row-major order, a Figure's targets in row-major order behind it (which is the order
// of their texts). The order is kept: hosts show the list as it comes.
FixedList<Action, MAX_MOVES> legal_actions(PackedGrid grid, Player side);

}  // namespace varno
