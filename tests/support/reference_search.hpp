// Test support: the bot search written out recursively on grids, with a map for the
// transposition table, to check the search against. Shared by tests/cpp/test_bot_search.cpp
// and the bot fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "bot/table.hpp"
#include "bot/zobrist.hpp"
#include "effects.hpp"
#include "game/board.hpp"
#include "reference.hpp"

namespace varno::reference {

// The window of the search at the root.
constexpr Score LOW = -2147483646, HIGH = 2147483645;

// Minimax and the bot turn written out recursively on grids, with a map for the table: the
// search must give the same move, score and node counts.
struct Reference {
    struct Entry {
        std::uint64_t key;
        std::uint32_t depth;
        Score score;
        Bound bound;
        Action action;
    };
    const ZobristKeys& keys;
    Player bot;
    std::unordered_map<std::uint64_t, Entry> table;
    std::uint64_t nodes = 0;
    std::uint64_t slot_mask = 0xFFFFF;  // the slots of the table written out

    Score minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player side, Score alpha,
                  Score beta) {
        ++nodes;
        const std::uint64_t hash = position_hash(grid, keys);
        const Score alpha0 = alpha, beta0 = beta;
        std::optional<Action> remembered;
        if (auto it = table.find(hash & slot_mask); it != table.end() && it->second.key == hash) {
            const Entry& entry = it->second;
            remembered = entry.action;
            if (entry.depth >= depth) {
                if (entry.bound == Bound::Exact)
                    return entry.score;
                if (entry.bound == Bound::LowerBound)
                    alpha = std::max(alpha, entry.score);
                if (entry.bound == Bound::UpperBound)
                    beta = std::min(beta, entry.score);
                if (alpha >= beta)
                    return entry.score;
            }
        }
        Score mine = 0, theirs = 0;
        for (const Cell& cell : grid.cells) {
            if (cell.state != CellState::Empty)
                (cell.owner == bot ? mine : theirs) += 10 + 5 * Score(cell.kind);
        }
        if (theirs == 0 && mine != 0)
            return 10000 + Score{depth};
        if (mine == 0 && theirs != 0)
            return -10000 - Score{depth};
        if (depth == 0)
            return mine - theirs;
        BotActions actions = get_bot_actions(grid, side);
        if (actions.empty())
            return mine - theirs;
        if (remembered) {
            for (Action& action : actions) {
                if (action == *remembered) {
                    std::swap(action, actions[0]);
                    break;
                }
            }
        }
        Score best = maximizing ? LOW : HIGH;
        Action best_action{};
        for (const Action& action : actions) {
            Grid child = grid;
            apply_action(child, action);
            const Score s = minimax(child, depth - 1, !maximizing, opponent(side), alpha, beta);
            if (maximizing ? s > best : s < best) {
                best = s;
                best_action = action;
            }
            (maximizing ? alpha : beta) = maximizing ? std::max(alpha, s) : std::min(beta, s);
            if (beta <= alpha)
                break;
        }
        const Bound bound = maximizing ? (best <= alpha0 ? Bound::UpperBound
                                          : best >= beta ? Bound::LowerBound
                                                         : Bound::Exact)
                                       : (best >= beta0   ? Bound::LowerBound
                                          : best <= alpha ? Bound::UpperBound
                                                          : Bound::Exact);
        table[hash & slot_mask] = Entry{hash, depth, best, bound, best_action};
        return best;
    }

    void turn(const Grid& grid, std::uint32_t depth, std::optional<Action>& move,
              TurnStats& stats) {
        for (std::uint32_t d = 1; d <= depth; ++d) {
            BotActions actions = get_bot_actions(grid, bot);
            if (actions.empty())
                return;
            if (move)
                std::swap(actions[0], *std::find(actions.begin(), actions.end(), *move));
            const std::uint64_t before = nodes;
            Score best = -2147483647;
            for (const Action& action : actions) {
                Grid child = grid;
                apply_action(child, action);
                const Score s = minimax(child, d - 1, false, opponent(bot), LOW, HIGH);
                if (s > best) {
                    best = s;
                    move = action;
                }
            }
            stats.iteration_nodes.push_back(nodes - before);
            stats.score = best;
            if (best > 8999)
                return;
        }
    }
};

}  // namespace varno::reference
