// Internal to the bot: the hash of a packed position (bot/zobrist.hpp), in three table
// lookups.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "bot/position.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"

namespace varno::bot_detail {

// A cell's key depends on its content: empty, face down or face up (its owner and kind are
// fixed for the turn). So the hash is the XOR of the empty grid's keys, of one value per
// present cell (its face-down key XOR its empty key) and of one value per face-up cell
// (its face-up key XOR its face-down key): three lookups, one per byte of the 24 bits of
// `present` with `face_up` above, in tables built once per turn from the keys and the
// card masks.
class PositionHashes {
  public:
    PositionHashes(const ZobristKeys& keys, const CardMasks& masks) {
        std::array<std::uint64_t, 24> bits{};
        std::uint64_t empty = 0;
        for (unsigned cell = 0; cell < CELL_COUNT; ++cell) {
            const auto& cell_keys = keys[cell / COLS][cell % COLS];
            const Player owner = (masks.owned[1] >> cell & 1) ? Player::B : Player::A;
            const CardType kind = (masks.figures >> cell & 1) ? CardType::Figure : CardType::Normal;
            const auto key = [&](CellState state) {
                return cell_keys[content_index(Cell{state, owner, kind})];
            };
            empty ^= key(CellState::Empty);
            bits[cell] = key(CellState::Empty) ^ key(CellState::FaceDown);
            bits[CELL_COUNT + cell] = key(CellState::FaceDown) ^ key(CellState::FaceUp);
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
