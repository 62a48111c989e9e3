#include "grid_text.hpp"

#include <sstream>
#include <stdexcept>

namespace varno::support {

Cell parse_cell(const std::string& token) {
    if (token == "--")
        return Cell{CellState::Empty, Player::A, CardType::Normal};
    std::string card = token;
    CellState state = CellState::FaceUp;
    if (card.size() == 3 && card[0] == '-') {
        state = CellState::Empty;
        card = card.substr(1);
    }
    if (card.size() != 2)
        throw std::runtime_error("bad cell '" + token + "'");
    const char owner = card[0], kind = card[1];
    const bool lower = owner == 'a' || owner == 'b';
    if (state == CellState::Empty ? !lower : lower != (kind == 'n' || kind == 'f'))
        throw std::runtime_error("bad cell '" + token + "'");
    if (state != CellState::Empty && lower)
        state = CellState::FaceDown;
    Cell cell{state, Player::A, CardType::Normal};
    if (owner == 'B' || owner == 'b')
        cell.owner = Player::B;
    else if (owner != 'A' && owner != 'a')
        throw std::runtime_error("bad cell '" + token + "'");
    if (kind == 'F' || kind == 'f')
        cell.kind = CardType::Figure;
    else if (kind != 'N' && kind != 'n')
        throw std::runtime_error("bad cell '" + token + "'");
    return cell;
}

Grid parse_grid(std::string_view text) {
    std::istringstream in{std::string(text)};
    Grid grid{};
    unsigned count = 0;
    for (std::string token; in >> token;) {
        if (token == "/")
            continue;
        if (count == CELL_COUNT)
            throw std::runtime_error("more than twelve cells");
        grid.cells[count++] = parse_cell(token);
    }
    if (count != CELL_COUNT)
        throw std::runtime_error("fewer than twelve cells");
    return grid;
}

}  // namespace varno::support
