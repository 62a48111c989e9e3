// Internal to the bot: what the search says of a position (a score for the bot, and how a
// stored score bounds the true value) and how a node takes its children's values in.
#pragma once

#include <algorithm>
#include <cstdint>

#include "bot/action_code.hpp"

namespace varno {

// Scores are 64-bit: a win scores WIN + remaining depth, and the depth may reach 2^32 - 1.
using Score = std::int64_t;

// A win (the other side has no card left) scores WIN plus the remaining depth, so that a
// win nearer the root scores higher; a loss scores the negation.
inline constexpr Score WIN = 10000;

// Above any difference of material (at most 140) and below every win: a root score
// above it is a forced win, and the turn stops deepening.
inline constexpr Score FORCED_WIN = 8999;

// The window every root action is searched with: the 32-bit range less one and two at
// its ends. It decides which stored scores are exact, so the node counts of a turn depend
// on it; the scores of wins at remaining depths near 2^32 lie outside it.
inline constexpr Score ROOT_ALPHA = -2147483646;
inline constexpr Score ROOT_BETA = 2147483645;

// How a stored score relates to the position's value.
enum class Bound : std::uint8_t { Exact = 0, LowerBound = 1, UpperBound = 2 };

namespace bot_detail {

// A child's value taken into its parent's best: the first child's always (also where a
// loss at a remaining depth near 2^32 scores very low), a later child's only when it is
// strictly better for the side to move, so that of equal values the earlier action stays.
[[gnu::always_inline]] inline void keep_best(bool maximizing, bool first, Score value,
                                             ActionCode action, Score& best,
                                             ActionCode& best_action) {
    if ((maximizing ? value > best : value < best) || first) {
        best = value;
        best_action = action;
    }
}

// The same, and the value narrows the parent's window on the mover's side: alpha where
// the bot moves, beta where the other side does.
[[gnu::always_inline]] inline void take_child(bool maximizing, bool first, Score value,
                                              ActionCode action, Score& best,
                                              ActionCode& best_action, Score& alpha, Score& beta) {
    if (maximizing) {
        keep_best(true, first, value, action, best, best_action);
        alpha = std::max(alpha, value);
    } else {
        keep_best(false, first, value, action, best, best_action);
        beta = std::min(beta, value);
    }
}

// How the best score of an expanded node relates to its value. alpha and beta are the
// window at the end of the child loop; passed_alpha and passed_beta as it was passed.
// (The loop of a maximising node moves only alpha, that of a minimising node only beta.)
inline Bound bound_of(bool maximizing, Score best, Score passed_alpha, Score passed_beta,
                      Score alpha, Score beta) {
    if (maximizing) {
        return best <= passed_alpha ? Bound::UpperBound
               : best >= beta       ? Bound::LowerBound
                                    : Bound::Exact;
    }
    return best >= passed_beta ? Bound::LowerBound
           : best <= alpha     ? Bound::UpperBound
                               : Bound::Exact;
}

}  // namespace bot_detail
}  // namespace varno
