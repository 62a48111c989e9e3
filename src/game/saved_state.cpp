#include "game/saved_state.hpp"

#include "game/deal.hpp"

namespace varno {
namespace {

constexpr std::string_view ROW_SEPARATOR = " / ";
constexpr char OWNER_LETTERS[] = {'A', 'B'};
constexpr char KIND_LETTERS[] = {'N', 'F'};
constexpr const char* KIND_NAMES[] = {"Normal", "Figure"};

std::string cell_name(unsigned index) {
    return {static_cast<char>('A' + index / COLS), static_cast<char>('1' + index % COLS)};
}

// The cell a two-character text stands for, if it is one of the nine forms.
std::optional<Cell> parse_cell(std::string_view text) {
    if (text == "--") {
        return Cell{CellState::Empty, Player::A, CardType::Normal};
    }
    if (text.size() != 2) {
        return std::nullopt;
    }
    const bool face_down = text[0] == 'a' || text[0] == 'b';
    const char owner = face_down ? static_cast<char>(text[0] - 'a' + 'A') : text[0];
    const char kind = face_down ? static_cast<char>(text[1] - 'a' + 'A') : text[1];
    const bool same_case =
        face_down ? (text[1] == 'n' || text[1] == 'f') : (text[1] == 'N' || text[1] == 'F');
    if ((owner != 'A' && owner != 'B') || !same_case) {
        return std::nullopt;
    }
    return Cell{face_down ? CellState::FaceDown : CellState::FaceUp,
                owner == 'A' ? Player::A : Player::B,
                kind == 'N' ? CardType::Normal : CardType::Figure};
}

// Splits `text` at every `separator`.
template <std::size_t N>
std::size_t split(std::string_view text, std::string_view separator,
                  std::array<std::string_view, N>& parts) {
    std::size_t count = 0;
    for (;;) {
        const std::size_t at = text.find(separator);
        if (count < N) {
            parts[count] = text.substr(0, at);
        }
        ++count;
        if (at == std::string_view::npos) {
            return count;
        }
        text.remove_prefix(at + separator.size());
    }
}

LoadedState failure(std::string message) {
    return {std::nullopt, "invalid board state: " + std::move(message)};
}

}  // namespace

StateText save_state(const Grid& grid) {
    StateText text;
    std::size_t at = 0;
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        if (i > 0) {
            const std::string_view separator = i % COLS == 0 ? ROW_SEPARATOR : " ";
            separator.copy(text.chars.data() + at, separator.size());
            at += separator.size();
        }
        const Cell& cell = grid.cells[i];
        if (cell.state == CellState::Empty) {
            text.chars[at++] = '-';
            text.chars[at++] = '-';
            continue;
        }
        const char lower = cell.state == CellState::FaceDown ? 'a' - 'A' : 0;
        text.chars[at++] =
            static_cast<char>(OWNER_LETTERS[static_cast<unsigned>(cell.owner) & 1] + lower);
        text.chars[at++] =
            static_cast<char>(KIND_LETTERS[static_cast<unsigned>(cell.kind) & 1] + lower);
    }
    return text;
}

LoadedState load_state(std::string_view text) {
    std::array<std::string_view, ROWS> rows;
    const std::size_t row_count = split(text, ROW_SEPARATOR, rows);
    if (row_count != ROWS) {
        return failure("expected 3 rows separated by \" / \", found " + std::to_string(row_count));
    }
    Grid grid{};
    // Cards on the grid per owner and kind, indexed 2 * owner + kind.
    std::array<unsigned, 4> held{};
    for (unsigned r = 0; r < ROWS; ++r) {
        std::array<std::string_view, COLS> cells;
        const std::size_t cell_count = split(rows[r], " ", cells);
        if (cell_count != COLS) {
            return failure("expected 4 cells separated by single spaces in row " +
                           std::string(1, static_cast<char>('A' + r)) + ", found " +
                           std::to_string(cell_count));
        }
        for (unsigned c = 0; c < COLS; ++c) {
            const std::optional<Cell> cell = parse_cell(cells[c]);
            if (!cell) {
                return failure("cell " + cell_name(r * COLS + c) +
                               " is not one of AN AF BN BF (face up), an af bn bf (face down) "
                               "or -- (empty)");
            }
            grid.cells[r * COLS + c] = *cell;
            if (cell->state != CellState::Empty) {
                ++held[2 * static_cast<unsigned>(cell->owner) + static_cast<unsigned>(cell->kind)];
            }
        }
    }
    // The deck's cards that are not on the grid, in deck order; too many of a sort is an
    // impossible position.
    std::array<unsigned, 4> left{};
    std::array<Card, CELL_COUNT> missing{};
    std::size_t missing_count = 0;
    for (const Card& card : initial_deck()) {
        const unsigned sort =
            2 * static_cast<unsigned>(card.owner) + static_cast<unsigned>(card.kind);
        if (left[sort] < held[sort]) {
            ++left[sort];
        } else {
            missing[missing_count++] = card;
        }
    }
    for (unsigned sort = 0; sort < 4; ++sort) {
        if (held[sort] > left[sort]) {
            return failure(std::to_string(held[sort]) + " cards of " + OWNER_LETTERS[sort / 2] +
                           " " + KIND_NAMES[sort % 2] + ", but the deck has " +
                           std::to_string(left[sort]));
        }
    }
    std::size_t next = 0;
    for (Cell& cell : grid.cells) {
        if (cell.state == CellState::Empty) {
            cell.owner = missing[next].owner;
            cell.kind = missing[next].kind;
            ++next;
        }
    }
    return {grid, {}};
}

}  // namespace varno
