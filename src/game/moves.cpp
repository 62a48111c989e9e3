#include "game/moves.hpp"
#include "game/effects.hpp"

#include <iterator>
#include <optional>

namespace varno {

namespace {

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

// Reads a cell from a row letter and a column digit; any other byte, non-ASCII
// included, makes it no cell.
constexpr std::optional<Square> parse_square(char row_letter, char col_digit) {
    const unsigned row = static_cast<unsigned char>(row_letter) - unsigned{'A'};
    const unsigned col = static_cast<unsigned char>(col_digit) - unsigned{'1'};
    if (!in_grid(row, col)) {
        return std::nullopt;
    }
    return Square{static_cast<std::uint8_t>(row), static_cast<std::uint8_t>(col)};
}

MoveError check_plain(const Grid& grid, Square square, Player side) {
    const Cell& cell = grid.at(square.row, square.col);
    switch (cell.state) {
        case CellState::FaceDown:
            return MoveError::None;
        case CellState::Empty:
            return MoveError::NoCard;
        case CellState::FaceUp:
            break;
    }
    if (cell.owner != side) {
        return MoveError::OpponentFaceUp;
    }
    if (cell.kind == CardType::Figure) {
        return MoveError::FigureNeedsTarget;
    }
    return MoveError::None;
}

MoveError check_targeted(const Grid& grid, Square source, Square target, Player side) {
    if (source == target) {
        return MoveError::SameCell;
    }
    const Cell& from = grid.at(source.row, source.col);
    if (from.state != CellState::FaceUp) {
        return MoveError::SourceNotFaceUp;
    }
    if (from.owner != side) {
        return MoveError::NotYourFigure;
    }
    if (from.kind != CardType::Figure) {
        return MoveError::NotAFigure;
    }
    if (grid.at(target.row, target.col).state == CellState::Empty) {
        return MoveError::NoTargetCard;
    }
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

MoveError play_move(Grid& grid, std::string_view text, Player side) {
    if (text.size() == 2) {
        const std::optional<Square> square = parse_square(text[0], text[1]);
        if (!square) {
            return MoveError::BadCoordinate;
        }
        const MoveError error = check_plain(grid, *square, side);
        if (error == MoveError::None) {
            apply_action(grid, Action{square->row, square->col, std::nullopt});
        }
        return error;
    }
    if (text.size() == 4) {
        const std::optional<Square> source = parse_square(text[0], text[1]);
        if (!source) {
            return MoveError::BadSource;
        }
        const std::optional<Square> target = parse_square(text[2], text[3]);
        if (!target) {
            return MoveError::BadTarget;
        }
        const MoveError error = check_targeted(grid, *source, *target, side);
        if (error == MoveError::None) {
            apply_action(grid, Action{source->row, source->col, *target});
        }
        return error;
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

FixedList<Action, MAX_MOVES> legal_actions(const Grid& grid, Player side) {
    FixedList<Action, MAX_MOVES> actions;
    // A person may aim a Figure at any other card on the grid, their own included.
    for_each_move(
        grid, side, [](const Cell& target) { return target.state != CellState::Empty; },
        [&actions](const Action& action) { actions.push_back(action); });
    return actions;
}

FixedList<MoveText, MAX_MOVES> legal_moves(const Grid& grid, Player side) {
    FixedList<MoveText, MAX_MOVES> moves;
    for (const Action& action : legal_actions(grid, side)) {
        moves.push_back(move_text(action));
    }
    return moves;
}

}  // namespace varno
