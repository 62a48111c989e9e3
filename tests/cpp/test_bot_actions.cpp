// The bot's actions in search order, and position hashing; plus the
// packed forms the search uses, checked against them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "bot/actions.hpp"
#include "bot/position.hpp"
#include "bot/position_hash.hpp"
#include "effects.hpp"
#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/random.hpp"
#include "grid_forms.hpp"
#include "grid_text.hpp"
#include "reference.hpp"
#include "vector_file.hpp"

namespace varno {
namespace {

using support::parse_grid;

std::string text_of(const BotActions& actions) {
    std::string text;
    for (const Action& action : actions) {
        if (!text.empty())
            text += ' ';
        text += vectors::move_string(action);
    }
    return text;
}

// A random position: a dealt grid whose cells are then made face down or empty at random.
Grid random_position(Xoshiro256& rng) {
    auto next_word = [&rng] { return rng.next_u32(); };
    Deck deck = initial_deck();
    shuffle(deck, next_word);
    Grid grid = lay_out(deck);
    for (Cell& cell : grid.cells)
        cell.state = static_cast<CellState>(rng.next_u32() % 3);
    return grid;
}

TEST(BotActions, AfterTheDealSixteenInKeyOrder) {
    // Figures of A at A2 and B1, of B at A4 and C3.
    const Grid grid = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF BN");
    EXPECT_EQ(text_of(get_bot_actions(grid, Player::A)),
              "A2A4 A2C3 B1A4 B1C3 "                      // key 0: at B's Figures
              "A2B2 A2B4 A2C1 A2C4 B1B2 B1B4 B1C1 B1C4 "  // key 1: at B's Normals
              "A1 A3 B3 C2");                             // key 2: plain plays
}

TEST(BotActions, FaceDownTargetsKeyedByHiddenKind) {
    // Two face-down cards of B, Normal before Figure in generation order.
    const Grid grid = parse_grid("AF -- bn bf / -- -- -- -- / -- -- -- an");
    EXPECT_EQ(text_of(get_bot_actions(grid, Player::A)), "A1A4 A1A3 A1C4 A3 A4 C4");
    EXPECT_EQ(text_of(get_bot_actions(grid, Player::B)), "A3 A4 C4");
}

TEST(BotActions, FigureWithoutTargetContributesNothing) {
    // Only empty cells and A's own face-up cards besides the Figure.
    EXPECT_TRUE(get_bot_actions(parse_grid("AF AF -bn -- / -- -- -- -- / -- -bf -- --"), Player::A)
                    .empty());
    EXPECT_EQ(
        text_of(get_bot_actions(parse_grid("AF -- AN -- / -- -- -- -- / -- -- -- --"), Player::A)),
        "A3");
    EXPECT_TRUE(
        get_bot_actions(parse_grid("-- -- -- -- / -- -- -- -- / -- -- -- --"), Player::B).empty());
}

TEST(BotActions, PackedGenerationEffectsAndHashMatchTheGridForms) {
    Xoshiro256 rng({1, 2, 3, 4});
    const ZobristKeys keys = vectors::keys_from_seed(99);
    for (int round = 0; round < 20000; ++round) {
        const Grid grid = random_position(rng);
        bot_detail::Position position{};
        bot_detail::CardMasks masks{};
        bot_detail::encode_grid(grid, position, masks);
        const bot_detail::PositionHashes hashes(keys, masks);
        ASSERT_EQ(hashes(position), position_hash(grid, keys));
        for (Player side : {Player::A, Player::B}) {
            const BotActions expected = get_bot_actions(grid, side);
            bot_detail::ActionCode codes[MAX_MOVES];
            const unsigned count = bot_detail::generate_actions(
                position, masks.owned[static_cast<unsigned>(side)], masks.figures, codes);
            ASSERT_EQ(count, expected.size());
            for (unsigned byte = 0; byte < 256; ++byte) {
                const bot_detail::ActionCode code{static_cast<std::uint8_t>(byte)};
                const bool listed = std::find(codes, codes + count, code) != codes + count;
                ASSERT_EQ(bot_detail::is_action(position, masks.owned[static_cast<unsigned>(side)],
                                                masks.figures, code),
                          listed);
            }
            for (unsigned i = 0; i < count; ++i) {
                ASSERT_EQ(codes[i].action(), expected[i]);
                Grid after = grid;
                apply_action(after, expected[i]);
                bot_detail::Position packed_after{};
                bot_detail::CardMasks unused{};
                bot_detail::encode_grid(after, packed_after, unused);
                ASSERT_EQ(bot_detail::apply_code(position, codes[i]), packed_after);
            }
        }
    }
}

// The key index of each cell content, as the hash's definition and the vectors' keys
// have it: 0 for every empty cell, 1 + 4 * state + 2 * owner + kind for a card.
TEST(PositionHash, ContentIndexOfEachContent) {
    std::set<unsigned> seen;
    for (Player owner : {Player::A, Player::B}) {
        for (CardType kind : {CardType::Normal, CardType::Figure}) {
            EXPECT_EQ(content_index(Cell{CellState::Empty, owner, kind}), 0u);
            const unsigned up = content_index(Cell{CellState::FaceUp, owner, kind});
            const unsigned down = content_index(Cell{CellState::FaceDown, owner, kind});
            EXPECT_EQ(up, 1 + 2 * static_cast<unsigned>(owner) + static_cast<unsigned>(kind));
            EXPECT_EQ(down, up + 4);
            seen.insert({up, down});
        }
    }
    EXPECT_EQ(seen, (std::set<unsigned>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(CONTENT_COUNT, 9u);
}

TEST(PositionHash, PropertiesWithFixedKeys) {
    const ZobristKeys keys = vectors::keys_from_seed(7);
    const Grid grid = parse_grid("AN af -bn BF / bn AN -- bf / AF an BN --");
    EXPECT_EQ(position_hash(grid, keys), position_hash(Grid(grid), keys));

    Grid changed = grid;  // the hidden owner, then the hidden kind, of a face-down card
    changed.at(0, 1).owner = Player::B;
    EXPECT_NE(position_hash(changed, keys), position_hash(grid, keys));
    changed = grid;
    changed.at(0, 1).kind = CardType::Normal;
    EXPECT_NE(position_hash(changed, keys), position_hash(grid, keys));

    changed = grid;  // the leftover bytes of an empty cell do not count
    changed.at(0, 2).owner = Player::A;
    changed.at(0, 2).kind = CardType::Figure;
    EXPECT_EQ(position_hash(changed, keys), position_hash(grid, keys));

    changed = grid;  // face down and back up
    flip(changed, 0, 0);
    EXPECT_NE(position_hash(changed, keys), position_hash(grid, keys));
    flip(changed, 0, 0);
    EXPECT_EQ(position_hash(changed, keys), position_hash(grid, keys));

    std::uint64_t empty_keys = 0;  // twelve index-0 keys, not zero
    for (unsigned row = 0; row < ROWS; ++row)
        for (unsigned col = 0; col < COLS; ++col)
            empty_keys ^= keys[row][col][0];
    const Grid empty = parse_grid("-- -af -bn -bf / -- -- -- -- / -- -- -- --");
    EXPECT_EQ(position_hash(empty, keys), empty_keys);
    EXPECT_NE(empty_keys, 0u);
}

TEST(PositionHash, ProcessKeysAreDrawnOnce) {
    const ZobristKeys& first = zobrist_keys();
    const ZobristKeys& second = zobrist_keys();
    EXPECT_EQ(&first, &second);
    std::set<std::uint64_t> distinct;
    for (const auto& row : first)
        for (const auto& cell : row)
            distinct.insert(cell.begin(), cell.end());
    EXPECT_EQ(distinct.size(), 108u);  // 108 draws of 64 bits: equal keys are vanishingly rare
}

// ctest runs each case in a process of its own, so here the first draw itself is raced:
// every thread must get the one table, with the same contents, drawn by one of them.
TEST(PositionHash, ThreadsRacingForTheFirstKeysShareOneTable) {
    constexpr int THREADS = 16;
    std::latch start(THREADS);
    std::array<const ZobristKeys*, THREADS> seen{};
    std::array<std::uint64_t, THREADS> first_key{};
    std::vector<std::jthread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = &zobrist_keys();
            first_key[i] = (*seen[i])[0][0][0];
        });
    }
    threads.clear();  // joins
    for (int i = 1; i < THREADS; ++i) {
        EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(first_key[i], first_key[0]);
    }
}

}  // namespace
}  // namespace varno
