"""When a game of varno is over, and who won.

The ``varno`` module keeps no turn and no winner, so the host decides them here.
The judging works on the saved state of a board (the text of ``board.__getstate__()``)
and plain values; it never touches a ``Board``, so it can be tested on its own.

The rules:

* sides alternate, A first;
* a side with no card left on the grid loses; if neither side has one, it is a draw;
* the same position with the same side to move, seen for the third time, is a draw;
* after 300 moves the game is a draw;
* a side with no legal move passes; if neither side can move, it is a draw.

A state names every card on the grid, face-down ones included, so the cards each side
has left are counted from it directly, and two positions are the same exactly when
their states are. Because it reveals the face-down cards, a state is for the host's
eyes only: what a player is shown is the picture (``str(board)``) or the public cells
of ``public_cells``, in which a face-down card is ``XX`` whoever owns it.

Two pieces deal with the module itself, because every host needs them alike: ``PLAYERS``
(a side's letter to its ``varno.Player``) and ``play_bot_move``, which plays the bot's
choice on any board that has ``play`` and ``get_legal_moves``.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Final, Literal, Protocol, TypedDict, get_args

import varno

from .texts import Lang, say

Side = Literal["A", "B"]
SIDES: Final[tuple[Side, Side]] = ("A", "B")
PLAYERS: Final[dict[Side, varno.Player]] = {"A": varno.Player.A, "B": varno.Player.B}

ROWS: Final = 3
COLS: Final = 4
CELLS: Final = ROWS * COLS

PLY_CAP: Final = 300
REPEAT_LIMIT: Final = 3

# A cell of a state: a card as its owner and kind ("AN", "AF", "BN", "BF") in upper case
# face up and in lower case face down, or EMPTY. In the public cells a face-down card is
# DOWN instead.
CARDS: Final = ("AN", "AF", "BN", "BF")
DOWN: Final = "XX"
EMPTY: Final = "--"
_STATE_CELLS: Final = frozenset(CARDS) | {card.lower() for card in CARDS} | {EMPTY}
# The cards of one deal: four Normals and two Figures a side.
DECK: Final = Counter({"AN": 4, "AF": 2, "BN": 4, "BF": 2})

# The rules as the terminal host lists them, in English (``texts`` has every language).
RULES_TEXT: Final = say("en", "rules", cap=PLY_CAP)


def other(side: Side) -> Side:
    """The opponent of ``side``."""
    return "B" if side == "A" else "A"


def read_state(state: str) -> tuple[str, ...]:
    """The twelve cells of a board's saved state, row by row: "AN".."BF" face up, the
    same in lower case face down, EMPTY for an empty cell.

    Raises ``ValueError`` unless ``state`` is exactly what ``Board.__getstate__`` writes
    (cells separated by one space, rows by " / ") and holds no more cards of an owner
    and kind than a deal has.
    """
    if not isinstance(state, str):
        raise ValueError(f"a board state is a text, not {type(state).__name__}")
    rows = [row.split(" ") for row in state.split(" / ")]
    cells = tuple(cell for row in rows for cell in row)
    if (len(rows) != ROWS or any(len(row) != COLS for row in rows)
            or not _STATE_CELLS.issuperset(cells)):
        raise ValueError(f"not a board state: {state!r}")
    if Counter(cell.upper() for cell in cells if cell != EMPTY) - DECK:
        raise ValueError(f"more cards than a deal has in a board state: {state!r}")
    return cells


def public_cells(state: str) -> tuple[str, ...]:
    """The twelve cells of ``state`` as a player may see them: "AN".."BF" face up, DOWN
    for a face-down card of either side, EMPTY."""
    return tuple(DOWN if cell.islower() else cell for cell in read_state(state))


def cards_left(state: str) -> dict[Side, int]:
    """How many cards each side still has on the grid of ``state``, face down or up."""
    counts: dict[Side, int] = {"A": 0, "B": 0}
    for cell in read_state(state):
        if cell != EMPTY:
            counts["A" if cell[0] in "Aa" else "B"] += 1
    return counts


def position_key(state: str, to_move: Side) -> tuple[str, Side]:
    """What the repetition rule compares: the position, as its state, and the side to move.

    The module writes one state for one position, so the text itself is the key.
    """
    read_state(state)
    return state, to_move


# Why a game ended: the loser has no card left, neither side has one, the same position
# seen REPEAT_LIMIT times, PLY_CAP moves played, neither side can move.
Reason = Literal["no_cards", "both_no_cards", "repetition", "move_cap", "no_moves"]
REASONS: Final[tuple[Reason, ...]] = get_args(Reason)


@dataclass(frozen=True)
class Outcome:
    """How a game ended: the winner (None for a draw) and why (``Reason``). ``str()`` is
    the result in English, ``text(lang)`` in any language of ``texts``."""

    winner: Side | None
    reason: Reason

    def text(self, lang: Lang = "en") -> str:
        """The result as one line, e.g. "A wins (B has no card left)"."""
        loser = other(self.winner) if self.winner is not None else None
        why = say(lang, self.reason, winner=self.winner, loser=loser, times=REPEAT_LIMIT,
                  cap=PLY_CAP)
        if self.winner is None:
            return say(lang, "result_draw", reason=why)
        return say(lang, "result_win", winner=self.winner, reason=why)

    def __str__(self) -> str:
        return self.text("en")

    @classmethod
    def from_text(cls, result: str) -> Outcome | None:
        """The outcome whose English result is ``result``; None if no outcome's is."""
        return _OUTCOMES_BY_TEXT.get(result)


def judge(cards: dict[Side, int], times_seen: int, moves: int) -> Outcome | None:
    """The outcome of a position, or None while the game goes on.

    ``cards`` is the number of cards each side has left, ``times_seen`` how often
    this position has occurred with this side to move (this time included), and
    ``moves`` how many moves have been played. Running out of cards is decided
    first, so a move that takes the last card wins even on the last allowed move.
    """
    a_out, b_out = cards["A"] == 0, cards["B"] == 0
    if a_out and b_out:
        return Outcome(None, "both_no_cards")
    if a_out:
        return Outcome("B", "no_cards")
    if b_out:
        return Outcome("A", "no_cards")
    if times_seen >= REPEAT_LIMIT:
        return Outcome(None, "repetition")
    if moves >= PLY_CAP:
        return Outcome(None, "move_cap")
    return None


def judge_stuck(opponent_can_move: bool) -> Outcome | None:
    """The side to move has no legal move: it passes, unless neither side can move."""
    if opponent_can_move:
        return None
    return Outcome(None, "no_moves")


# Every outcome a game can have, by its English result.
_OUTCOMES_BY_TEXT: Final = {
    str(outcome): outcome
    for outcome in [Outcome("A", "no_cards"), Outcome("B", "no_cards"),
                    *(Outcome(None, reason) for reason in REASONS if reason != "no_cards")]
}


class RefereeState(TypedDict):
    """What a ``Referee`` knows, in plain values that JSON keeps as they are.

    ``moves`` is the moves counted so far, ``seen`` every position met as [board state,
    side to move, times seen]. The states reveal face-down cards: a saved referee
    belongs in the host's own storage, like the board.
    """

    moves: int
    seen: list[tuple[str, Side, int]]


class Referee:
    """Follows one game from its deal and says when it is over.

    Give it the state of the board at the deal (``board.__getstate__()``), then after
    every move the new state and the side now to move. ``save`` and ``restore`` carry
    it across processes (a game server keeps it beside the board).
    """

    def __init__(self, deal_state: str) -> None:
        self.moves = 0
        self._seen: Counter[tuple[str, Side]] = Counter()
        self._seen[position_key(deal_state, "A")] += 1

    def save(self) -> RefereeState:
        """Everything the referee knows, for ``restore``."""
        return {
            "moves": self.moves,
            "seen": [(state, side, times) for (state, side), times in self._seen.items()],
        }

    @classmethod
    def restore(cls, saved: Mapping[str, Any]) -> Referee:
        """A referee that knows what ``saved`` says; ``ValueError`` if it cannot be one."""
        if not isinstance(saved, Mapping) or not {"moves", "seen"} <= saved.keys():
            raise ValueError(f"not a saved referee: {saved!r}")
        moves, entries = saved["moves"], saved["seen"]
        if type(moves) is not int or moves < 0:
            raise ValueError(f"bad move count in a saved referee: {moves!r}")
        if not isinstance(entries, list) or not entries:
            raise ValueError(f"bad positions in a saved referee: {entries!r}")
        seen: Counter[tuple[str, Side]] = Counter()
        for entry in entries:
            if not isinstance(entry, (list, tuple)) or len(entry) != 3:
                raise ValueError(f"bad position in a saved referee: {entry!r}")
            state, side, times = entry
            if side not in SIDES or type(times) is not int or times < 1:
                raise ValueError(f"bad position in a saved referee: {entry!r}")
            key = position_key(state, "A" if side == "A" else "B")
            if key in seen:
                raise ValueError(f"a position twice in a saved referee: {entry!r}")
            seen[key] = times
        check_one_deal(state for state, _ in seen)
        referee = cls.__new__(cls)
        referee.moves = moves
        referee._seen = seen
        return referee

    def cards_left(self, state: str) -> dict[Side, int]:
        return cards_left(state)

    def after_move(self, state: str, to_move: Side) -> Outcome | None:
        """Count one move that led to ``state`` with ``to_move`` next; the outcome if over."""
        self.moves += 1
        key = position_key(state, to_move)
        self._seen[key] += 1
        return judge(cards_left(state), self._seen[key], self.moves)


def check_one_deal(states: Iterable[str]) -> None:
    """``ValueError`` unless the saved states can be positions of one game: cards never
    move between cells, so each cell holds the same card (face up or down) wherever it
    is not empty."""
    card_of: list[str | None] = [None] * CELLS
    for state in states:
        for i, cell in enumerate(read_state(state)):
            if cell == EMPTY:
                continue
            if card_of[i] is None:
                card_of[i] = cell.upper()
            elif card_of[i] != cell.upper():
                raise ValueError(f"positions of different deals: {state!r}")



class PlayableBoard(Protocol):
    """What ``play_bot_move`` needs of a board; ``varno.Board`` is one."""

    def play(self, move_str: str, player: varno.Player, _room_id: str) -> None: ...

    def get_legal_moves(self, player: varno.Player) -> list[str]: ...


def play_bot_move(board: PlayableBoard, side: Side, chosen: str,
                  room_id: str) -> tuple[str, str | None]:
    """Plays the bot's ``chosen`` move for ``side`` on ``board``: the move played, and
    why ``chosen`` was not played (None when it was).

    The bot has a move whenever a legal one exists; should it ever come back empty-handed,
    or with a move the rules refuse, the first legal move keeps the game going rather than
    stalling it. ``ValueError`` (and the board unchanged) when ``side`` has no legal move.
    """
    player = PLAYERS[side]
    if chosen:
        try:
            board.play(chosen, player, room_id)
            return chosen, None
        except ValueError as refused:
            why = f"{chosen!r} was refused: {refused}"
    else:
        why = "the bot chose no move"
    legal = board.get_legal_moves(player)
    if not legal:
        raise ValueError(f"{side} has no legal move ({why})")
    board.play(legal[0], player, room_id)
    return legal[0], why
