// The saved state of a position: a text that holds every card, face-down ones
// included, so that a position can be stored and loaded again exactly.
//
//     AN bf -- BN / an AF BN BN / bn AN BF af
//
// Twelve cells, row-major, one space between the cells of a row and " / " between
// rows. A face-up card is its owner letter then its kind letter (N for Normal, F for
// Figure); a face-down card is the same in lower case; "--" is an empty cell. The text
// reveals what the picture hides, so it belongs in a host's own storage, never in front
// of a player. The format is fixed: a text saved by any version loads in every later one.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "game/board.hpp"

namespace varno {

struct StateText {
    static constexpr std::size_t SIZE = CELL_COUNT * 2 + (COLS - 1) * ROWS + (ROWS - 1) * 3;
    std::array<char, SIZE> chars{};

    std::string_view view() const { return {chars.data(), chars.size()}; }
};

StateText save_state(const Grid& grid);

// The grid a saved state describes, or what is wrong with the text. A text is accepted
// only in exactly the form `save_state` writes, and only when it holds no more cards of
// an owner and kind than the deck has. The owner and kind bytes of empty cells, which
// the text does not carry, are given the deck's cards that are not on the grid, in deck
// order, so that the grid's twelve pairs are still the deck's.
struct LoadedState {
    std::optional<Grid> grid;
    std::string error;  // set when `grid` is empty
};

LoadedState load_state(std::string_view text);

}  // namespace varno
