// The position model, the deal and the effect of a move on the grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "effects.hpp"
#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/fault.hpp"
#include "game/random.hpp"
#include "grid_text.hpp"

namespace varno {

// Failure messages show grids as rows of cells: U/D/E for the state, then a, A, b, B
// for the Normal and Figure cards of A and of B.
void PrintTo(const Cell& cell, std::ostream* out) {
    static constexpr char kState[] = {'U', 'D', 'E'};
    const char card =
        (cell.owner == Player::A ? 'a' : 'b') - (cell.kind == CardType::Figure ? 'a' - 'A' : 0);
    const unsigned state = static_cast<unsigned>(cell.state);
    *out << (state < 3 ? kState[state] : '?') << card;
}

void PrintTo(const Grid& grid, std::ostream* out) {
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        *out << (i % COLS == 0 ? (i == 0 ? "" : " / ") : " ");
        PrintTo(grid.cells[i], out);
    }
}

namespace {

using support::parse_grid;

constexpr std::array<Player, 2> kPlayers{Player::A, Player::B};
constexpr std::array<CardType, 2> kKinds{CardType::Normal, CardType::Figure};
constexpr std::array<CellState, 3> kStates{CellState::FaceUp, CellState::FaceDown,
                                           CellState::Empty};

// ---------------------------------------------------------------------------
// Helpers

struct Pos {
    unsigned row;
    unsigned col;
    friend bool operator==(const Pos&, const Pos&) = default;
    friend auto operator<=>(const Pos&, const Pos&) = default;
};

std::string name_of(Pos p) {
    return std::string{char('A' + p.row), char('1' + p.col)};
}

std::vector<Pos> all_cells() {
    std::vector<Pos> cells;
    for (unsigned r = 0; r < ROWS; ++r) {
        for (unsigned c = 0; c < COLS; ++c) {
            cells.push_back({r, c});
        }
    }
    return cells;
}

// Orthogonal neighbours of every cell, written out by hand.
const std::map<std::string, std::set<std::string>>& neighbour_table() {
    static const std::map<std::string, std::set<std::string>> table{
        {"A1", {"A2", "B1"}},
        {"A2", {"A1", "A3", "B2"}},
        {"A3", {"A2", "A4", "B3"}},
        {"A4", {"A3", "B4"}},
        {"B1", {"A1", "C1", "B2"}},
        {"B2", {"A2", "C2", "B1", "B3"}},
        {"B3", {"A3", "C3", "B2", "B4"}},
        {"B4", {"A4", "C4", "B3"}},
        {"C1", {"B1", "C2"}},
        {"C2", {"C1", "C3", "B2"}},
        {"C3", {"C2", "C4", "B3"}},
        {"C4", {"C3", "B4"}},
    };
    return table;
}

// A grid in which owners and kinds differ from cell to cell, so that a move that
// wrote the wrong byte or the wrong cell shows up.
Grid mixed_grid(CellState state = CellState::FaceUp) {
    Grid grid{};
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        grid.cells[i] = Cell{state, (i % 2) ? Player::B : Player::A,
                             (i % 3 == 0) ? CardType::Figure : CardType::Normal};
    }
    return grid;
}

// Background states cycling through all three values, shifted by `shift`.
Grid patterned_grid(unsigned shift) {
    Grid grid = mixed_grid();
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        grid.cells[i].state = kStates[(i + shift) % 3];
    }
    return grid;
}

CellState flipped(CellState state) {
    switch (state) {
        case CellState::FaceUp:
            return CellState::FaceDown;
        case CellState::FaceDown:
            return CellState::FaceUp;
        case CellState::Empty:
            return CellState::Empty;
    }
    return state;
}

// Every cell must keep its owner and kind.
void expect_cards_kept(const Grid& before, const Grid& after) {
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        EXPECT_EQ(before.cells[i].owner, after.cells[i].owner) << "cell " << i;
        EXPECT_EQ(before.cells[i].kind, after.cells[i].kind) << "cell " << i;
    }
}

// A scripted word source: hands out the given words in order and counts them.
class ScriptedWords {
  public:
    explicit ScriptedWords(std::vector<std::uint32_t> words) : words_(std::move(words)) {}

    std::uint32_t operator()() {
        if (used_ == words_.size()) {
            ADD_FAILURE() << "the word source ran dry after " << used_ << " words";
            throw std::runtime_error("scripted words exhausted");
        }
        return words_[used_++];
    }

    std::size_t used() const { return used_; }

  private:
    std::vector<std::uint32_t> words_;
    std::size_t used_ = 0;
};

// The smallest word that draws index j out of n: ceil(j * 2^32 / n). Its product with
// n exceeds j * 2^32 by less than n, so it is always accepted.
std::uint32_t word_for(std::uint32_t n, std::uint32_t j) {
    const std::uint64_t scaled = std::uint64_t{j} << 32;
    return static_cast<std::uint32_t>((scaled + n - 1) / n);
}

// A word whose product with n has exactly the given low half; its high half (the
// index it would draw) is returned alongside. Exists whenever `low` is a multiple of
// the largest power of two dividing n.
std::pair<std::uint32_t, std::uint32_t> word_with_low_half(std::uint32_t n, std::uint32_t low) {
    for (std::uint64_t high = 0; high < n; ++high) {
        const std::uint64_t product = (high << 32) | low;
        if (product % n == 0) {
            return {static_cast<std::uint32_t>(product / n), static_cast<std::uint32_t>(high)};
        }
    }
    ADD_FAILURE() << "no word for n=" << n << " low=" << low;
    return {0, 0};
}

// ---------------------------------------------------------------------------
// The deck and the deal

TEST(BoardDeck, InitialDeckOrder) {
    const Deck deck = initial_deck();
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        const Player owner = i < 6 ? Player::A : Player::B;
        const CardType kind =
            (i == 4 || i == 5 || i == 10 || i == 11) ? CardType::Figure : CardType::Normal;
        EXPECT_EQ(deck[i], (Card{owner, kind})) << "deck index " << i;
    }
}

void expect_full_deal(const Grid& grid) {
    std::map<std::pair<Player, CardType>, int> counts;
    for (const Cell& cell : grid.cells) {
        EXPECT_EQ(cell.state, CellState::FaceUp);
        ++counts[{cell.owner, cell.kind}];
    }
    EXPECT_EQ((counts[{Player::A, CardType::Normal}]), 4);
    EXPECT_EQ((counts[{Player::A, CardType::Figure}]), 2);
    EXPECT_EQ((counts[{Player::B, CardType::Normal}]), 4);
    EXPECT_EQ((counts[{Player::B, CardType::Figure}]), 2);
}

TEST(BoardDeck, LayOutPlacesDeckRowMajorFaceUp) {
    Deck deck = initial_deck();
    // Any order will do; reverse it so that position matters.
    std::reverse(deck.begin(), deck.end());
    const Grid grid = lay_out(deck);
    for (unsigned r = 0; r < ROWS; ++r) {
        for (unsigned c = 0; c < COLS; ++c) {
            const Card& card = deck[4 * r + c];
            EXPECT_EQ(grid.at(r, c), (Cell{CellState::FaceUp, card.owner, card.kind}))
                << name_of({r, c});
        }
    }
    expect_full_deal(grid);
}

TEST(BoardDeck, NewGameHasTheDeckFaceUp) {
    std::set<std::vector<int>> seen;
    for (int deal = 0; deal < 500; ++deal) {
        const Grid grid = new_game();
        expect_full_deal(grid);
        std::vector<int> key;
        for (const Cell& cell : grid.cells) {
            key.push_back(int(cell.owner) * 2 + int(cell.kind));
        }
        seen.insert(key);
    }
    // 500 deals out of 207900 placements: a handful of repeats at most.
    EXPECT_GT(seen.size(), 400u);
}

// Every cell of every kind of grid survives packing: the three states, and the owner
// and kind a cell keeps after its card has left. The masks are the cells' own bits.
TEST(BoardPacked, RoundTripsEveryCellValue) {
    std::uint32_t state = 12345;
    const auto next = [&state] { return state = state * 1103515245u + 12345u, state >> 16; };
    for (int trial = 0; trial < 2000; ++trial) {
        Grid grid{};
        for (Cell& cell : grid.cells) {
            cell = Cell{static_cast<CellState>(next() % 3), static_cast<Player>(next() % 2),
                        static_cast<CardType>(next() % 2)};
        }
        const PackedGrid packed = pack(grid);
        ASSERT_EQ(unpack(packed), grid);
        ASSERT_EQ(packed.face_up & ~packed.present, 0);
        for (unsigned i = 0; i < CELL_COUNT; ++i) {
            const Cell& cell = grid.cells[i];
            EXPECT_EQ(packed.present >> i & 1, cell.state != CellState::Empty);
            EXPECT_EQ(packed.owned_b >> i & 1, cell.owner == Player::B);
            EXPECT_EQ(packed.figures >> i & 1, cell.kind == CardType::Figure);
        }
    }
}

// ---------------------------------------------------------------------------
// Drawing an index

struct LiteralDraw {
    std::uint32_t n;
    std::uint32_t word;
    bool accepted;
    std::uint32_t index;  // meaningful when accepted
};

class BoardDrawLiteral : public ::testing::TestWithParam<LiteralDraw> {};

// The words next to the rejection zone for the ranges of the deal's first and last
// draws, worked out by hand: zone is 0xBFFFFFFF for 12, 0x7FFFFFFF for 8 and for 2.
TEST_P(BoardDrawLiteral, AcceptsOrRejectsWord) {
    const LiteralDraw& c = GetParam();
    const std::uint32_t fallback = 0;  // draws index 0 for every n
    ScriptedWords words({c.word, fallback});
    const std::uint32_t j = draw_index(c.n, words);
    if (c.accepted) {
        EXPECT_EQ(j, c.index);
        EXPECT_EQ(words.used(), 1u);
    } else {
        EXPECT_EQ(j, 0u);
        EXPECT_EQ(words.used(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoardDrawLiteral,
    ::testing::Values(
        // n = 12: low = 12 w for index 0; 0x0FFFFFFF * 12 = 0xBFFFFFF4 <= zone.
        LiteralDraw{12, 0x00000000, true, 0}, LiteralDraw{12, 0x0FFFFFFF, true, 0},
        LiteralDraw{12, 0x10000000, false, 0},  // low 0xC0000000 = zone + 1
        LiteralDraw{12, 0x15555555, false, 0},  // low 0xFFFFFFFC
        LiteralDraw{12, 0x15555556, true, 1},   // 0x1'00000008
        LiteralDraw{12, 0xFFFFFFFF, false, 0},  // 0xB'FFFFFFF4
        LiteralDraw{12, 0xF5555556, true, 11},  // 0xB'80000008
        // n = 8: index 0 for w < 0x10000000, rejected up to 0x1FFFFFFF, index 1 next.
        LiteralDraw{8, 0x0FFFFFFF, true, 0}, LiteralDraw{8, 0x10000000, false, 0},
        LiteralDraw{8, 0x1FFFFFFF, false, 0}, LiteralDraw{8, 0x20000000, true, 1},
        LiteralDraw{8, 0xEFFFFFFF, true, 7}, LiteralDraw{8, 0xF0000000, false, 0},
        // n = 2: two accepted quarters of the word range, two rejected.
        LiteralDraw{2, 0x3FFFFFFF, true, 0}, LiteralDraw{2, 0x40000000, false, 0},
        LiteralDraw{2, 0x7FFFFFFF, false, 0}, LiteralDraw{2, 0x80000000, true, 1},
        LiteralDraw{2, 0xBFFFFFFF, true, 1}, LiteralDraw{2, 0xC0000000, false, 0},
        LiteralDraw{2, 0xFFFFFFFF, false, 0}),
    [](const auto& info) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "n%u_w%08X", info.param.n, info.param.word);
        return std::string(buf);
    });

class BoardDrawRange : public ::testing::TestWithParam<std::uint32_t> {};

// Every range the shuffle uses, 2 to 12 values.
TEST_P(BoardDrawRange, HighHalfOfProductIsIndex) {
    const std::uint32_t n = GetParam();
    for (std::uint32_t j = 0; j < n; ++j) {
        ScriptedWords words({word_for(n, j)});
        EXPECT_EQ(draw_index(n, words), j);
        EXPECT_EQ(words.used(), 1u);
    }
}

TEST_P(BoardDrawRange, ZoneBoundary) {
    const std::uint32_t n = GetParam();
    // zone + 1 = n shifted up to the top bit; the word 2^k has exactly that product.
    int shift = 0;
    while (((n << shift) & 0x80000000u) == 0) {
        ++shift;
    }
    const std::uint64_t zone = (std::uint64_t{n} << shift) - 1;
    // The low half of w * n is a multiple of the largest power of two dividing n, so
    // for even n the zone itself is not reachable: the largest reachable value is.
    const std::uint32_t step = n & (~n + 1);
    const std::uint32_t last_accepted = static_cast<std::uint32_t>(zone + 1 - step);
    if (n % 2 == 1) {
        ASSERT_EQ(last_accepted, zone);
    }

    const auto [accepted_word, accepted_index] = word_with_low_half(n, last_accepted);
    {
        ScriptedWords words({accepted_word});
        EXPECT_EQ(draw_index(n, words), accepted_index);
        EXPECT_EQ(words.used(), 1u);
    }

    const std::uint32_t rejected_word = word_with_low_half(n, std::uint32_t(zone + 1)).first;
    EXPECT_EQ(rejected_word, std::uint32_t{1} << shift);
    {
        // Two rejected words in a row, then an accepted one: the result is the third.
        ScriptedWords words({rejected_word, rejected_word, word_for(n, n - 1)});
        EXPECT_EQ(draw_index(n, words), n - 1);
        EXPECT_EQ(words.used(), 3u);
    }
    {
        // The largest word: low half 2^32 - n, above the zone for every range here.
        ScriptedWords words({0xFFFFFFFFu, word_for(n, 1)});
        EXPECT_EQ(draw_index(n, words), 1u);
        EXPECT_EQ(words.used(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(ShuffleRanges, BoardDrawRange,
                         ::testing::Range(std::uint32_t{2}, std::uint32_t{13}));

// ---------------------------------------------------------------------------
// The shuffle

// The words that make the shuffle draw the given j for i = 11, 10, ..., 1.
std::vector<std::uint32_t> words_for_draws(const std::array<std::uint32_t, 11>& js,
                                           bool with_rejections = false) {
    std::vector<std::uint32_t> words;
    for (unsigned k = 0; k < js.size(); ++k) {
        const std::uint32_t n = CELL_COUNT - k;
        if (with_rejections) {
            words.push_back(0xFFFFFFFFu);  // above the zone for every n
        }
        words.push_back(word_for(n, js[k]));
    }
    return words;
}

// Where each deck entry ends up: result[q] is the original index of the entry that
// the shuffle leaves at position q. Each entry is traced by marking it alone.
std::array<unsigned, CELL_COUNT> traced_permutation(const std::vector<std::uint32_t>& words,
                                                    std::size_t* words_used = nullptr) {
    std::array<unsigned, CELL_COUNT> result{};
    result.fill(CELL_COUNT);
    for (unsigned p = 0; p < CELL_COUNT; ++p) {
        Deck deck;
        deck.fill(Card{Player::A, CardType::Normal});
        deck[p] = Card{Player::B, CardType::Figure};
        ScriptedWords source(words);
        shuffle(deck, source);
        if (words_used) {
            *words_used = source.used();
        }
        int marked = 0;
        for (unsigned q = 0; q < CELL_COUNT; ++q) {
            if (deck[q] == Card{Player::B, CardType::Figure}) {
                result[q] = p;
                ++marked;
            }
        }
        EXPECT_EQ(marked, 1);
    }
    return result;
}

struct ShuffleCase {
    const char* name;
    std::array<std::uint32_t, 11> js;  // for i = 11 down to 1
    std::array<unsigned, CELL_COUNT> expected;
};

class BoardShuffle : public ::testing::TestWithParam<ShuffleCase> {};

TEST_P(BoardShuffle, FollowsDrawnIndices) {
    const ShuffleCase& c = GetParam();
    for (const bool with_rejections : {false, true}) {
        SCOPED_TRACE(with_rejections ? "with rejected words" : "without rejected words");
        const std::vector<std::uint32_t> words = words_for_draws(c.js, with_rejections);
        std::size_t used = 0;
        EXPECT_EQ(traced_permutation(words, &used), c.expected);
        EXPECT_EQ(used, words.size());
    }
}

TEST_P(BoardShuffle, ShufflesTheRealDeck) {
    const ShuffleCase& c = GetParam();
    const Deck initial = initial_deck();
    Deck deck = initial;
    ScriptedWords source(words_for_draws(c.js));
    shuffle(deck, source);
    for (unsigned q = 0; q < CELL_COUNT; ++q) {
        EXPECT_EQ(deck[q], initial[c.expected[q]]) << "position " << q;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, BoardShuffle,
    ::testing::Values(
        // j = i every time: every swap is with itself.
        ShuffleCase{"identity",
                    {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
                    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        // j = 0 every time: entry 0 travels to the end, the rest move one place down.
        ShuffleCase{
            "all_zero", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0}},
        // Worked by hand: swaps (11,5) (9,0) (8,3) (6,2) (4,1) (3,0) (1,0).
        ShuffleCase{
            "mixed", {5, 10, 0, 3, 7, 2, 5, 1, 0, 2, 0}, {4, 8, 6, 9, 1, 11, 2, 7, 3, 0, 10, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// flip

using FlipParam = std::tuple<unsigned, CellState>;  // cell index, state before
class BoardFlip : public ::testing::TestWithParam<FlipParam> {};

TEST_P(BoardFlip, TurnsOnlyThatCell) {
    const auto [index, state] = GetParam();
    const Pos p{index / COLS, index % COLS};
    for (const Player owner : kPlayers) {
        for (const CardType kind : kKinds) {
            Grid grid = patterned_grid(index);
            grid.at(p.row, p.col) = Cell{state, owner, kind};
            const Grid before = grid;
            flip(grid, p.row, p.col);
            Grid expected = before;
            expected.at(p.row, p.col).state = flipped(state);
            EXPECT_EQ(grid, expected);
            expect_cards_kept(before, grid);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCells, BoardFlip,
                         ::testing::Combine(::testing::Range(0u, CELL_COUNT),
                                            ::testing::ValuesIn(kStates)));

TEST(BoardFlipTwice, RestoresTheCell) {
    for (const CellState state : kStates) {
        Grid grid = mixed_grid(state);
        const Grid before = grid;
        flip(grid, 1, 2);
        flip(grid, 1, 2);
        EXPECT_EQ(grid, before);
    }
}

// ---------------------------------------------------------------------------
// apply_action without a target

class BoardPlayFaceUp : public ::testing::TestWithParam<unsigned> {};

TEST_P(BoardPlayFaceUp, TurnsDownAndFlipsNeighbours) {
    const unsigned index = GetParam();
    const Pos source{index / COLS, index % COLS};
    const std::set<std::string>& neighbours = neighbour_table().at(name_of(source));
    // Three backgrounds, so that each neighbour is seen face up, face down and empty.
    for (unsigned shift = 0; shift < 3; ++shift) {
        SCOPED_TRACE("background " + std::to_string(shift));
        Grid grid = patterned_grid(shift);
        grid.at(source.row, source.col) =
            Cell{CellState::FaceUp, kPlayers[shift % 2], CardType::Normal};
        const Grid before = grid;
        apply_action(grid, Action{std::uint8_t(source.row), std::uint8_t(source.col), {}});

        for (const Pos p : all_cells()) {
            const CellState was = before.at(p.row, p.col).state;
            CellState want = was;
            if (p == source) {
                want = CellState::FaceDown;
            } else if (neighbours.contains(name_of(p))) {
                want = flipped(was);
            }
            EXPECT_EQ(grid.at(p.row, p.col).state, want) << name_of(p);
        }
        expect_cards_kept(before, grid);
    }
}

TEST_P(BoardPlayFaceUp, NeighbourCountOnFullGrid) {
    const unsigned index = GetParam();
    const Pos source{index / COLS, index % COLS};
    Grid grid = mixed_grid();
    grid.at(source.row, source.col).kind = CardType::Normal;
    apply_action(grid, Action{std::uint8_t(source.row), std::uint8_t(source.col), {}});
    unsigned face_down = 0;
    for (const Cell& cell : grid.cells) {
        face_down += cell.state == CellState::FaceDown;
    }
    const bool row_edge = source.row == 0 || source.row == ROWS - 1;
    const bool col_edge = source.col == 0 || source.col == COLS - 1;
    const unsigned expected_neighbours = 4 - unsigned(row_edge) - unsigned(col_edge);
    EXPECT_EQ(face_down, 1 + expected_neighbours);
    EXPECT_EQ(neighbour_table().at(name_of(source)).size(), expected_neighbours);
}

TEST_P(BoardPlayFaceUp, EmptyNeighboursStayEmpty) {
    const unsigned index = GetParam();
    const Pos source{index / COLS, index % COLS};
    Grid grid = mixed_grid(CellState::Empty);
    grid.at(source.row, source.col) = Cell{CellState::FaceUp, Player::B, CardType::Normal};
    const Grid before = grid;
    apply_action(grid, Action{std::uint8_t(source.row), std::uint8_t(source.col), {}});
    Grid expected = before;
    expected.at(source.row, source.col).state = CellState::FaceDown;
    EXPECT_EQ(grid, expected);
}

TEST_P(BoardPlayFaceUp, SameActionTwice) {
    const unsigned index = GetParam();
    const Pos source{index / COLS, index % COLS};
    Grid grid = mixed_grid();
    grid.at(source.row, source.col).kind = CardType::Normal;
    const Grid start = grid;
    const Action action{std::uint8_t(source.row), std::uint8_t(source.col), {}};
    apply_action(grid, action);
    const Grid after_first = grid;
    apply_action(grid, action);

    // The second application removes the card and leaves the neighbours as the first
    // one left them.
    Grid expected = after_first;
    expected.at(source.row, source.col).state = CellState::Empty;
    EXPECT_EQ(grid, expected);
    expect_cards_kept(start, grid);
}

INSTANTIATE_TEST_SUITE_P(AllCells, BoardPlayFaceUp, ::testing::Range(0u, CELL_COUNT));

using FaceDownParam = std::tuple<unsigned, Player, CardType>;
class BoardPlayFaceDown : public ::testing::TestWithParam<FaceDownParam> {};

TEST_P(BoardPlayFaceDown, RemovesCardWhoeverOwnsIt) {
    const auto [index, owner, kind] = GetParam();
    const Pos source{index / COLS, index % COLS};
    for (unsigned shift = 0; shift < 3; ++shift) {
        Grid grid = patterned_grid(shift);
        grid.at(source.row, source.col) = Cell{CellState::FaceDown, owner, kind};
        const Grid before = grid;
        apply_action(grid, Action{std::uint8_t(source.row), std::uint8_t(source.col), {}});
        Grid expected = before;
        expected.at(source.row, source.col).state = CellState::Empty;
        EXPECT_EQ(grid, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(AllCells, BoardPlayFaceDown,
                         ::testing::Combine(::testing::Range(0u, CELL_COUNT),
                                            ::testing::ValuesIn(kPlayers),
                                            ::testing::ValuesIn(kKinds)));

TEST(BoardPlayExamples, CornerWithMixedNeighbours) {
    Grid grid = parse_grid("AN BN BF an / bn AN -an BN / BF af BN AN");
    apply_action(grid, Action{0, 0, {}});
    EXPECT_EQ(grid, parse_grid("an bn BF an / BN AN -an BN / BF af BN AN"));
}

TEST(BoardPlayExamples, CentreWithFourFaceUpNeighbours) {
    Grid grid = parse_grid("an BN bf an / BN AN AN bn / -bf AF BN AN");
    apply_action(grid, Action{1, 1, {}});
    EXPECT_EQ(grid, parse_grid("an bn bf an / bn an an bn / -bf af BN AN"));
}

// ---------------------------------------------------------------------------
// apply_action with a target

using TargetParam = std::tuple<unsigned, unsigned>;  // source index, target index
class BoardPlayFigure : public ::testing::TestWithParam<TargetParam> {};

TEST_P(BoardPlayFigure, TurnsTargetAndFigureOnly) {
    const auto [source_index, target_index] = GetParam();
    const Pos source{source_index / COLS, source_index % COLS};
    const Pos target{target_index / COLS, target_index % COLS};
    for (const CellState target_state : {CellState::FaceUp, CellState::FaceDown}) {
        for (const Player owner : kPlayers) {
            for (const CardType kind : kKinds) {
                Grid grid = patterned_grid(source_index + target_index);
                grid.at(source.row, source.col) =
                    Cell{CellState::FaceUp, kPlayers[target_index % 2], CardType::Figure};
                grid.at(target.row, target.col) = Cell{target_state, owner, kind};
                const Grid before = grid;
                apply_action(grid,
                             Action{std::uint8_t(source.row), std::uint8_t(source.col),
                                    Square{std::uint8_t(target.row), std::uint8_t(target.col)}});
                Grid expected = before;
                expected.at(source.row, source.col).state = CellState::FaceDown;
                expected.at(target.row, target.col).state = flipped(target_state);
                EXPECT_EQ(grid, expected) << name_of(source) << name_of(target);
            }
        }
    }
}

// A Figure never targets its own cell.
std::vector<TargetParam> distinct_pairs() {
    std::vector<TargetParam> pairs;
    for (unsigned source = 0; source < CELL_COUNT; ++source) {
        for (unsigned target = 0; target < CELL_COUNT; ++target) {
            if (source != target) {
                pairs.emplace_back(source, target);
            }
        }
    }
    return pairs;
}

INSTANTIATE_TEST_SUITE_P(AllPairs, BoardPlayFigure, ::testing::ValuesIn(distinct_pairs()));

TEST(BoardPlayExamples, FigureOnFaceDownCorner) {
    Grid grid = parse_grid("AF BN BF an / bn AN -an bn / BF an BN an");
    apply_action(grid, Action{0, 0, Square{2, 3}});
    EXPECT_EQ(grid, parse_grid("af BN BF an / bn AN -an bn / BF an BN AN"));
}

// ---------------------------------------------------------------------------
// Indices outside the grid

struct OutOfGrid {
    const char* name;
    unsigned row;
    unsigned col;
};

void PrintTo(const OutOfGrid& c, std::ostream* out) {
    *out << c.name;
}

class BoardOutOfGrid : public ::testing::TestWithParam<OutOfGrid> {};

TEST_P(BoardOutOfGrid, GridAtFaults) {
    const OutOfGrid& c = GetParam();
    Grid grid = patterned_grid(1);
    const Grid& view = grid;
    EXPECT_THROW((void)grid.at(c.row, c.col), Fault);
    EXPECT_THROW((void)view.at(c.row, c.col), Fault);
}

TEST_P(BoardOutOfGrid, FlipFaultsAndChangesNothing) {
    const OutOfGrid& c = GetParam();
    Grid grid = patterned_grid(1);
    const Grid before = grid;
    EXPECT_THROW(flip(grid, c.row, c.col), Fault);
    EXPECT_EQ(grid, before);
}

TEST_P(BoardOutOfGrid, UntargetedSourceFaultsAndChangesNothing) {
    const OutOfGrid& c = GetParam();
    Grid grid = mixed_grid();
    const Grid before = grid;
    EXPECT_THROW(apply_action(grid, Action{std::uint8_t(c.row), std::uint8_t(c.col), {}}), Fault);
    EXPECT_EQ(grid, before);
}

TEST_P(BoardOutOfGrid, TargetFaultsAndChangesNothing) {
    const OutOfGrid& c = GetParam();
    Grid grid = mixed_grid();
    const Grid before = grid;
    EXPECT_THROW(apply_action(grid, Action{1, 1, Square{std::uint8_t(c.row), std::uint8_t(c.col)}}),
                 Fault);
    EXPECT_EQ(grid, before);
}

TEST_P(BoardOutOfGrid, TargetedSourceFaultsAndChangesNothing) {
    const OutOfGrid& c = GetParam();
    Grid grid = mixed_grid();
    const Grid before = grid;
    EXPECT_THROW(apply_action(grid, Action{std::uint8_t(c.row), std::uint8_t(c.col), Square{1, 1}}),
                 Fault);
    EXPECT_EQ(grid, before);
}

INSTANTIATE_TEST_SUITE_P(Indices, BoardOutOfGrid,
                         ::testing::Values(OutOfGrid{"row3", 3, 0}, OutOfGrid{"col4", 0, 4},
                                           OutOfGrid{"row3col4", 3, 4}, OutOfGrid{"row255", 255, 2},
                                           OutOfGrid{"col255", 1, 255}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BoardOutOfGridWide, FarIndicesFault) {
    Grid grid = patterned_grid(2);
    const Grid before = grid;
    for (const auto& [row, col] : {std::pair{0x80000000u, 0u}, std::pair{0u, 0xFFFFFFFFu},
                                   std::pair{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        EXPECT_THROW((void)grid.at(row, col), Fault);
        EXPECT_THROW(flip(grid, row, col), Fault);
    }
    EXPECT_EQ(grid, before);
}

TEST(BoardFault, CarriesMessageAndPosition) {
    Grid grid = mixed_grid();
    try {
        flip(grid, 3, 0);
        FAIL() << "no fault";
    } catch (const Fault& fault) {
        EXPECT_FALSE(fault.message().empty());
        EXPECT_STREQ(fault.what(), fault.message().c_str());
        ASSERT_NE(fault.file(), nullptr);
        EXPECT_GT(fault.line(), 0);
    }
}

}  // namespace
}  // namespace varno
