// An action of the search in one byte, as the action lists, the frames of the search and
// the table's entries hold it: the source cell (4 * row + col) in the high nibble, the
// target cell in the low nibble, NO_TARGET there for a plain play.
#pragma once

#include <cstdint>
#include <optional>

#include "game/board.hpp"

namespace varno::bot_detail {

struct ActionCode {
    // The low nibble of a plain play: no cell has this index.
    static constexpr unsigned NO_TARGET = 0xF;

    std::uint8_t bits;

    static constexpr ActionCode plain(unsigned source) {
        return {static_cast<std::uint8_t>(source << 4 | NO_TARGET)};
    }
    static constexpr ActionCode aimed(unsigned source, unsigned target) {
        return {static_cast<std::uint8_t>(source << 4 | target)};
    }

    constexpr unsigned source() const { return bits >> 4; }
    constexpr unsigned target() const { return bits & 0xFu; }
    constexpr bool is_plain() const { return target() == NO_TARGET; }

    // The action a person would write (NO_ACTION has none: never asked).
    constexpr Action action() const {
        Action action{static_cast<std::uint8_t>(source() / COLS),
                      static_cast<std::uint8_t>(source() % COLS), std::nullopt};
        if (!is_plain()) {
            action.target = Square{static_cast<std::uint8_t>(target() / COLS),
                                   static_cast<std::uint8_t>(target() % COLS)};
        }
        return action;
    }

    friend constexpr bool operator==(ActionCode, ActionCode) = default;
};
static_assert(sizeof(ActionCode) == 1);

// No action at all: a node or a turn without a best action yet. Its source nibble is no
// cell, so no list ever holds it.
inline constexpr ActionCode NO_ACTION{0xFF};

}  // namespace varno::bot_detail
