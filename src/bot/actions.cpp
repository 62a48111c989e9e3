#include "bot/actions.hpp"

namespace varno {

std::uint8_t action_order_key(const Grid& grid, Player side, const Action& action) {
    if (!action.target) {
        return 2;
    }
    const Cell& target = grid.at(action.target->row, action.target->col);
    if (target.owner == side) {
        return 2;
    }
    return target.kind == CardType::Figure ? 0 : 1;
}

BotActions get_bot_actions(const Grid& grid, Player side) {
    BotActions actions;
    std::array<std::uint8_t, MAX_MOVES> keys{};
    const auto add = [&](const Action& action) {
        actions.push_back(action);
        keys[actions.size() - 1] = action_order_key(grid, side, action);
    };
    for (std::uint8_t row = 0; row < ROWS; ++row) {
        for (std::uint8_t col = 0; col < COLS; ++col) {
            const Cell& cell = grid.at(row, col);
            if (cell.state == CellState::FaceDown ||
                (cell.state == CellState::FaceUp && cell.owner == side &&
                 cell.kind == CardType::Normal)) {
                add(Action{row, col, std::nullopt});
                continue;
            }
            if (cell.state != CellState::FaceUp || cell.owner != side) {
                continue;  // empty, or a face-up card of the other side
            }
            for (std::uint8_t trow = 0; trow < ROWS; ++trow) {
                for (std::uint8_t tcol = 0; tcol < COLS; ++tcol) {
                    const Cell& target = grid.at(trow, tcol);
                    const bool other_cell = trow != row || tcol != col;
                    const bool aimable =
                        target.state == CellState::FaceDown ||
                        (target.state == CellState::FaceUp && target.owner != side);
                    if (other_cell && aimable) {
                        add(Action{row, col, Square{trow, tcol}});
                    }
                }
            }
        }
    }
    // Stable insertion sort by key: equal keys keep their generation order.
    for (std::size_t i = 1; i < actions.size(); ++i) {
        const Action action = actions[i];
        const std::uint8_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) {
            actions[j] = actions[j - 1];
            keys[j] = keys[j - 1];
        }
        actions[j] = action;
        keys[j] = key;
    }
    return actions;
}

}  // namespace varno
