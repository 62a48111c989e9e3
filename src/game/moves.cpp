#include "game/moves.hpp"

#include <array>
#include <bit>
#include <iterator>
#include <optional>

namespace varno {

namespace {

// Fixed texts, byte for byte (README, "What callers can rely on").
constexpr std::string_view MESSAGES[] = {
    "",
    "Formato inválido.",
    "Coordenada inválida.",
    "Não há carta nessa posição.",
    "Não podes jogar uma carta virada para cima do adversário.",
    "Precisas de um alvo para usar uma Figura (ex: A1A4).",
    "Origem inválida.",
    "Destino inválido.",
    "Não podes virar a própria Figura.",
    "A carta de origem não está virada para cima.",
    "A figura não te pertence.",
    "Apenas cartas Figura escolhem alvos.",
    "A carta alvo não existe.",
};
static_assert(std::size(MESSAGES) == static_cast<std::size_t>(MoveError::NoTargetCard) + 1);

// The index (4 * row + col) of the cell named by a row letter and a column digit, or
// NO_CELL; any other byte, non-ASCII included, names no cell.
constexpr unsigned NO_CELL = CELL_COUNT;

constexpr unsigned parse_cell(char row_letter, char col_digit) {
    const unsigned row = static_cast<unsigned char>(row_letter) - unsigned{'A'};
    const unsigned col = static_cast<unsigned char>(col_digit) - unsigned{'1'};
    return in_grid(row, col) ? row * COLS + col : NO_CELL;
}

// A card played without a target: a face-down card (anyone's) leaves the grid; one's own
// face-up Normal turns face down and turns over its neighbours, above, below, left and
// right (empty cells stay empty). Accepted plays of both kinds take the same path, with
// no branch on the kind: random games mix them, and a mispredicted branch costs more
// than the few operations of the other kind.
MoveError play_plain(PackedGrid& grid, unsigned cell, std::uint32_t own) {
    const std::uint32_t bit = 1u << cell;
    const std::uint32_t up = 0u - (grid.face_up >> cell & 1u);  // all ones if face up
    if (((~std::uint32_t{grid.present} | (up & (~own | grid.figures))) & bit) != 0) [[unlikely]] {
        return !(grid.present & bit) ? MoveError::NoCard
               : !(own & bit)        ? MoveError::OpponentFaceUp
                                     : MoveError::FigureNeedsTarget;
    }
    const std::uint32_t removed = bit & ~up;
    const std::uint32_t turned = (bit | (NEIGHBOURS[cell] & grid.present)) & up;
    grid.present = static_cast<std::uint16_t>(grid.present & ~removed);
    grid.face_up = static_cast<std::uint16_t>(grid.face_up ^ turned);
    return MoveError::None;
}

// One's own face-up Figure aimed at another card, anyone's: both turn over.
MoveError play_targeted(PackedGrid& grid, unsigned source, unsigned target, std::uint32_t own) {
    const std::uint32_t source_bit = 1u << source, target_bit = 1u << target;
    const std::uint32_t own_up_figures = grid.face_up & own & grid.figures;
    if (source == target || !(own_up_figures & source_bit) || !(grid.present & target_bit))
        [[unlikely]] {
        return source == target               ? MoveError::SameCell
               : !(grid.face_up & source_bit) ? MoveError::SourceNotFaceUp
               : !(own & source_bit)          ? MoveError::NotYourFigure
               : !(grid.figures & source_bit) ? MoveError::NotAFigure
                                              : MoveError::NoTargetCard;
    }
    grid.face_up = static_cast<std::uint16_t>((grid.face_up ^ target_bit) & ~source_bit);
    return MoveError::None;
}

constexpr char row_letter(unsigned row) {
    return static_cast<char>('A' + row);
}
constexpr char col_digit(unsigned col) {
    return static_cast<char>('1' + col);
}

}  // namespace

std::string_view move_error_message(MoveError error) {
    const auto index = static_cast<std::size_t>(error);
    VARNO_CHECK(index < std::size(MESSAGES), "unknown move error");
    return MESSAGES[index];
}

MoveError play_move(PackedGrid& grid, std::string_view text, Player side) {
    const std::uint32_t own = grid.owned(side);
    if (text.size() == 2) {
        const unsigned cell = parse_cell(text[0], text[1]);
        return cell == NO_CELL ? MoveError::BadCoordinate : play_plain(grid, cell, own);
    }
    if (text.size() == 4) {
        const unsigned source = parse_cell(text[0], text[1]);
        if (source == NO_CELL) {
            return MoveError::BadSource;
        }
        const unsigned target = parse_cell(text[2], text[3]);
        if (target == NO_CELL) {
            return MoveError::BadTarget;
        }
        return play_targeted(grid, source, target, own);
    }
    return MoveError::BadFormat;
}

MoveText move_text(const Action& action) {
    VARNO_CHECK(in_grid(action.row, action.col), "move source outside the grid");
    MoveText text;
    text.chars[0] = row_letter(action.row);
    text.chars[1] = col_digit(action.col);
    text.size = 2;
    if (action.target) {
        VARNO_CHECK(in_grid(action.target->row, action.target->col),
                    "move target outside the grid");
        text.chars[2] = row_letter(action.target->row);
        text.chars[3] = col_digit(action.target->col);
        text.size = 4;
    }
    return text;
}

FixedList<Action, MAX_MOVES> legal_actions(PackedGrid grid, Player side) {
    FixedList<Action, MAX_MOVES> actions;
    const std::uint32_t own = grid.owned(side);
    const std::uint32_t own_up = grid.face_up & own;
    const std::uint32_t plain =
        (grid.present & ~std::uint32_t{grid.face_up}) | (own_up & ~std::uint32_t{grid.figures});
    const std::uint32_t aiming = own_up & grid.figures;
    const auto square = [](unsigned cell) {
        return Square{static_cast<std::uint8_t>(cell / COLS),
                      static_cast<std::uint8_t>(cell % COLS)};
    };
    for (std::uint32_t cells = plain | aiming; cells != 0; cells &= cells - 1) {
        const auto cell = static_cast<unsigned>(std::countr_zero(cells));
        const Square source = square(cell);
        if (plain >> cell & 1) {
            actions.push_back(Action{source.row, source.col, std::nullopt});
            continue;
        }
        // A person may aim a Figure at any other card on the grid, their own included.
        for (std::uint32_t targets = grid.present & ~(1u << cell); targets != 0;
             targets &= targets - 1) {
            actions.push_back(Action{source.row, source.col,
                                     square(static_cast<unsigned>(std::countr_zero(targets)))});
        }
    }
    return actions;
}

}  // namespace varno
