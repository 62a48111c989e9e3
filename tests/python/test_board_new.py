"""Board(): argument checking and the random deal of a new game."""

import math
import re
from collections import Counter

import pytest

from varno import Board

HEADER = "   1   2   3   4\n"
CELL = re.compile(r"\[ ([AB])([NF]) \]|(\[XXXXXX\])|(\[  --  \])")
SORTS = {"AN": 4, "AF": 2, "BN": 4, "BF": 2}
CELL_NAMES = [row + col for row in "ABC" for col in "1234"]


def cells(board):
    """The twelve cells of the picture, row-major: "AN", "BF", ..., "XX" for a face-down
    card and "--" for an empty slot."""
    text = str(board)
    assert text.startswith(HEADER), text
    lines = text[len(HEADER) :].split("\n")
    assert lines[-1] == "", text
    assert len(lines) == 4, text
    result = []
    for letter, line in zip("ABC", lines[:3]):
        assert line.startswith(letter + " "), text
        body = line[2:]
        found = list(CELL.finditer(body))
        assert "".join(m.group(0) for m in found) == body, text
        assert len(found) == 4, text
        for m in found:
            if m.group(1):
                result.append(m.group(1) + m.group(2))
            elif m.group(3):
                result.append("XX")
            else:
                result.append("--")
    return result


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "Board.__new__() takes 0 positional arguments but 1 was given"),
        ((None,), {}, "Board.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "Board.__new__() takes 0 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "Board.__new__() takes 0 positional arguments but 3 were given"),
        ((), {"x": 1}, "Board.__new__() got an unexpected keyword argument 'x'"),
        ((), {"x": None}, "Board.__new__() got an unexpected keyword argument 'x'"),
        # Keywords are reported in the order given; positional surplus comes first.
        ((), {"y": 1, "x": 2}, "Board.__new__() got an unexpected keyword argument 'y'"),
        ((1,), {"x": 2}, "Board.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"not a name": 1}, "Board.__new__() got an unexpected keyword argument 'not a name'"),
        ((), {"é": 1}, "Board.__new__() got an unexpected keyword argument 'é'"),
    ],
)
def test_arguments_rejected(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Board(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    # Through __new__ directly the same matching applies.
    with pytest.raises(TypeError) as info:
        Board.__new__(Board, *args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make",
    [Board, lambda: Board(**{}), lambda: Board(*()), lambda: Board.__new__(Board)],
    ids=["plain", "empty-kwargs", "empty-args", "dunder-new"],
)
def test_no_arguments_accepted(make):
    board = make()
    assert type(board) is Board
    assert sorted(cells(board)) == sorted(s for s, n in SORTS.items() for _ in range(n))


# ---------------------------------------------------------------------------
# The deal


def test_new_board_picture_and_counts():
    for _ in range(50):
        board = Board()
        text = str(board)
        assert len(text) == 98
        assert [len(line) for line in text.splitlines(keepends=True)] == [17, 27, 27, 27]
        found = cells(board)
        assert Counter(found) == SORTS  # twelve face-up cards, nothing hidden or empty


def test_rendering_does_not_change_the_deal():
    board = Board()
    assert str(board) == str(board)


DEALS = 6000


@pytest.fixture(scope="module")
def deals():
    return [tuple(cells(Board())) for _ in range(DEALS)]


@pytest.mark.parametrize("sort", sorted(SORTS))
def test_each_sort_lands_on_each_cell_by_its_share(deals, sort):
    p = SORTS[sort] / 12
    mean = DEALS * p
    bound = 6 * math.sqrt(DEALS * p * (1 - p))
    counts = Counter(i for deal in deals for i, c in enumerate(deal) if c == sort)
    for i, name in enumerate(CELL_NAMES):
        assert abs(counts[i] - mean) <= bound, (name, counts[i], mean)


def test_pairs_of_cells_are_independent(deals):
    # An A Figure on both A1 and C4: 2/12 * 1/11 of the deals.
    p = 2 / 12 * 1 / 11
    hits = sum(1 for deal in deals if deal[0] == "AF" and deal[11] == "AF")
    assert abs(hits - DEALS * p) <= 6 * math.sqrt(DEALS * p * (1 - p))


def test_consecutive_deals_are_independent(deals):
    # 207900 placements are equally likely: in 6000 deals a repeat of the previous
    # deal is rare, and hardly any placement shows up more than a few times.
    repeats = sum(1 for a, b in zip(deals, deals[1:]) if a == b)
    assert repeats <= 3
    assert len(set(deals)) > DEALS * 0.95
    assert max(Counter(deals).values()) <= 5
