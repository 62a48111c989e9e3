// The saved state: written for every position, read back exactly, and refused whole
// when it is not a possible position.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/moves.hpp"
#include "game/saved_state.hpp"
#include "grid_forms.hpp"
#include "grid_text.hpp"
#include "vector_file.hpp"

namespace varno {
namespace {

// The (owner, kind) pairs of all twelve cells, empty ones included.
std::map<std::pair<Player, CardType>, int> pairs_of(const Grid& grid) {
    std::map<std::pair<Player, CardType>, int> pairs;
    for (const Cell& cell : grid.cells) {
        ++pairs[{cell.owner, cell.kind}];
    }
    return pairs;
}

// Equal as far as play can tell: the leftover owner and kind of empty cells aside.
void expect_same_position(const Grid& a, const Grid& b) {
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        EXPECT_EQ(a.cells[i].state, b.cells[i].state) << i;
        if (a.cells[i].state != CellState::Empty) {
            EXPECT_EQ(a.cells[i], b.cells[i]) << i;
        }
    }
}

TEST(SavedState, RoundTripsEveryReachablePositionKeepingTheDeck) {
    std::mt19937 rng(11);
    const auto deck_pairs = pairs_of(lay_out(initial_deck()));
    for (int game = 0; game < 400; ++game) {
        Grid grid = new_game();
        for (int ply = 0; ply < 40; ++ply) {
            const StateText text = save_state(grid);
            const LoadedState loaded = load_state(text.view());
            ASSERT_TRUE(loaded.grid) << loaded.error;
            expect_same_position(*loaded.grid, grid);
            EXPECT_EQ(pairs_of(*loaded.grid), deck_pairs);
            EXPECT_EQ(save_state(*loaded.grid).view(), text.view());
            const auto moves = legal_moves(grid, ply % 2 ? Player::B : Player::A);
            if (moves.empty()) {
                break;
            }
            ASSERT_EQ(play_move(grid, moves[rng() % moves.size()].view(),
                                ply % 2 ? Player::B : Player::A),
                      MoveError::None);
        }
    }
}

TEST(SavedState, WritesTheVectorNotation) {
    std::ifstream file(VARNO_VECTORS_DIR "/bot.tsv");
    ASSERT_TRUE(file);
    int grids = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ++grids;
        const std::string grid_text = vectors::split(line, '\t').at(0);
        std::string expected = grid_text;
        for (const char* leftover : {"-an", "-af", "-bn", "-bf"}) {
            for (auto at = expected.find(leftover); at != std::string::npos;
                 at = expected.find(leftover)) {
                expected.replace(at, 3, "--");
            }
        }
        const Grid grid = support::parse_grid(grid_text);
        EXPECT_EQ(save_state(grid).view(), expected);
        const LoadedState loaded = load_state(expected);
        ASSERT_TRUE(loaded.grid) << loaded.error;
        expect_same_position(*loaded.grid, grid);
    }
    EXPECT_GT(grids, 50);
}

TEST(SavedState, EmptyCellsGetTheMissingCardsInDeckOrder) {
    const LoadedState loaded = load_state("BF -- -- -- / -- -- -- -- / -- -- -- --");
    ASSERT_TRUE(loaded.grid) << loaded.error;
    const Deck deck = initial_deck();
    // A1 holds B's first Figure; the other cells get the rest of the deck, in order.
    unsigned next = 0;
    for (unsigned i = 1; i < CELL_COUNT; ++i, ++next) {
        if (next == 10) {
            ++next;  // deck[10] is the B Figure on A1
        }
        EXPECT_EQ(loaded.grid->cells[i].owner, deck[next].owner) << i;
        EXPECT_EQ(loaded.grid->cells[i].kind, deck[next].kind) << i;
    }
}

TEST(SavedState, RefusesWithAReason) {
    EXPECT_EQ(load_state("AN AN AN AN / AN -- -- -- / -- -- -- --").error,
              "invalid board state: 5 cards of A Normal, but the deck has 4");
    EXPECT_EQ(load_state("AN AF AN BF / AF BN AN BN / BN AN BF BN / --").error,
              "invalid board state: expected 3 rows separated by \" / \", found 4");
    EXPECT_EQ(load_state("AN AF AN BF / AF BN AN BN / BN AN BF").error,
              "invalid board state: expected 4 cells separated by single spaces in row C, "
              "found 3");
    EXPECT_EQ(load_state("AN AF AN BF / AF BN AN BN / BN AN BF bN").error,
              "invalid board state: cell C4 is not one of AN AF BN BF (face up), "
              "an af bn bf (face down) or -- (empty)");
    EXPECT_FALSE(load_state("AN AF AN BF / AF BN AN BN / BN AN BF BN").error.size());
}

}  // namespace
}  // namespace varno
