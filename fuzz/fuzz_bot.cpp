// The bot's turn: a reachable position, a side and a depth of 0 to 5. The turn must leave
// the grid alone, finish, choose one of the side's actions exactly when it has one and the
// depth is not 0, repeat itself, and agree with the recursive reference search.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bot/search.hpp"
#include "bot/turn.hpp"
#include "fuzz_input.hpp"
#include "game/board.hpp"
#include "effects.hpp"
#include "game/moves.hpp"
#include "reference.hpp"
#include "reference_search.hpp"
#include "vector_file.hpp"

namespace varno::fuzz {
namespace {

// The place of an action in generation order: sources row-major, a Figure's targets
// row-major behind it.
unsigned generation_rank(const Action& action) {
    const unsigned source = action.row * COLS + action.col;
    return source * (CELL_COUNT + 1) +
           (action.target ? 1 + action.target->row * COLS + action.target->col : 0);
}

// The bot's actions are the legal moves less those aiming at a face-up card of the side's
// own, ordered by key and, within a key, by generation.
void check_actions(const Grid& grid, Player side, const BotActions& actions) {
    const auto moves = legal_moves(grid, side);
    std::size_t aimed_at_own = 0;
    for (const MoveText& move : moves) {
        if (move.size == 4) {
            const Cell& target = grid.at(move.chars[2] - 'A', move.chars[3] - '1');
            aimed_at_own += target.state == CellState::FaceUp && target.owner == side;
        }
    }
    if (actions.size() + aimed_at_own != moves.size()) {
        fail("the bot's actions are not the legal moves less those at its own face-up cards");
    }
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const Action& action = actions[i];
        const MoveText text = move_text(action);
        if (std::none_of(moves.begin(), moves.end(),
                         [&](const MoveText& move) { return move.view() == text.view(); })) {
            fail("a bot action is not a legal move");
        }
        if (action.target) {
            const Cell& target = grid.at(action.target->row, action.target->col);
            if (target.state == CellState::FaceUp && target.owner == side) {
                fail("a bot action aims at its own face-up card");
            }
        }
        if (i > 0) {
            const Action& previous = actions[i - 1];
            const unsigned key = action_order_key(grid, side, action);
            const unsigned previous_key = action_order_key(grid, side, previous);
            if (previous_key > key ||
                (previous_key == key && generation_rank(previous) >= generation_rank(action))) {
                fail("the bot's actions are out of order");
            }
        }
    }
}

void check(const std::uint8_t* data, std::size_t size) {
    static const ZobristKeys keys = vectors::keys_from_seed(0x5EED);
    ByteReader in(data, size);
    const Grid grid = reachable_position(in);
    const Player bot = in.next() & 1 ? Player::B : Player::A;
    const std::uint32_t depth = in.next() % 6;

    const BotActions actions = get_bot_actions(grid, bot);
    check_actions(grid, bot, actions);

    const Grid copy = grid;
    TurnStats stats;
    const TurnOutcome outcome = bot_turn_with_stats(grid, bot, depth, keys, stats);
    if (grid != copy) {
        fail("the turn changed the grid");
    }
    if (outcome.status != TurnStatus::Done) {
        fail("the turn did not finish");
    }
    if (outcome.move.has_value() != (depth > 0 && !actions.empty())) {
        fail("a move without depth or action, or none with both");
    }
    if (outcome.move) {
        if (std::find(actions.begin(), actions.end(), *outcome.move) == actions.end()) {
            fail("the chosen move is not one of the bot's actions");
        }
        Grid played = grid;
        Grid applied = grid;
        apply_action(applied, *outcome.move);
        if (play_move(played, move_text(*outcome.move).view(), bot) != MoveError::None ||
            played != applied) {
            fail("play_move does not play the chosen move as its action");
        }
    }

    TurnStats again_stats;
    const TurnOutcome again = bot_turn_with_stats(grid, bot, depth, keys, again_stats);
    if (again.status != outcome.status || again.move != outcome.move ||
        again_stats.iteration_nodes != stats.iteration_nodes || again_stats.score != stats.score ||
        again_stats.nodes != stats.nodes) {
        fail("a second turn on the same position differs");
    }

    reference::Reference expected{keys, bot, {}};
    std::optional<Action> expected_move;
    TurnStats expected_stats;
    expected.turn(grid, depth, expected_move, expected_stats);
    if (outcome.move != expected_move || stats.iteration_nodes != expected_stats.iteration_nodes ||
        (expected_move && stats.score != expected_stats.score)) {
        fail("the turn differs from the reference search");
    }
}

}  // namespace
}  // namespace varno::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return varno::fuzz::run_checks(varno::fuzz::check, data, size);
}
