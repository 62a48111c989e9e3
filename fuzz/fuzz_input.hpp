// Decoding of fuzzer input for the fuzz targets: a reachable position and what to do in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/moves.hpp"
#include "game/random.hpp"
#include "grid_forms.hpp"

namespace varno::fuzz {

// Reports a broken property and aborts, which the fuzzer records as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Reads the input front to back; past its end every byte reads as 0, so any input,
// the empty one included, decodes.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::string_view rest() const {
        return {reinterpret_cast<const char*>(data_) + pos_, size_ - pos_};
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Runs one input's checks; an exception escaping them is a failure too.
inline int run_checks(void (*check)(const std::uint8_t*, std::size_t), const std::uint8_t* data,
                      std::size_t size) {
    try {
        check(data, size);
    } catch (const std::exception& error) {
        fail(error.what());
    }
    return 0;
}

inline bool has_cards(const Grid& grid, Player side) {
    for (const Cell& cell : grid.cells) {
        if (cell.state != CellState::Empty && cell.owner == side) {
            return true;
        }
    }
    return false;
}

// A position of a game: a deal shuffled by the input (each draw of the shuffle reads a byte
// as the top of its word, and one more when the draw is rejected), then up to 255 plies of
// legal moves, sides alternating from A and passing when they have no move, until a side
// has no card left. A move byte with its high bit set picks among the moves that remove a
// card when there are any, so that the input reaches the sparse end of the game easily.
inline Grid reachable_position(ByteReader& in) {
    const unsigned plies = in.next();
    Deck deck = initial_deck();
    auto next_word = [&in] { return std::uint32_t{in.next()} << 24; };
    shuffle(deck, next_word);
    Grid grid = lay_out(deck);
    Player side = Player::A;
    for (unsigned ply = 0; ply < plies && has_cards(grid, Player::A) && has_cards(grid, Player::B);
         ++ply, side = opponent(side)) {
        const auto moves = legal_moves(grid, side);
        if (moves.empty()) {
            if (legal_moves(grid, opponent(side)).empty()) {
                break;
            }
            continue;
        }
        const std::uint8_t choice = in.next();
        FixedList<MoveText, MAX_MOVES> removals;
        for (const MoveText& move : moves) {
            if (move.size == 2 &&
                grid.at(move.chars[0] - 'A', move.chars[1] - '1').state == CellState::FaceDown) {
                removals.push_back(move);
            }
        }
        const auto& pool = (choice & 0x80) && !removals.empty() ? removals : moves;
        if (play_move(grid, pool[(choice & 0x7F) % pool.size()].view(), side) != MoveError::None) {
            fail("a listed move was refused while reaching the position");
        }
    }
    return grid;
}

}  // namespace varno::fuzz
