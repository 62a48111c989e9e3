// The text picture of a position.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "game/board.hpp"

namespace varno {

// The picture of the position: a header line and one line per row; face-down cards
// are hidden. 98 to 122 ASCII characters, every line ending in "\n". The format is fixed
// byte for byte, uneven columns included: hosts and players' scripts read it as it is.
struct Picture {
    static constexpr std::size_t MAX_SIZE = 122;
    std::array<char, MAX_SIZE> chars{};
    std::size_t size = 0;

    std::string_view view() const { return {chars.data(), size}; }
};

Picture render(PackedGrid grid);

}  // namespace varno
