// Internal to the bot: what the cards on the grid are worth, 10 per Normal and 15 per
// Figure, hidden cards included.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "bot/position.hpp"

namespace varno::bot_detail {

// The material of both sides over a mask of present cells, for one turn's owners and
// kinds. Two lookups, by the low and the high six cells, each giving the bot's material in
// the low half of a word and the other side's in the high half (at most 180 each: twelve
// cards of 15), so that one addition sums both.
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

}  // namespace varno::bot_detail
