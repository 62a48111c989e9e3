// Internal to the bot: the packed position the search works on, and what an action does
// to it.
//
// A cell is bit 4*row + col of a 12-bit mask. A position is two masks: `present` (the
// cell holds a card) and `face_up` (a subset of `present`). The owner and kind of the
// cards never change during a search, so they are fixed masks of the turn.
#pragma once

#include <array>
#include <cstdint>

#include "bot/action_code.hpp"
#include "game/board.hpp"

namespace varno::bot_detail {

struct Position {
    std::uint16_t present;
    std::uint16_t face_up;

    friend constexpr bool operator==(const Position&, const Position&) = default;
};

// What does not change during a turn: who owns each cell and which cells are Figures.
struct CardMasks {
    std::array<std::uint16_t, 2> owned;  // by Player value
    std::uint16_t figures;
};

// The grid's packed form split into what changes during a search and what does not.
inline void encode_grid(PackedGrid packed, Position& position, CardMasks& masks) {
    position = {packed.present, packed.face_up};
    masks = {{packed.owned(Player::A), packed.owned(Player::B)}, packed.figures};
}

// What an action code does to the masks, for every code (indexed by its byte): the
// source's bit, the target's bit (none for a plain play), and for a plain play the
// source's neighbours and its bit again (none for a play aimed at a target).
struct CodeEffect {
    std::uint16_t source;
    std::uint16_t target;
    std::uint16_t neighbours;
    std::uint16_t removed;
};

inline constexpr std::array<CodeEffect, 256> CODE_EFFECTS = [] {
    std::array<CodeEffect, 256> result{};
    for (unsigned source = 0; source < CELL_COUNT; ++source) {
        const auto source_bit = static_cast<std::uint16_t>(1u << source);
        for (unsigned target = 0; target < 16; ++target) {
            CodeEffect& effect = result[source << 4 | target];
            effect.source = source_bit;
            if (target == ActionCode::NO_TARGET) {
                effect.neighbours = NEIGHBOURS[source];
                effect.removed = source_bit;
            } else if (target < CELL_COUNT) {
                effect.target = static_cast<std::uint16_t>(1u << target);
            }
        }
    }
    return result;
}();

// Plays an action the side to move has (one that generate_actions lists): a play aimed at
// a target turns the target over and the source face down; a plain play of a face-up card
// turns it face down and its neighbours over; a plain play of a face-down card takes it
// off the grid. Without branches: which case applies follows no pattern the processor
// could predict.
inline Position apply_code(Position position, ActionCode code) {
    const CodeEffect effect = CODE_EFFECTS[code.bits];
    const std::uint32_t up = (position.face_up & effect.source) ? ~0u : 0u;
    position.face_up =
        static_cast<std::uint16_t>((position.face_up & ~std::uint32_t{effect.source}) ^
                                   (effect.target | (up & effect.neighbours & position.present)));
    position.present = static_cast<std::uint16_t>(position.present & ~(effect.removed & ~up));
    return position;
}

}  // namespace varno::bot_detail
