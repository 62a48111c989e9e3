"""The bot through Python: play_bot's arguments, its results, and its interruption."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from varno import Board, CardType, Player

CELLS = [r + c for r in "ABC" for c in "1234"]


def read_cells(board):
    """The twelve cells of the picture: 'AN'..'BF' face up, 'XX' face down, '--' empty."""
    cells = []
    for line in str(board).splitlines()[1:]:
        body = line[2:]
        while body:
            if body.startswith(("[XXXXXX]", "[  --  ]")):
                cells.append("XX" if body[1] == "X" else "--")
                body = body[8:]
            else:
                cells.append(body[2:4])
                body = body[6:]
    assert len(cells) == 12
    return cells


class Tracker:
    """A board with the cards of its deal remembered, so that face-down cards are known."""

    def __init__(self):
        self.board = Board()
        self.cards = read_cells(self.board)  # a fresh deal shows every card

    def owner(self, i):
        return self.cards[i][0]

    def play(self, move, side):
        self.board.play(move, Player.A if side == "A" else Player.B, "room")

    def empty_cards_of(self, side, keep):
        """Removes every card of `side` but `keep` of them, which end face down."""
        while True:
            cells = read_cells(self.board)
            mine = [i for i in range(12) if cells[i] != "--" and self.owner(i) == side]
            remove, hide = mine[keep:], mine[:keep]
            todo = [i for i in remove] + [i for i in hide if cells[i] != "XX"]
            if not todo:
                return
            i = todo[0]
            if cells[i] == "XX":
                self.play(CELLS[i], side)  # a face-down card is removed
            elif cells[i][1] == "N":
                self.play(CELLS[i], side)  # a face-up Normal turns face down
            else:
                target = next((j for j in range(12) if j != i and cells[j] != "--"), None)
                if target is None:
                    return  # a lone Figure has nothing to be aimed at
                self.play(CELLS[i] + CELLS[target], side)  # the Figure turns face down


def test_depth_zero_and_depth_one_after_a_deal():
    board = Board()
    picture = str(board)
    assert board.play_bot(Player.A, 0) == ""
    cells = read_cells(board)
    first_a_figure = CELLS[cells.index("AF")]
    first_b_figure = CELLS[cells.index("BF")]
    assert board.play_bot(Player.A, 1) == first_a_figure + first_b_figure
    assert board.play_bot(player=Player.A, depth=True) == first_a_figure + first_b_figure
    assert str(board) == picture


def test_the_chosen_move_is_the_listed_text_object():
    board = Board()
    for player in (Player.A, Player.B):
        move = board.play_bot(player, 2)
        listed = board.get_legal_moves(player)
        assert move in listed and listed[listed.index(move)] is move
        assert board.play_bot(player, 2) is move


def test_an_immediate_win_is_found_at_any_depth():
    tracker = Tracker()
    tracker.empty_cards_of("B", keep=1)
    cells = read_cells(tracker.board)
    last = next(i for i in range(12) if cells[i] != "--" and tracker.owner(i) == "B")
    assert cells[last] == "XX"
    for depth in (1, 2, 7, 4294967295):
        assert tracker.board.play_bot(Player.A, depth) == CELLS[last]


def test_a_side_without_actions_gets_nothing():
    tracker = Tracker()
    tracker.empty_cards_of("A", keep=0)
    tracker.empty_cards_of("B", keep=0)
    # Nothing left, or a lone face-up Figure of B with nothing to aim at.
    left = [cell for cell in read_cells(tracker.board) if cell != "--"]
    assert left in ([], ["BF"])
    assert tracker.board.play_bot(Player.B, 4294967295) == ""


@pytest.mark.parametrize(
    ("depth", "error", "message"),
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, None),
        (2.0, TypeError, "argument 'depth': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, None),
        (None, TypeError, None),
    ],
)
def test_depth_conversion_errors(depth, error, message):
    board = Board()
    with pytest.raises(error) as caught:
        board.play_bot(Player.A, depth)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    else:
        assert not str(caught.value).startswith("out of range")


def test_argument_errors():
    board = Board()
    with pytest.raises(TypeError, match=r"^Board.play_bot\(\) missing 1 required positional argument: 'depth'$"):
        board.play_bot(Player.A)
    with pytest.raises(TypeError, match=r"^argument 'player': 'CardType' object is not an instance of 'Player'$"):
        board.play_bot(CardType.Figure, 1)
    with pytest.raises(TypeError, match=r"^Board.play_bot\(\) takes 2 positional arguments but 3 were given$"):
        board.play_bot(Player.A, 1, 2)


def test_depth_index_runs_under_a_shared_borrow():
    board = Board()
    picture = str(board)
    seen = []

    class Depth:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                board.play(board.get_legal_moves(Player.A)[0], Player.A, "room")
            seen.append(board.get_legal_moves(Player.B))
            seen.append(str(board))
            return 2

    assert board.play_bot(Player.A, Depth()) != ""
    assert len(seen[0]) == 26 and seen[1] == picture
    board.play(board.get_legal_moves(Player.A)[0], Player.A, "room")  # the borrow is released


def test_an_error_in_index_propagates_and_releases_the_borrow():
    board = Board()

    class Depth:
        def __index__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        board.play_bot(Player.A, Depth())
    board.play(board.get_legal_moves(Player.A)[0], Player.A, "room")


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 10_000), max_size=25), st.integers(0, 4), st.sampled_from("AB"))
def test_every_answer_is_a_move_play_accepts(choices, depth, side):
    board = Board()
    sides = [Player.A, Player.B]
    for n, choice in enumerate(choices):
        mover = sides[n % 2]
        moves = board.get_legal_moves(mover)
        if moves:
            board.play(moves[choice % len(moves)], mover, "room")
    player = Player.A if side == "A" else Player.B
    picture = str(board)
    move = board.play_bot(player, depth)
    assert str(board) == picture
    if move:
        assert len(move) in (2, 4) and move in board.get_legal_moves(player)
        board.play(move, player, "room")
    elif depth > 0:
        # The bot never aims a Figure at a face-up card of its own side, so it may have
        # nothing to do where a person could still move.
        cells = read_cells(board)
        own, other = side + "N", ("B" if side == "A" else "A")
        assert "XX" not in cells and own not in cells
        assert side + "F" not in cells or not any(c.startswith(other) for c in cells)


def test_ctrl_c_interrupts_a_long_search():
    # About one deal in forty has a forced win that a search finds within the half second
    # before the signal: the search then ends by itself, and the child goes on with a new
    # deal, so that a search is running whenever the signal comes.
    child = textwrap.dedent(
        """
        import sys, time, varno
        print("ready", flush=True)
        for _ in range(100):
            board = varno.Board()
            picture = str(board)
            try:
                board.play_bot(varno.Player.A, 40)
            except KeyboardInterrupt:
                assert str(board) == picture
                board.play(board.get_legal_moves(varno.Player.A)[0], varno.Player.A, "room")
                print("interrupted", flush=True)
                sys.exit(0)
        sys.exit(3)
        """
    )
    process = subprocess.Popen(
        [sys.executable, "-c", child], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert process.stdout.readline() == "ready\n"
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = process.communicate(timeout=10)
        elapsed = time.monotonic() - sent
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err
    assert out == "interrupted\n"
    assert elapsed < 1.0


def test_table_allocation_failure_is_a_memory_error():
    # Address space capped a little above what the process already uses: the search's
    # table cannot be had, and the call must fail cleanly instead of aborting.
    child = textwrap.dedent(
        """
        import resource, varno
        board = varno.Board()
        picture = str(board)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 20), resource.RLIM_INFINITY))
        try:
            board.play_bot(varno.Player.A, 3)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        assert str(board) == picture
        assert board.play_bot(varno.Player.A, 1) != ""
        """
    )
    result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "MemoryError\n"
