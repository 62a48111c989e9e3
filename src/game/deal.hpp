// The deck and the deal of a new game: the twelve cards laid out on the grid in a
// uniformly random order, every card face up.
#pragma once

#include <array>

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

// Lays the deck onto the grid in row-major order, every card face up.
constexpr Grid lay_out(const Deck& deck) {
    Grid grid{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        grid.cells[i] = Cell{CellState::FaceUp, deck[i].owner, deck[i].kind};
    }
    return grid;
}

// A fresh random game: the deck shuffled by the calling thread's generator, laid out.
Grid new_game();

}  // namespace varno
