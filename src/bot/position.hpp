// Internal to the bot: the packed position the search works on, and its fast action
// generation, effects and hashing. Each gives exactly the result of its counterpart on a
// `Grid`: the cell-by-cell effects of a move (apply_action in the tests' support), and
// the ordered actions and position hash that the tests check the search against.
//
// A cell is bit 4*row + col of a 12-bit mask. A position is two masks: `present` (the
// cell holds a card) and `face_up` (a subset of `present`). The owner and kind of the
// cards never change during a search, so they are fixed masks of the turn.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "bot/zobrist.hpp"
#include "game/board.hpp"
#include "game/moves.hpp"

namespace varno::bot_detail {

// An action in one byte: source cell index in the high nibble, target cell index in the
// low nibble, NO_TARGET for a plain play. NO_ACTION is no action at all. generate_actions
// writes them; decode_action turns one back into an Action.
inline constexpr std::uint8_t NO_TARGET = 0xF;
inline constexpr std::uint8_t NO_ACTION = 0xFF;

constexpr Action decode_action(std::uint8_t code) {
    const unsigned source = code >> 4;
    const unsigned target = code & 0xF;
    Action action{static_cast<std::uint8_t>(source / COLS),
                  static_cast<std::uint8_t>(source % COLS), std::nullopt};
    if (target != NO_TARGET) {
        action.target = Square{static_cast<std::uint8_t>(target / COLS),
                               static_cast<std::uint8_t>(target % COLS)};
    }
    return action;
}

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

inline void encode_grid(const Grid& grid, Position& position, CardMasks& masks) {
    encode_grid(pack(grid), position, masks);
}

// The material of both sides over a mask of present cells, for one turn's owners and
// kinds: 10 per Normal, 15 per Figure. Two lookups, by the low and the high six cells,
// each giving the bot's material in the low half of a word and the other side's in the
// high half (at most 180 each: twelve cards of 15), so that one addition sums both.
class Materials {
  public:
    Materials(const CardMasks& masks, std::uint8_t bot) {
        // Each entry from the one without its lowest cell.
        for (unsigned half = 0; half < 2; ++half) {
            tables_[half][0] = 0;
            for (unsigned index = 1; index < 64; ++index) {
                const unsigned cell = 6 * half + static_cast<unsigned>(std::countr_zero(index));
                const std::uint32_t value = (masks.figures >> cell & 1) ? 15 : 10;
                tables_[half][index] = tables_[half][index & (index - 1)] +
                                       ((masks.owned[bot] >> cell & 1) ? value : value << 16);
            }
        }
    }

    // Both sides' material over `present`; mine and theirs read it.
    std::uint32_t operator()(std::uint32_t present) const {
        return tables_[0][present & 63] + tables_[1][present >> 6 & 63];
    }
    static std::int64_t mine(std::uint32_t both) { return both & 0xFFFF; }
    static std::int64_t theirs(std::uint32_t both) { return both >> 16; }

  private:
    std::array<std::array<std::uint32_t, 64>, 2> tables_;
};

// What an action code does to the masks, for every code: the source's bit, the target's
// bit (none for a plain play), and for a plain play the source's neighbours and its bit
// again (none for a play aimed at a target).
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
            if (target == NO_TARGET) {
                effect.neighbours = NEIGHBOURS[source];
                effect.removed = source_bit;
            } else if (target < CELL_COUNT) {
                effect.target = static_cast<std::uint16_t>(1u << target);
            }
        }
    }
    return result;
}();

// apply_action on the packed position. The action comes from generate_actions. A play
// aimed at a target flips it and turns the source face down; a plain play of a face-up
// card turns it face down and flips its neighbours; a plain play of a face-down card
// takes it off the grid. Without branches: which case applies follows no pattern the
// processor could predict.
inline Position apply_code(Position position, std::uint8_t code) {
    const CodeEffect effect = CODE_EFFECTS[code];
    const std::uint32_t up = (position.face_up & effect.source) ? ~0u : 0u;
    position.face_up =
        static_cast<std::uint16_t>((position.face_up & ~std::uint32_t{effect.source}) ^
                                   (effect.target | (up & effect.neighbours & position.present)));
    position.present = static_cast<std::uint16_t>(position.present & ~(effect.removed & ~up));
    return position;
}

// get_bot_actions on the packed position, as action codes. The stable sort by ordering
// key is built in: the key-0 actions (aimed at the other side's Figures) are generated
// first, then the key-1 ones (its Normals), then the key-2 ones (plain plays and plays
// aimed at one's own face-down cards), each group in generation order.
inline unsigned generate_actions(Position position, std::uint32_t own, std::uint32_t figures,
                                 std::uint8_t* out) {
    const std::uint32_t present = position.present;
    const std::uint32_t face_down = present & ~std::uint32_t{position.face_up};
    const std::uint32_t own_up = position.face_up & own;
    const std::uint32_t own_figures = own_up & figures;
    unsigned count = 0;
    const auto aim = [&](std::uint32_t sources, std::uint32_t targets) {
        for (; sources; sources &= sources - 1) {
            const unsigned source = static_cast<unsigned>(std::countr_zero(sources)) << 4;
            for (std::uint32_t t = targets; t; t &= t - 1) {
                out[count++] =
                    static_cast<std::uint8_t>(source | static_cast<unsigned>(std::countr_zero(t)));
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
        const unsigned cell = static_cast<unsigned>(std::countr_zero(cells));
        if (own_figures >> cell & 1) {
            aim(1u << cell, own_down);
        } else {
            out[count++] = static_cast<std::uint8_t>(cell << 4 | NO_TARGET);
        }
    }
    return count;
}

// Whether generate_actions would list `code` for the side owning `own`.
inline bool is_action(Position position, std::uint32_t own, std::uint32_t figures,
                      std::uint8_t code) {
    const unsigned source = code >> 4;
    const unsigned target = code & 0xF;
    if (source >= CELL_COUNT)
        return false;
    const std::uint32_t present = position.present, face_up = position.face_up;
    const std::uint32_t own_up = face_up & own;
    if (target == NO_TARGET) {
        return ((present & ~face_up) | (own_up & ~figures)) >> source & 1;
    }
    return target < CELL_COUNT && target != source && ((own_up & figures) >> source & 1) &&
           ((present & ~(face_up & own)) >> target & 1);
}

// position_hash on the packed position. A cell's key depends on its content: empty, face
// down or face up (its owner and kind are fixed for the turn). So the hash is the XOR of
// the empty grid's keys, of one value per present cell (its face-down key XOR its empty
// key) and of one value per face-up cell (its face-up key XOR its face-down key): three
// lookups, one per byte of the 24 bits of `present` with `face_up` above, in tables built
// once per turn from the keys and the card masks.
class PositionHashes {
  public:
    PositionHashes(const ZobristKeys& keys, const CardMasks& masks) {
        std::array<std::uint64_t, 24> bits{};
        std::uint64_t empty = 0;
        for (unsigned cell = 0; cell < CELL_COUNT; ++cell) {
            const auto& cell_keys = keys[cell / COLS][cell % COLS];
            // content 1 + 4 * down + 2 * owner + kind
            const unsigned up = 1 + 2 * (masks.owned[1] >> cell & 1) + (masks.figures >> cell & 1);
            const unsigned down = up + 4;
            empty ^= cell_keys[0];
            bits[cell] = cell_keys[0] ^ cell_keys[down];
            bits[CELL_COUNT + cell] = cell_keys[down] ^ cell_keys[up];
        }
        // Each entry from the one without its lowest bit: a turn builds them in 768 steps.
        for (unsigned byte = 0; byte < 3; ++byte) {
            tables_[byte][0] = byte == 0 ? empty : 0;
            for (unsigned index = 1; index < 256; ++index) {
                tables_[byte][index] =
                    tables_[byte][index & (index - 1)] ^
                    bits[8 * byte + static_cast<unsigned>(std::countr_zero(index))];
            }
        }
    }

    std::uint64_t operator()(Position position) const {
        const std::uint32_t bits = std::uint32_t{position.present} | std::uint32_t{position.face_up}
                                                                         << CELL_COUNT;
        return tables_[0][bits & 0xFF] ^ tables_[1][bits >> 8 & 0xFF] ^
               tables_[2][bits >> 16 & 0xFF];
    }

  private:
    std::array<std::array<std::uint64_t, 256>, 3> tables_;
};

}  // namespace varno::bot_detail
