// Human moves: a reachable position, a side and arbitrary bytes as the move text.
// play_move must never throw, must leave the grid untouched when it refuses, and must
// accept exactly the moves legal_moves lists, with the effect of their actions.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_input.hpp"
#include "game/board.hpp"
#include "effects.hpp"
#include "game/moves.hpp"

namespace varno::fuzz {
namespace {

// Every action the notation can write, in the order legal_moves lists moves: sources
// row-major, for each the plain play and then the targets row-major (the source itself
// included, which the rules refuse).
template <class Visit>
void for_each_written_action(Visit&& visit) {
    for (std::uint8_t row = 0; row < ROWS; ++row) {
        for (std::uint8_t col = 0; col < COLS; ++col) {
            visit(Action{row, col, std::nullopt});
            for (std::uint8_t target_row = 0; target_row < ROWS; ++target_row) {
                for (std::uint8_t target_col = 0; target_col < COLS; ++target_col) {
                    visit(Action{row, col, Square{target_row, target_col}});
                }
            }
        }
    }
}

bool same_cards(const Grid& a, const Grid& b) {
    for (unsigned i = 0; i < CELL_COUNT; ++i) {
        if (a.cells[i].owner != b.cells[i].owner || a.cells[i].kind != b.cells[i].kind) {
            return false;
        }
    }
    return true;
}

void check(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const Grid before = reachable_position(in);
    const Player side = in.next() & 1 ? Player::B : Player::A;
    const std::string_view text = in.rest();

    // The accepted written actions, in order, are the listing itself.
    const auto moves = legal_moves(before, side);
    std::size_t listed = 0;
    std::optional<Action> text_action;
    for_each_written_action([&](const Action& action) {
        const MoveText written = move_text(action);
        if (written.view() == text) {
            text_action = action;
        }
        Grid played = before;
        if (play_move(played, written.view(), side) != MoveError::None) {
            if (played != before) {
                fail("a refused move changed the grid");
            }
            return;
        }
        if (listed == moves.size() || moves[listed].view() != written.view()) {
            fail("an accepted move is missing from legal_moves or out of its order");
        }
        ++listed;
        Grid applied = before;
        apply_action(applied, action);
        if (played != applied) {
            fail("play_move differs from apply_action of the move's action");
        }
        if (!same_cards(played, before)) {
            fail("a move changed the owner or kind of a slot");
        }
    });
    if (listed != moves.size()) {
        fail("legal_moves lists a move that play_move refuses");
    }

    Grid grid = before;
    const MoveError error = play_move(grid, text, side);
    move_error_message(error);
    if ((error == MoveError::BadFormat) != (text.size() != 2 && text.size() != 4)) {
        fail("BadFormat does not match the length of the text");
    }
    if (error != MoveError::None) {
        if (grid != before) {
            fail("a refused text changed the grid");
        }
        return;
    }
    if (!text_action) {
        fail("play_move accepted a text that is no written move");
    }
    Grid applied = before;
    apply_action(applied, *text_action);
    if (grid != applied) {
        fail("an accepted text differs from apply_action of its action");
    }
}

}  // namespace
}  // namespace varno::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return varno::fuzz::run_checks(varno::fuzz::check, data, size);
}
