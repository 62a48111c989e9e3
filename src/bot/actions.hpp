// Internal to the bot: the actions the search considers in a position, in the order it
// tries them.
#pragma once

#include <bit>
#include <cstdint>

#include "bot/action_code.hpp"
#include "bot/position.hpp"
#include "game/board.hpp"

namespace varno::bot_detail {

// Writes to `out` the actions of the side whose cards are `own`, in search order, and
// returns how many (at most MAX_MOVES). They are the moves a person may play, except that
// the search never aims a Figure at a face-up card of its own side. In order: the plays
// of its face-up Figures aimed at the other side's Figures, then those aimed at the other
// side's Normals (face up or down; sources in cell order, each source's targets in cell
// order behind it); then, in cell order of their source, the rest: a plain play of a
// face-down card (anyone's) or of its own face-up Normal, or its face-up Figure aimed at
// its own face-down cards.
inline unsigned generate_actions(Position position, std::uint32_t own, std::uint32_t figures,
                                 ActionCode* out) {
    const std::uint32_t present = position.present;
    const std::uint32_t face_down = present & ~std::uint32_t{position.face_up};
    const std::uint32_t own_up = position.face_up & own;
    const std::uint32_t own_figures = own_up & figures;
    unsigned count = 0;
    const auto aim = [&](std::uint32_t sources, std::uint32_t targets) {
        for (; sources; sources &= sources - 1) {
            const auto source = static_cast<unsigned>(std::countr_zero(sources));
            for (std::uint32_t t = targets; t; t &= t - 1) {
                out[count++] =
                    ActionCode::aimed(source, static_cast<unsigned>(std::countr_zero(t)));
            }
        }
    };
    if (own_figures) {
        const std::uint32_t theirs = present & ~own;
        aim(own_figures, theirs & figures);
        aim(own_figures, theirs & ~figures);
    }
    const std::uint32_t own_down = face_down & own;
    for (std::uint32_t cells = face_down | own_up; cells; cells &= cells - 1) {
        const auto cell = static_cast<unsigned>(std::countr_zero(cells));
        if (own_figures >> cell & 1) {
            aim(1u << cell, own_down);
        } else {
            out[count++] = ActionCode::plain(cell);
        }
    }
    return count;
}

// Whether generate_actions would list `code` for the side owning `own`.
inline bool is_action(Position position, std::uint32_t own, std::uint32_t figures,
                      ActionCode code) {
    const unsigned source = code.source();
    const unsigned target = code.target();
    if (source >= CELL_COUNT)
        return false;
    const std::uint32_t present = position.present, face_up = position.face_up;
    const std::uint32_t own_up = face_up & own;
    if (code.is_plain()) {
        return ((present & ~face_up) | (own_up & ~figures)) >> source & 1;
    }
    return target < CELL_COUNT && target != source && ((own_up & figures) >> source & 1) &&
           ((present & ~(face_up & own)) >> target & 1);
}

}  // namespace varno::bot_detail
