// Move validation, legal move listing and rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "effects.hpp"
#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/moves.hpp"
#include "game/picture.hpp"
#include "game/random.hpp"
#include "grid_forms.hpp"
#include "grid_text.hpp"

// Counts heap allocations of this thread so that tests can assert that a call makes none.
// The replacements pair malloc with free; with the sanitizers' instrumentation GCC loses
// track of that pairing once they are inlined and warns of a mismatch that is not there.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
thread_local long allocations = 0;
}

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace varno {
namespace {

using support::parse_grid;

// The position of the listing and rendering examples.
const Grid EXAMPLE = parse_grid("AN an -- BF / BN AF an bn / -- BN AN bf");

std::vector<std::string> listing(const Grid& grid, Player side) {
    std::vector<std::string> out;
    for (const MoveText& move : legal_moves(grid, side)) {
        out.emplace_back(move.view());
    }
    return out;
}

std::vector<std::string> split(const std::string& words) {
    std::istringstream in(words);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

// Every text made of coordinate characters: the 12 plain and 144 targeted cell texts.
std::vector<std::string> coordinate_texts() {
    std::vector<std::string> cells;
    for (char r : {'A', 'B', 'C'}) {
        for (char c : {'1', '2', '3', '4'}) {
            cells.push_back({r, c});
        }
    }
    std::vector<std::string> out = cells;
    for (const std::string& source : cells) {
        for (const std::string& target : cells) {
            out.push_back(source + target);
        }
    }
    return out;
}

// A shuffled deck with independent random states, Empty included.
Grid random_position(std::mt19937& rng) {
    auto next_word = [&rng] { return static_cast<std::uint32_t>(rng()); };
    Deck deck = initial_deck();
    shuffle(deck, next_word);
    Grid grid = lay_out(deck);
    std::uniform_int_distribution<int> state(0, 2);
    for (Cell& cell : grid.cells) {
        cell.state = static_cast<CellState>(state(rng));
    }
    return grid;
}

// The action a coordinate text stands for.
Action action_of(std::string_view text) {
    Action action{static_cast<std::uint8_t>(text[0] - 'A'),
                  static_cast<std::uint8_t>(text[1] - '1'), std::nullopt};
    if (text.size() == 4) {
        action.target = Square{static_cast<std::uint8_t>(text[2] - 'A'),
                               static_cast<std::uint8_t>(text[3] - '1')};
    }
    return action;
}

TEST(RulesMessages, ExactTextsAndByteLengths) {
    struct Expected {
        MoveError error;
        std::string_view text;
        std::size_t bytes;
    };
    const Expected expected[] = {
        {MoveError::BadFormat, "Formato inválido.", 18},
        {MoveError::BadCoordinate, "Coordenada inválida.", 21},
        {MoveError::NoCard, "Não há carta nessa posição.", 31},
        {MoveError::OpponentFaceUp, "Não podes jogar uma carta virada para cima do adversário.",
         59},
        {MoveError::FigureNeedsTarget, "Precisas de um alvo para usar uma Figura (ex: A1A4).", 52},
        {MoveError::BadSource, "Origem inválida.", 17},
        {MoveError::BadTarget, "Destino inválido.", 18},
        {MoveError::SameCell, "Não podes virar a própria Figura.", 35},
        {MoveError::SourceNotFaceUp, "A carta de origem não está virada para cima.", 46},
        {MoveError::NotYourFigure, "A figura não te pertence.", 26},
        {MoveError::NotAFigure, "Apenas cartas Figura escolhem alvos.", 36},
        {MoveError::NoTargetCard, "A carta alvo não existe.", 25},
    };
    for (const Expected& e : expected) {
        EXPECT_EQ(move_error_message(e.error), e.text);
        EXPECT_EQ(move_error_message(e.error).size(), e.bytes) << e.text;
    }
    EXPECT_TRUE(move_error_message(MoveError::None).empty());
}

struct Rejection {
    const char* grid;
    std::string_view text;
    Player side;
    MoveError error;
};

TEST(RulesPlay, EveryRejectionLeavesTheGridUnchanged) {
    using enum MoveError;
    const char* up = "AN AF BN BF / AN AN BN BN / AF AN BF BN";
    const Rejection cases[] = {
        {up, "", Player::A, BadFormat},
        {up, "A", Player::A, BadFormat},
        {up, "A12", Player::A, BadFormat},
        {up, "A1 ", Player::A, BadFormat},
        {up, "A1B2C", Player::A, BadFormat},
        {up,
         "\xc3\x89"
         "1",
         Player::A, BadFormat},  // accented capital, digit: 3 bytes
        {up, "a1", Player::A, BadCoordinate},
        {up, "D1", Player::A, BadCoordinate},
        {up, "A0", Player::A, BadCoordinate},
        {up, "A5", Player::A, BadCoordinate},
        {up, "1A", Player::A, BadCoordinate},
        {up, "\xc3\x89", Player::A, BadCoordinate},  // one accented letter: 2 bytes
        {up, std::string_view("A\0", 2), Player::A, BadCoordinate},
        {"-bf AF BN BF / AN AN BN BN / AF AN BF BN", "A1", Player::A, NoCard},
        {up, "A3", Player::A, OpponentFaceUp},
        {up, "A4", Player::A, OpponentFaceUp},
        {up, "A1", Player::B, OpponentFaceUp},
        {up, "A2", Player::A, FigureNeedsTarget},
        {up, "A4", Player::B, FigureNeedsTarget},
        {up, "x1A1", Player::A, BadSource},
        {up,
         "A\xc3\xa9"
         "1",
         Player::A, BadSource},
        {up,
         "\xc3\x89"
         "1A",
         Player::A, BadSource},  // non-ASCII first byte, 4 bytes
        {up, "a2A1", Player::A, BadSource},
        {up, "A1x1", Player::A, BadTarget},
        {up, "A2A5", Player::A, BadTarget},
        {up, "A2\xc3\xa9", Player::A, BadTarget},
        // The same cell twice is refused before anything about the cell is looked at.
        {up, "A2A2", Player::A, SameCell},
        {up, "A1A1", Player::A, SameCell},
        {up, "A1A1", Player::B, SameCell},
        {"-af AF BN BF / AN AN BN BN / AF AN BF BN", "A1A1", Player::A, SameCell},
        {"af AF BN BF / AN AN BN BN / AF AN BF BN", "A1A1", Player::A, SameCell},
        {"af AF BN BF / AN AN BN BN / AF AN BF BN", "A1B1", Player::A, SourceNotFaceUp},
        {"-af AF BN BF / AN AN BN BN / AF AN BF BN", "A1B1", Player::A, SourceNotFaceUp},
        {up, "A4A1", Player::A, NotYourFigure},
        // The other side's face-up Normal: ownership is checked before kind.
        {up, "A3A1", Player::A, NotYourFigure},
        {up, "A1B1", Player::B, NotYourFigure},
        {up, "A1B1", Player::A, NotAFigure},
        {"AN AF -bn BF / AN AN BN BN / AF AN BF BN", "A2A3", Player::A, NoTargetCard},
    };
    for (const Rejection& c : cases) {
        const Grid before = parse_grid(c.grid);
        Grid grid = before;
        EXPECT_EQ(play_move(grid, c.text, c.side), c.error) << c.text << " on " << c.grid;
        EXPECT_EQ(grid, before) << c.text;
    }
}

struct Acceptance {
    const char* before;
    std::string_view text;
    Player side;
    const char* after;
};

TEST(RulesPlay, AcceptedMovesHaveTheirEffect) {
    const Acceptance cases[] = {
        // Face-down card of the other side: removed, neighbours untouched.
        {"bn AN BN BF / AN AN BN BN / AF AF BF BN", "A1", Player::A,
         "-bn AN BN BF / AN AN BN BN / AF AF BF BN"},
        // Own face-up Normal: turns down, neighbours turn over, empty ones stay empty.
        {"AN AN BN BF / bn AN BN BN / AF AF BF BN", "A1", Player::A,
         "an an BN BF / BN AN BN BN / AF AF BF BN"},
        {"AN AN BN BF / AN BN BN BN / AF AF BF BN", "B2", Player::B,
         "AN an BN BF / an bn bn BN / AF af BF BN"},
        {"AN -an BN BF / AN AN BN BN / AF AF BF BN", "B2", Player::A,
         "AN -an BN BF / an an bn BN / AF af BF BN"},
        // Figure on the side's own Normal: only the two cells change.
        {"AF AN BN BF / AN AN BN BN / AF AN BF BN", "A1B1", Player::A,
         "af AN BN BF / an AN BN BN / AF AN BF BN"},
        // Figure on a face-down card: it turns face up.
        {"AF AN BN BF / AN AN BN BN / AF AN BF bn", "A1C4", Player::A,
         "af AN BN BF / AN AN BN BN / AF AN BF BN"},
        // Figure on the other side's face-up Figure, and on one's own other Figure.
        {"AF AN BN BF / AN AN BN BN / AF AN BF BN", "C1A4", Player::A,
         "AF AN BN bf / AN AN BN BN / af AN BF BN"},
        {"AF AN BN BF / AN AN BN BN / AF AN BF BN", "A4C3", Player::B,
         "AF AN BN bf / AN AN BN BN / AF AN bf BN"},
    };
    for (const Acceptance& c : cases) {
        Grid grid = parse_grid(c.before);
        Grid expected_by_action = grid;
        apply_action(expected_by_action, action_of(c.text));
        EXPECT_EQ(play_move(grid, c.text, c.side), MoveError::None) << c.text;
        EXPECT_EQ(grid, parse_grid(c.after)) << c.text << " on " << c.before;
        EXPECT_EQ(grid, expected_by_action) << c.text;
    }
}

TEST(RulesPlay, JudgesEveryTwoByteTextOnItsBytes) {
    const Grid start = parse_grid("an AF BN BF / AN AN BN BN / AF AN BF bn");
    int accepted = 0;
    for (int b0 = 0; b0 < 256; ++b0) {
        for (int b1 = 0; b1 < 256; ++b1) {
            const char bytes[] = {static_cast<char>(b0), static_cast<char>(b1)};
            Grid grid = start;
            const MoveError error = play_move(grid, std::string_view(bytes, 2), Player::A);
            const bool is_cell = b0 >= 'A' && b0 <= 'C' && b1 >= '1' && b1 <= '4';
            if (!is_cell) {
                ASSERT_EQ(error, MoveError::BadCoordinate) << b0 << ' ' << b1;
                ASSERT_EQ(grid, start);
            }
            accepted += error == MoveError::None;
        }
    }
    EXPECT_EQ(accepted, 5);  // A1 and C4 face down, the Normals B1, B2 and C2
}

TEST(RulesPlay, NonCoordinateByteInAnyPositionOfAFourByteText) {
    const Grid start = parse_grid("AF AN BN BF / AN AN BN BN / AF AN BF BN");
    for (int position = 0; position < 4; ++position) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string text = "A1B1";
            text[position] = static_cast<char>(byte);
            const bool valid =
                position % 2 == 0 ? (byte >= 'A' && byte <= 'C') : (byte >= '1' && byte <= '4');
            if (valid) {
                continue;
            }
            Grid grid = start;
            EXPECT_EQ(play_move(grid, text, Player::A),
                      position < 2 ? MoveError::BadSource : MoveError::BadTarget)
                << position << ' ' << byte;
            EXPECT_EQ(grid, start);
        }
    }
}

TEST(RulesPlay, MakesNoAllocation) {
    Grid grid = parse_grid("AF AN BN BF / AN an BN BN / AF AN BF BN");
    const long before = allocations;
    play_move(grid, "A1C4", Player::A);
    play_move(grid, "B2", Player::B);
    play_move(grid, "B1", Player::A);
    play_move(grid, "Z9", Player::A);
    play_move(grid, "A1A1", Player::B);
    const Picture picture = render(grid);
    const auto moves = legal_moves(grid, Player::A);
    EXPECT_EQ(allocations, before);
    EXPECT_GT(picture.size, 0u);
    EXPECT_GT(moves.size(), 0u);
}

TEST(RulesListing, ActionsAreTheListedMovesInOrder) {
    for (const Player side : {Player::A, Player::B}) {
        const auto actions = legal_actions(EXAMPLE, side);
        std::vector<std::string> written;
        for (const Action& action : actions) {
            written.emplace_back(move_text(action).view());
        }
        EXPECT_EQ(written, listing(EXAMPLE, side));
        EXPECT_FALSE(written.empty());
    }
}

TEST(RulesMoveText, WritesPlainAndTargetedMoves) {
    EXPECT_EQ(move_text(Action{0, 0, std::nullopt}).view(), "A1");
    EXPECT_EQ(move_text(Action{2, 3, std::nullopt}).view(), "C4");
    EXPECT_EQ(move_text(Action{1, 1, Square{0, 3}}).view(), "B2A4");
    EXPECT_EQ(move_text(Action{2, 0, Square{2, 3}}).view(), "C1C4");
    EXPECT_THROW(move_text(Action{3, 0, std::nullopt}), Fault);
    EXPECT_THROW(move_text(Action{0, 4, std::nullopt}), Fault);
    EXPECT_THROW(move_text(Action{0, 0, Square{0, 4}}), Fault);
}

TEST(RulesListing, WorkedExample) {
    EXPECT_EQ(listing(EXAMPLE, Player::A),
              split("A1 A2 B2A1 B2A2 B2A4 B2B1 B2B3 B2B4 B2C2 B2C3 B2C4 B3 B4 C3 C4"));
    EXPECT_EQ(listing(EXAMPLE, Player::B),
              split("A2 A4A1 A4A2 A4B1 A4B2 A4B3 A4B4 A4C2 A4C3 A4C4 B1 B3 B4 C2 C4"));
}

TEST(RulesListing, FreshDealGivesTwentySixSortedMovesPerSide) {
    for (int deal = 0; deal < 50; ++deal) {
        const Grid grid = new_game();
        for (Player side : {Player::A, Player::B}) {
            const std::vector<std::string> moves = listing(grid, side);
            EXPECT_EQ(moves.size(), 26u);
            EXPECT_TRUE(std::is_sorted(moves.begin(), moves.end()));
            EXPECT_EQ(std::set<std::string>(moves.begin(), moves.end()).size(), moves.size());
        }
    }
}

TEST(RulesListing, EdgePositions) {
    const Grid empty = parse_grid("-- -- -- -- / -- -- -- -- / -- -- -- --");
    EXPECT_TRUE(listing(empty, Player::A).empty());
    EXPECT_TRUE(listing(empty, Player::B).empty());
    // A lone Figure has no target and no plain move.
    const Grid lone = parse_grid("-- -- -- -- / -- AF -- -- / -- -- -- --");
    EXPECT_TRUE(listing(lone, Player::A).empty());
    // The most a side can have: two Figures with eleven targets and ten plain moves.
    const Grid widest = parse_grid("AF AF an an / bn bn bn bn / bf bf AN AN");
    EXPECT_EQ(listing(widest, Player::A).size(), MAX_MOVES);
    // Two own Figures target each other.
    const Grid pair = parse_grid("AF -- -- -- / -- -- -- -- / -- -- -- AF");
    EXPECT_EQ(listing(pair, Player::A), split("A1C4 C4A1"));
    EXPECT_TRUE(listing(pair, Player::B).empty());
}

// The listing is exactly the set of texts that play_move accepts, and every accepted
// move changes the grid as apply_action does.
TEST(RulesListing, EqualsWhatPlayAccepts) {
    std::mt19937 rng(20240611);
    const std::vector<std::string> texts = coordinate_texts();
    for (int round = 0; round < 2000; ++round) {
        const Grid start = random_position(rng);
        for (Player side : {Player::A, Player::B}) {
            const std::vector<std::string> listed = listing(start, side);
            std::vector<std::string> accepted;
            for (const std::string& text : texts) {
                Grid grid = start;
                const MoveError error = play_move(grid, text, side);
                Grid expected = start;
                if (error == MoveError::None) {
                    accepted.push_back(text);
                    apply_action(expected, action_of(text));
                }
                ASSERT_EQ(grid, expected) << text;
            }
            std::sort(accepted.begin(), accepted.end());
            ASSERT_EQ(listed, accepted) << "round " << round;
        }
    }
}

TEST(RulesRender, WorkedExample) {
    const Picture picture = render(EXAMPLE);
    EXPECT_EQ(picture.view(),
              "   1   2   3   4\n"
              "A [ AN ][XXXXXX][  --  ][ BF ]\n"
              "B [ BN ][ AF ][XXXXXX][XXXXXX]\n"
              "C [  --  ][ BN ][ AN ][XXXXXX]\n");
    EXPECT_EQ(picture.size, 110u);
}

TEST(RulesRender, AllFaceDownIsTheWidest) {
    const Picture picture = render(parse_grid("an af bn bf / bf bn af an / an bn an bn"));
    EXPECT_EQ(picture.view(),
              "   1   2   3   4\n"
              "A [XXXXXX][XXXXXX][XXXXXX][XXXXXX]\n"
              "B [XXXXXX][XXXXXX][XXXXXX][XXXXXX]\n"
              "C [XXXXXX][XXXXXX][XXXXXX][XXXXXX]\n");
    EXPECT_EQ(picture.size, Picture::MAX_SIZE);
    // Hidden cards show nothing of their owner or kind.
    EXPECT_EQ(picture.view(), render(parse_grid("bf bf bf bf / an an an an / af af bn bn")).view());
}

TEST(RulesRender, FreshDealShowsTheWholeDeck) {
    for (int deal = 0; deal < 20; ++deal) {
        const std::string text(render(new_game()).view());
        ASSERT_EQ(text.size(), 98u);
        EXPECT_EQ(text.substr(0, 17), "   1   2   3   4\n");
        for (int row = 0; row < 3; ++row) {
            const std::string line = text.substr(17 + 27 * row, 27);
            const std::string label = {static_cast<char>('A' + row), ' '};
            EXPECT_EQ(line.substr(0, 2), label);
            EXPECT_EQ(line.back(), '\n');
        }
        for (const char* face : {"[ AN ]", "[ BN ]", "[ AF ]", "[ BF ]"}) {
            std::size_t count = 0;
            for (std::size_t at = text.find(face); at != std::string::npos;
                 at = text.find(face, at + 1)) {
                ++count;
            }
            EXPECT_EQ(count, face[3] == 'N' ? 4u : 2u) << face;
        }
    }
}

}  // namespace
}  // namespace varno
