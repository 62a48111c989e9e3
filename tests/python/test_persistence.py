"""Copies and pickles: the same position, hidden cards included, and separate lives after."""

import copy
import multiprocessing
import pickle
import random
from concurrent.futures import ProcessPoolExecutor

import pytest

import _varno_pickle
from varno import Board, CardType, Player

SIDES = (Player.A, Player.B)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
STATE_CELLS = {"AN", "AF", "BN", "BF", "an", "af", "bn", "bf", "--"}


def played_out(rng, moves):
    """A board after up to `moves` random legal moves, sides alternating from A."""
    board = Board()
    side = 0
    for _ in range(moves):
        legal = board.get_legal_moves(SIDES[side])
        if not legal:
            break
        board.play(rng.choice(legal), SIDES[side], "room")
        side ^= 1
    return board


def positions(count, seed):
    rng = random.Random(seed)
    return [played_out(rng, rng.randrange(40)) for _ in range(count)]


def observed(board, depth=5):
    """All that the module shows of a board, hidden cards included (the state)."""
    return (
        board.__getstate__(),
        str(board),
        [board.get_legal_moves(side) for side in SIDES],
        [board.play_bot(side, depth) for side in SIDES],
    )


def copies(board):
    yield copy.copy(board)
    yield copy.deepcopy(board)
    for protocol in PROTOCOLS:
        yield pickle.loads(pickle.dumps(board, protocol=protocol))


def test_the_state_holds_every_cell_in_its_fixed_form():
    board = played_out(random.Random(3), 12)
    state = board.__getstate__()
    rows = state.split(" / ")
    assert [len(row.split(" ")) for row in rows] == [4, 4, 4]
    cells = [cell for row in rows for cell in row.split(" ")]
    assert set(cells) <= STATE_CELLS
    # Face up and empty as the picture shows them; face down in lower case.
    shown = [cell.upper() if cell.isupper() or cell == "--" else "XX" for cell in cells]
    picture = str(board).replace("[XXXXXX]", "[ XX ]").replace("[  --  ]", "[ -- ]")
    assert shown == [picture[i + 2 : i + 4] for i in range(len(picture)) if picture[i] == "["]


def test_copies_and_pickles_agree_with_the_original_on_many_positions():
    boards = positions(250, seed=1)
    states = [board.__getstate__() for board in boards]
    assert any("--" in s for s in states) and any(c.islower() for s in states for c in s)
    for board in boards:
        expected = observed(board)
        for duplicate in copies(board):
            assert type(duplicate) is Board and duplicate is not board
            assert observed(duplicate) == expected
        assert observed(board) == expected  # copying changed nothing


def test_a_copy_and_its_original_live_apart():
    rng = random.Random(2)
    for board in positions(30, seed=2):
        for duplicate in copies(board):
            before = board.__getstate__()
            moves = duplicate.get_legal_moves(Player.A)
            if not moves:
                continue
            duplicate.play(rng.choice(moves), Player.A, "room")
            assert board.__getstate__() == before
            assert duplicate.__getstate__() != before


def test_a_loaded_state_is_exact_and_loading_replaces_the_position():
    target = "AN bf -- BN / an AF -- BN / bn AN BF af"
    board = Board()
    board.__setstate__(target)
    assert board.__getstate__() == target
    assert str(board) == (
        "   1   2   3   4\n"
        "A [ AN ][XXXXXX][  --  ][ BN ]\n"
        "B [XXXXXX][ AF ][  --  ][ BN ]\n"
        "C [XXXXXX][ AN ][ BF ][XXXXXX]\n"
    )
    board.play("A2", Player.B, "room")  # a face-down card of A's is removed
    assert board.__getstate__() == "AN bf -- BN / an AF -- BN / bn AN BF af".replace("bf", "--", 1)
    # Every card gone is still a legal state, and the bot has nothing to do there.
    board.__setstate__(" / ".join(["-- -- -- --"] * 3))
    assert board.get_legal_moves(Player.A) == [] and board.play_bot(Player.A, 3) == ""


GOOD = "AN bf -- BN / an AF BN BN / bn AN BF af"


@pytest.mark.parametrize(
    ("state", "message"),
    [
        ("", "expected 3 rows separated by \" / \", found 1"),
        (GOOD.replace(" / ", " "), "found 1"),
        (GOOD + " / AN", "found 4"),
        (GOOD.replace("/ ", "/", 1), "found 2"),
        (GOOD.replace("-- BN", "--"), "expected 4 cells separated by single spaces in row A, found 3"),
        (GOOD.replace("bn AN", "bn  AN"), "in row C, found 5"),
        (GOOD + " ", "in row C, found 5"),
        (" " + GOOD, "in row A, found 5"),
        (GOOD + "\n", "cell C4 is not one of"),
        (GOOD.replace("AN", "XX", 1), "cell A1 is not one of"),
        (GOOD.replace("bf", "bF", 1), "cell A2 is not one of"),
        (GOOD.replace("AF", "Af", 1), "cell B2 is not one of"),
        (GOOD.replace("--", "-an", 1), "cell A3 is not one of"),
        (GOOD.replace("--", "CN", 1), "cell A3 is not one of"),
        (GOOD.replace("AN", "an\u00e9", 1), "cell A1 is not one of"),
        ("AN AN AN AN / AN -- -- -- / -- -- -- --", "5 cards of A Normal, but the deck has 4"),
        ("BF bf -- -- / BF -- -- -- / -- -- -- --", "3 cards of B Figure, but the deck has 2"),
        ("af AF af -- / -- -- -- -- / -- -- -- --", "3 cards of A Figure, but the deck has 2"),
    ],
)
def test_a_malformed_or_impossible_state_changes_nothing(state, message):
    board = played_out(random.Random(4), 6)
    before = board.__getstate__()
    with pytest.raises(ValueError) as caught:
        board.__setstate__(state)
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith("invalid board state: ")
    assert message in str(caught.value)
    assert board.__getstate__() == before
    with pytest.raises(ValueError, match="invalid board state"):
        _varno_pickle.board(state)


def test_state_argument_errors_change_nothing():
    board = Board()
    before = board.__getstate__()
    for wrong, name in ((5, "int"), (None, None), (GOOD.encode(), "bytes")):
        expected = (
            f"argument 'state': '{name}' object is not an instance of 'str'"
            if name
            else "argument 'state': 'None' is not an instance of 'str'"
        )
        with pytest.raises(TypeError, match=expected):
            board.__setstate__(wrong)
    with pytest.raises(UnicodeEncodeError):
        board.__setstate__(GOOD.replace("AN", "\ud800", 1))
    with pytest.raises(TypeError, match=r"Board.__setstate__\(\) missing 1 required"):
        board.__setstate__()
    with pytest.raises(TypeError, match=r"Board.__getstate__\(\) takes 0 positional"):
        board.__getstate__(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'memo'"):
        board.__copy__(memo={})
    assert board.__getstate__() == before
    board.__setstate__(state=GOOD)
    assert board.__getstate__() == GOOD and copy.deepcopy(board, {}).__getstate__() == GOOD


def test_loading_takes_the_board_exclusively():
    board = Board()
    before = board.__getstate__()
    seen = []

    class Depth:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                board.__setstate__(GOOD)
            seen.append(copy.copy(board).__getstate__())  # reading goes on
            return 1

    board.play_bot(Player.A, Depth())
    assert seen == [before] and board.__getstate__() == before


def test_a_tampered_pickle_fails_on_load():
    data = pickle.dumps(Board(), protocol=0)
    picture = data[data.index(b"(V") + 2 : data.index(b"\n", data.index(b"(V"))]
    rows = picture.split(b" / ")
    # The row with the fewest A Normal cards made all A Normal: more of them than the
    # deck has, whatever the deal (a row that held all four would change nothing).
    fewest = min(range(len(rows)), key=lambda row: rows[row].count(b"AN"))
    rows[fewest] = b"AN AN AN AN"
    tampered = data.replace(picture, b" / ".join(rows))
    assert tampered != data
    with pytest.raises(ValueError, match=r"\d cards of A Normal, but the deck has 4"):
        pickle.loads(tampered)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_members_unpickle_to_themselves(protocol):
    for member in (Player.A, Player.B, CardType.Normal, CardType.Figure):
        assert pickle.loads(pickle.dumps(member, protocol=protocol)) is member
        assert copy.copy(member) is member and copy.deepcopy(member) is member
    with pytest.raises(ValueError, match="no such varno member"):
        _varno_pickle.member("Player", "__class__")


def test_a_process_pool_answers_as_the_local_bot():
    boards = positions(8, seed=5)
    local = [board.play_bot(Player.B, 6) for board in boards]  # draws the keys first
    # Forked workers share the parent's hash keys, so even ties break alike.
    context = multiprocessing.get_context("fork")
    with ProcessPoolExecutor(2, mp_context=context) as pool:
        remote = [pool.submit(board.play_bot, Player.B, 6) for board in boards]
        assert [future.result(timeout=60) for future in remote] == local
