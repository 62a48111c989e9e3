#include "bot/actions.hpp"

#include "game/moves.hpp"

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
    // The search never aims a Figure at a face-up card of its own side.
    for_each_move(
        grid, side,
        [side](const Cell& target) {
            return target.state == CellState::FaceDown ||
                   (target.state == CellState::FaceUp && target.owner != side);
        },
        add);
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
