// The deck and the random deal of a new game.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <utility>

#include "game/board.hpp"

namespace varno {

struct Card {
    Player owner;
    CardType kind;

    friend constexpr bool operator==(const Card&, const Card&) = default;
};

using Deck = std::array<Card, CELL_COUNT>;

// Four Normal and two Figure cards per side, A's first.
constexpr Deck initial_deck() {
    Deck deck{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        deck[i] =
            Card{i < 6 ? Player::A : Player::B, (i % 6) < 4 ? CardType::Normal : CardType::Figure};
    }
    return deck;
}

// Anything that yields uniformly distributed 32-bit words: the thread's generator in
// play, a scripted sequence in tests.
template <class Source>
concept WordSource = requires(Source& source) {
    { source() } -> std::convertible_to<std::uint32_t>;
};

// A uniform index in [0, n) for 1 < n < 2^32, by multiplication with rejection: the
// high half of w * n is the index, and words whose low half falls above `zone` are
// redrawn so that every index has the same number of accepted words.
template <WordSource Source>
std::uint32_t draw_index(std::uint32_t n, Source& next_word) {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t product = std::uint64_t{static_cast<std::uint32_t>(next_word())} * n;
        if (static_cast<std::uint32_t>(product) <= zone) {
            return static_cast<std::uint32_t>(product >> 32);
        }
    }
}

// Backward Fisher-Yates: eleven draws, with ranges of 12, 11, ..., 2 values.
template <WordSource Source>
void shuffle(Deck& deck, Source& next_word) {
    for (std::uint32_t i = CELL_COUNT - 1; i >= 1; --i) {
        const std::uint32_t j = draw_index(i + 1, next_word);
        std::swap(deck[i], deck[j]);
    }
}

// Lays the deck onto the grid in row-major order, every card face up.
constexpr Grid lay_out(const Deck& deck) {
    Grid grid{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        grid.cells[i] = Cell{CellState::FaceUp, deck[i].owner, deck[i].kind};
    }
    return grid;
}

// A fresh random game from the calling thread's generator.
Grid new_game();

}  // namespace varno
