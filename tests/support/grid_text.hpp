// Test support: grids written as text, in the notation of the search vectors
// (tests/data/README.md): twelve cells row-major, "/" allowed between rows; AN AF BN BF
// face up, an af bn bf face down, "--" an empty slot (owner A, Normal), -an -af -bn -bf
// an empty slot keeping those owner and kind bytes.
#pragma once

#include <string>
#include <string_view>

#include "game/board.hpp"

namespace varno::support {

// Throws std::runtime_error on a token that is none of the above.
Cell parse_cell(const std::string& token);

// Throws std::runtime_error unless the text holds exactly twelve cells.
Grid parse_grid(std::string_view text);

}  // namespace varno::support
