// Minimax and the bot turn (the vector file is checked in
// test_bot_vectors.cpp).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cstdio>
#include <limits>

#include "bot/search.hpp"
#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/random.hpp"
#include "grid_text.hpp"
#include "reference.hpp"
#include "reference_search.hpp"
#include "vector_file.hpp"

namespace varno {
namespace {

using reference::HIGH;
using reference::LOW;
using reference::Reference;
using support::parse_grid;
constexpr std::uint32_t MAX_DEPTH = std::numeric_limits<std::uint32_t>::max();

TranspositionTable new_table() {
    auto table = TranspositionTable::allocate();
    if (!table)
        throw std::bad_alloc();
    return std::move(*table);
}

TEST(Minimax, WorkedFigures) {
    const ZobristKeys keys = vectors::keys_from_seed(1);
    TranspositionTable table = new_table();
    const Grid lone_a = parse_grid("AN -- -- -- / -- -- -- -- / -- -- -- --");
    EXPECT_EQ(minimax(lone_a, 3, true, Player::A, Player::A, LOW, HIGH, table, keys), 10003);
    EXPECT_EQ(minimax(parse_grid("BN -- -- -- / -- -- -- -- / -- -- -- --"), 3, true, Player::A,
                      Player::A, LOW, HIGH, table, keys),
              -10003);
    EXPECT_EQ(minimax(parse_grid("an an AF -- / BN bn BN -- / -- -- -- --"), 0, true, Player::A,
                      Player::A, LOW, HIGH, table, keys),
              5);
    EXPECT_EQ(minimax(parse_grid("-- -- -- -- / -- -- -- -- / -- -- -- --"), 2, true, Player::A,
                      Player::A, LOW, HIGH, table, keys),
              0);
    EXPECT_FALSE(find_entry(table, lone_a, keys));  // nothing stored for a terminal position
}

TEST(Minimax, EntryAfterCutOffByFirstChild) {
    const ZobristKeys keys = vectors::keys_from_seed(2);
    const Grid grid = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF --");  // m - o = 10
    {
        TranspositionTable table = new_table();
        std::uint64_t nodes = 0;
        EXPECT_EQ(minimax(grid, 1, true, Player::A, Player::A, -200, -150, table, keys, &nodes),
                  10);
        EXPECT_EQ(nodes, 2u);  // the node itself and its first child
        const auto entry = find_entry(table, grid, keys);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->depth, 1u);
        EXPECT_EQ(entry->score, 10);
        EXPECT_EQ(entry->bound, Bound::LowerBound);
        EXPECT_EQ(vectors::move_string(entry->best_action), "A2A4");
    }
    {
        TranspositionTable table = new_table();
        EXPECT_EQ(minimax(grid, 1, false, Player::B, Player::A, 150, 200, table, keys), 10);
        const auto entry = find_entry(table, grid, keys);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->score, 10);
        EXPECT_EQ(entry->bound, Bound::UpperBound);
        EXPECT_EQ(vectors::move_string(entry->best_action), "A4A2");
    }
}

TEST(BotTurn, MatchesTheRecursiveDefinition) {
    Xoshiro256 rng({5, 6, 7, 8});
    auto next_word = [&rng] { return rng.next_u32(); };
    for (int round = 0; round < 300; ++round) {
        Deck deck = initial_deck();
        shuffle(deck, next_word);
        Grid grid = lay_out(deck);
        for (Cell& cell : grid.cells)
            cell.state = static_cast<CellState>(rng.next_u32() % 8 < 5 ? 0 : rng.next_u32() % 3);
        const Player bot = rng.next_u32() % 2 ? Player::A : Player::B;
        const std::uint32_t depth = 1 + rng.next_u32() % 6;
        const ZobristKeys keys = vectors::keys_from_seed(round);
        Reference reference{keys, bot, {}};
        std::optional<Action> expected_move;
        TurnStats expected;
        reference.turn(grid, depth, expected_move, expected);
        for (const bool wide : {false, true}) {
            TurnStats stats;
            const TurnOutcome outcome = bot_turn_with_stats(
                grid, bot, depth, keys, stats, StopCheck{}, TranspositionTable::SLOT_BITS, wide);
            ASSERT_EQ(outcome.status, TurnStatus::Done);
            ASSERT_EQ(outcome.move, expected_move) << "round " << round << " wide " << wide;
            ASSERT_EQ(stats.iteration_nodes, expected.iteration_nodes) << "round " << round;
            if (expected_move) {
                ASSERT_EQ(stats.score, expected.score) << "round " << round;
            }
        }
    }
}

// A small table replaces entries all the time; its slots must still tell apart the
// positions that share one, by the bits above the slot index.
TEST(BotTurn, MatchesTheRecursiveDefinitionOnSmallTables) {
    Xoshiro256 rng({9, 10, 11, 12});
    auto next_word = [&rng] { return rng.next_u32(); };
    for (int round = 0; round < 200; ++round) {
        const unsigned slot_bits = TranspositionTable::MIN_SLOT_BITS + round % 4;
        Grid grid = lay_out([&] {
            Deck deck = initial_deck();
            shuffle(deck, next_word);
            return deck;
        }());
        for (Cell& cell : grid.cells)
            cell.state = static_cast<CellState>(rng.next_u32() % 8 < 5 ? 0 : rng.next_u32() % 3);
        const Player bot = rng.next_u32() % 2 ? Player::A : Player::B;
        const std::uint32_t depth = 3 + rng.next_u32() % 4;
        const ZobristKeys keys = vectors::keys_from_seed(1000 + round);
        Reference reference{keys, bot, {}};
        reference.slot_mask = (std::uint64_t{1} << slot_bits) - 1;
        std::optional<Action> expected_move;
        TurnStats expected;
        reference.turn(grid, depth, expected_move, expected);
        TurnStats stats;
        const bool wide = round % 8 >= 4;
        const TurnOutcome outcome =
            bot_turn_with_stats(grid, bot, depth, keys, stats, StopCheck{}, slot_bits, wide);
        ASSERT_EQ(outcome.status, TurnStatus::Done);
        ASSERT_EQ(outcome.move, expected_move) << "round " << round;
        ASSERT_EQ(stats.iteration_nodes, expected.iteration_nodes) << "round " << round;
        if (expected_move) {
            ASSERT_EQ(stats.score, expected.score) << "round " << round;
        }
    }
}

template <class Entry>
void check_round_trips(Score extreme) {
    for (const Bound bound : {Bound::Exact, Bound::LowerBound, Bound::UpperBound}) {
        for (const Score score : {Score{0}, Score{-1}, Score{140}, extreme, -extreme}) {
            for (const std::uint32_t depth : {0u, 1u, Entry::MAX_DEPTH}) {
                for (const std::uint32_t key : {0u, 0xFFFFFFu, 0xA5A5A5u}) {
                    Entry entry{};
                    entry.store(key, depth, score, bound, bot_detail::NO_ACTION);
                    EXPECT_TRUE(entry.holds(key));
                    EXPECT_FALSE(entry.holds(key ^ 0x800000));
                    EXPECT_FALSE(entry.holds(key ^ 1));
                    EXPECT_EQ(entry.score(), score);
                    EXPECT_EQ(entry.depth(), depth);
                    EXPECT_EQ(entry.bound(), bound);
                    EXPECT_EQ(entry.action(), bot_detail::NO_ACTION);
                    entry.store(key, depth, score, bound, bot_detail::ActionCode::aimed(3, 11));
                    EXPECT_EQ(entry.action(), bot_detail::ActionCode::aimed(3, 11));
                }
            }
        }
    }
}

TEST(TableEntries, HoldEveryValueOfTheirRange) {
    // A win scores 10000 + the remaining depth, which is below the turn's depth.
    check_round_trips<CompactEntry>(10000 + Score{CompactEntry::MAX_DEPTH} + 1);
    check_round_trips<WideEntry>(10000 + Score{WideEntry::MAX_DEPTH});
    EXPECT_TRUE(compact_entries_fit(0));
    EXPECT_TRUE(compact_entries_fit(16383));
    EXPECT_FALSE(compact_entries_fit(16384));
    bot_detail::Position position{0xFFF, 0x801};
    EXPECT_EQ(entry_key(position), 0x801FFFu);
}

template <class Entry>
void check_slots(unsigned bits) {
    auto table = TranspositionTable::allocate(bits);
    ASSERT_TRUE(table);
    // Two positions whose hashes share a slot: the slot answers for the one stored only.
    const std::uint64_t hash = 0x0123456789ABCDEFull;
    const std::uint64_t other = hash ^ (std::uint64_t{1} << bits);
    const std::uint32_t key = 0x012345, other_key = 0x012346;
    EXPECT_EQ(table->occupied_slot<Entry>(hash), nullptr);
    table->slot_for_store<Entry>(hash).store(key, 7, -12345, Bound::Exact,
                                             bot_detail::ActionCode::aimed(1, 2));
    const Entry* slot = table->occupied_slot<Entry>(other);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot, table->occupied_slot<Entry>(hash));
    EXPECT_TRUE(slot->holds(key));
    EXPECT_FALSE(slot->holds(other_key)) << bits;
    EXPECT_EQ(slot->score(), -12345);
    EXPECT_EQ(slot->depth(), 7u);
    // The last slot lies within the block (the sanitized build checks).
    const std::uint64_t last = ~std::uint64_t{0};
    table->slot_for_store<Entry>(last).store(other_key, 1, 1, Bound::UpperBound,
                                             bot_detail::ActionCode::aimed(0, 0));
    EXPECT_TRUE(table->occupied_slot<Entry>(last)->holds(other_key));
    table->clear();
    EXPECT_EQ(table->occupied_slot<Entry>(hash), nullptr);
    EXPECT_EQ(table->occupied_slot<Entry>(last), nullptr);
}

TEST(TranspositionTable, SizesFromMinimumToTheProducts) {
    EXPECT_FALSE(TranspositionTable::allocate(TranspositionTable::MIN_SLOT_BITS - 1));
    EXPECT_FALSE(TranspositionTable::allocate(TranspositionTable::SLOT_BITS + 1));
    for (unsigned bits : {TranspositionTable::MIN_SLOT_BITS, 16u, TranspositionTable::SLOT_BITS}) {
        check_slots<CompactEntry>(bits);
        check_slots<WideEntry>(bits);
    }
}

// The product's table starts on a 2 MiB boundary (the bitmap, then the slots), so that
// huge pages can hold it whole.
TEST(TranspositionTable, FullTableStartsOnAHugePageBoundary) {
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    constexpr std::uintptr_t BITMAP = (std::uintptr_t{1} << TranspositionTable::SLOT_BITS) / 8;
    for (int round = 0; round < 3; ++round) {
        auto table = TranspositionTable::allocate();
        ASSERT_TRUE(table);
        const auto first =
            reinterpret_cast<std::uintptr_t>(&table->slot_for_store<CompactEntry>(0));
        EXPECT_EQ(first % HUGE_PAGE, BITMAP);
        const auto wide = reinterpret_cast<std::uintptr_t>(&table->slot_for_store<WideEntry>(0));
        EXPECT_EQ(wide % HUGE_PAGE, BITMAP);
    }
}

TEST(BotTurn, NoMoveAtDepthZeroOrWithoutAction) {
    const ZobristKeys keys = vectors::keys_from_seed(3);
    const Grid deal = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF BN");
    const Grid stuck =
        parse_grid("AF -- -- -- / -- -- -- AN / -- -- -- --");  // B has nothing to play
    for (const auto& [grid, side, depth] :
         {std::tuple{deal, Player::A, 0u}, std::tuple{stuck, Player::B, 1u},
          std::tuple{stuck, Player::B, 7u}, std::tuple{stuck, Player::B, MAX_DEPTH},
          std::tuple{deal, Player::B, 0u}}) {
        TurnStats stats;
        const TurnOutcome outcome = bot_turn_with_stats(grid, side, depth, keys, stats);
        EXPECT_EQ(outcome.status, TurnStatus::Done);
        EXPECT_FALSE(outcome.move);
        EXPECT_TRUE(stats.iteration_nodes.empty());
    }
}

TEST(BotTurn, DepthOneAfterTheDealAimsAtTheFirstFigure) {
    const Grid deal = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF BN");
    const TurnOutcome outcome = bot_turn(deal, Player::A, 1, vectors::keys_from_seed(4));
    EXPECT_EQ(vectors::move_string(outcome.move), "A2A4");
}

TEST(BotTurn, ImmediateWinStopsAfterOneIterationEvenAtMaximumDepth) {
    const Grid grid =
        parse_grid("AN -- -- -- / -- -- -- -- / -- -- -- bn");          // C4 removes B's last card
    for (std::uint32_t depth : {1u, 50u, 16384u, 16385u, MAX_DEPTH}) {  // both entry forms
        TurnStats stats;
        const TurnOutcome outcome =
            bot_turn_with_stats(grid, Player::A, depth, vectors::keys_from_seed(5), stats);
        EXPECT_EQ(vectors::move_string(outcome.move), "C4");
        EXPECT_EQ(stats.iteration_nodes, std::vector<std::uint64_t>{2});
        EXPECT_EQ(stats.score, 10000);
    }
}

struct DeepJob {
    TurnOutcome outcome;
    TurnStats stats;
};

void* run_deep_search(void* argument) {
    auto* job = static_cast<DeepJob*>(argument);
    const Grid grid = parse_grid("AN -- BN bf / -- -- -- -- / -- AN an --");
    job->outcome =
        bot_turn_with_stats(grid, Player::A, 2000, vectors::keys_from_seed(11), job->stats);
    return nullptr;
}

TEST(BotTurn, Depth2000OnA256KiBStack) {
    DeepJob on_thread, on_main;
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, run_deep_search, &on_thread), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attributes);
    run_deep_search(&on_main);
    EXPECT_EQ(on_thread.outcome.status, TurnStatus::Done);
    EXPECT_EQ(vectors::move_string(on_thread.outcome.move), "C2");
    EXPECT_EQ(on_thread.stats.iteration_nodes.size(), 2000u);
    EXPECT_GT(on_thread.stats.nodes, 8'000'000u);
    EXPECT_EQ(on_thread.stats.iteration_nodes, on_main.stats.iteration_nodes);
    EXPECT_EQ(on_main.outcome.move, on_thread.outcome.move);
}

TEST(BotTurn, StopCheckAbandonsTheSearch) {
    const Grid deal = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF BN");
    int calls = 0;
    auto third_call = [](void* context) { return ++*static_cast<int*>(context) == 3; };
    TurnStats stats;
    const TurnOutcome stopped =
        bot_turn_with_stats(deal, Player::A, MAX_DEPTH, vectors::keys_from_seed(6), stats,
                            StopCheck{third_call, &calls});
    EXPECT_EQ(stopped.status, TurnStatus::Stopped);
    EXPECT_FALSE(stopped.move);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(stats.nodes, 3u * 65536);  // polled at 65,536 and 131,072, stopped at the third poll

    calls = 0;
    auto never = [](void* context) { return ++*static_cast<int*>(context) < 0; };
    const TurnOutcome done = bot_turn_with_stats(deal, Player::A, 8, vectors::keys_from_seed(6),
                                                 stats, StopCheck{never, &calls});
    EXPECT_EQ(done.status, TurnStatus::Done);
    EXPECT_TRUE(done.move);
    EXPECT_GT(calls, 0);
}

// In a child process whose address space leaves no room for the table.
void search_without_room() {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    const rlim_t limit =
        static_cast<rlim_t>(pages) * 4096 + (8u << 20);  // 8 MiB more, the table needs 16
    const rlimit address_space{limit, limit};
    setrlimit(RLIMIT_AS, &address_space);
    const Grid deal = parse_grid("AN AF AN BF / AF BN AN BN / BN AN BF BN");
    const TurnOutcome outcome = bot_turn(deal, Player::A, 3, vectors::keys_from_seed(7));
    std::_Exit(outcome.status == TurnStatus::OutOfMemory ? 0 : 1);
}

TEST(BotTurnDeathTest, TableAllocationFailureIsOutOfMemory) {
    EXPECT_EXIT(search_without_room(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varno
