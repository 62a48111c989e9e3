"""When a game of varno is over, and who won.

The ``varno`` module keeps no turn and no winner, so the host decides them here.
Everything in this module works on the text picture of a board (``str(board)``)
and plain values; it never touches a ``Board``, so it can be tested on its own.

The rules:

* sides alternate, A first;
* a side with no card left on the grid loses; if neither side has one, it is a draw;
* the same position with the same side to move, seen for the third time, is a draw;
* after 300 moves the game is a draw;
* a side with no legal move passes; if neither side can move, it is a draw.

Whether a side still has cards cannot be read from a picture alone, because
face-down cards are hidden. But every card is face up right after the deal and
cards never move between cells, so the owners are read once from the picture of
the deal, and from then on only which cells are empty has to be tracked.
"""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from typing import Final, Literal, TypedDict

Side = Literal["A", "B"]
SIDES: Final[tuple[Side, Side]] = ("A", "B")

ROWS: Final = 3
COLS: Final = 4
CELLS: Final = ROWS * COLS

PLY_CAP: Final = 300
REPEAT_LIMIT: Final = 3

# What a cell of the picture shows: "AN", "AF", "BN", "BF" for a face-up card,
# DOWN for a face-down one and EMPTY for an empty slot.
DOWN: Final = "XX"
EMPTY: Final = "--"

_CELL = r"\[ [AB][NF] \]|\[XXXXXX\]|\[  --  \]"
_ROW = re.compile(f"(?:{_CELL}){{{COLS}}}")
_SHOWN = {"[XXXXXX]": DOWN, "[  --  ]": EMPTY}

RULES_TEXT: Final = """\
Rules of this table:
  - Sides take turns, A first.
  - A side with no card left on the grid loses; if neither side has one, it is a draw.
  - The same position with the same side to move, seen three times, is a draw.
  - After 300 moves the game is a draw.
  - A side with no legal move passes its turn; if neither side can move, it is a draw."""


def other(side: Side) -> Side:
    """The opponent of ``side``."""
    return "B" if side == "A" else "A"


def read_picture(picture: str) -> tuple[str, ...]:
    """The twelve cells of a board picture, row by row, as "AN".."BF", DOWN or EMPTY.

    Raises ``ValueError`` when the text is not a picture of a 3 x 4 board.
    """
    lines = picture.splitlines()
    if len(lines) != ROWS + 1 or lines[0].split() != ["1", "2", "3", "4"]:
        raise ValueError(f"not a board picture: {picture!r}")
    cells: list[str] = []
    for letter, line in zip("ABC", lines[1:]):
        if not line.startswith(letter + " "):
            raise ValueError(f"bad row in board picture: {line!r}")
        body = line[2:]
        if not _ROW.fullmatch(body):
            raise ValueError(f"bad row in board picture: {line!r}")
        cells.extend(_SHOWN.get(shown, shown[2:4]) for shown in re.findall(_CELL, body))
    return tuple(cells)


def owners_of_deal(picture: str) -> tuple[Side, ...]:
    """The owner of each of the twelve cells, read from the picture of a fresh deal."""
    owners: list[Side] = []
    for cell in read_picture(picture):
        if cell[0] == "A":
            owners.append("A")
        elif cell[0] == "B":
            owners.append("B")
        else:
            raise ValueError("a fresh deal shows every card face up")
    return tuple(owners)


def cards_left(owners: tuple[Side, ...], picture: str) -> dict[Side, int]:
    """How many cards each side still has on the grid of ``picture``."""
    counts: dict[Side, int] = {"A": 0, "B": 0}
    for owner, cell in zip(owners, read_picture(picture), strict=True):
        if cell != EMPTY:
            counts[owner] += 1
    return counts


@dataclass(frozen=True)
class Outcome:
    """How a game ended: the winner (None for a draw) and why."""

    winner: Side | None
    reason: str

    def __str__(self) -> str:
        if self.winner is None:
            return f"draw ({self.reason})"
        return f"{self.winner} wins ({self.reason})"


def judge(cards: dict[Side, int], times_seen: int, moves: int) -> Outcome | None:
    """The outcome of a position, or None while the game goes on.

    ``cards`` is the number of cards each side has left, ``times_seen`` how often
    this position has occurred with this side to move (this time included), and
    ``moves`` how many moves have been played. Running out of cards is decided
    first, so a move that takes the last card wins even on the last allowed move.
    """
    a_out, b_out = cards["A"] == 0, cards["B"] == 0
    if a_out and b_out:
        return Outcome(None, "neither side has a card left")
    if a_out:
        return Outcome("B", "A has no card left")
    if b_out:
        return Outcome("A", "B has no card left")
    if times_seen >= REPEAT_LIMIT:
        return Outcome(None, f"same position {REPEAT_LIMIT} times")
    if moves >= PLY_CAP:
        return Outcome(None, f"{PLY_CAP} moves played")
    return None


def judge_stuck(opponent_can_move: bool) -> Outcome | None:
    """The side to move has no legal move: it passes, unless neither side can move."""
    if opponent_can_move:
        return None
    return Outcome(None, "neither side can move")


class RefereeState(TypedDict):
    """What a ``Referee`` knows, in plain values that JSON keeps as they are.

    ``owners`` is the owner of each cell at the deal ("AABB..." row by row), ``moves``
    the moves counted so far, ``seen`` every position met as [picture, side to move,
    times seen].
    """

    owners: str
    moves: int
    seen: list[tuple[str, Side, int]]


class Referee:
    """Follows one game from its deal and says when it is over.

    Give it the picture of the deal, then after every move the new picture and the
    side now to move. ``save`` and ``restore`` carry it across processes (a game
    server keeps it beside the board).
    """

    def __init__(self, deal: str) -> None:
        self.owners: tuple[Side, ...] = owners_of_deal(deal)
        self.moves = 0
        self._seen: Counter[tuple[str, Side]] = Counter()
        self._seen[(deal, "A")] += 1

    def save(self) -> RefereeState:
        """Everything the referee knows, for ``restore``."""
        return {
            "owners": "".join(self.owners),
            "moves": self.moves,
            "seen": [(picture, side, times) for (picture, side), times in self._seen.items()],
        }

    @classmethod
    def restore(cls, state: RefereeState) -> Referee:
        """A referee that knows what ``state`` says; ``ValueError`` if it cannot be one."""
        owners_text = state["owners"]
        if (not isinstance(owners_text, str) or len(owners_text) != CELLS
                or set(owners_text) - set(SIDES)):
            raise ValueError(f"bad owners in a referee state: {owners_text!r}")
        moves = state["moves"]
        if type(moves) is not int or moves < 0:
            raise ValueError(f"bad move count in a referee state: {moves!r}")
        seen: Counter[tuple[str, Side]] = Counter()
        for entry in state["seen"]:
            picture, side, times = entry
            if (not isinstance(picture, str) or side not in SIDES
                    or type(times) is not int or times < 1):
                raise ValueError(f"bad position in a referee state: {entry!r}")
            read_picture(picture)
            seen[(picture, "A" if side == "A" else "B")] = times
        referee = cls.__new__(cls)
        referee.owners = tuple("A" if owner == "A" else "B" for owner in owners_text)
        referee.moves = moves
        referee._seen = seen
        return referee

    def cards_left(self, picture: str) -> dict[Side, int]:
        return cards_left(self.owners, picture)

    def after_move(self, picture: str, to_move: Side) -> Outcome | None:
        """Count one move that led to ``picture`` with ``to_move`` next; the outcome if over."""
        self.moves += 1
        # The picture hides face-down cards, but with the owners fixed by the deal
        # it still tells every position apart.
        key = (picture, to_move)
        self._seen[key] += 1
        return judge(self.cards_left(picture), self._seen[key], self.moves)
