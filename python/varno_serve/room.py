"""One room: a board, its referee and seats, under the host rules of ``varno-play``.

A ``Room`` is plain data and game logic, with no I/O: the room service loads it from
the store, tries a change on a copy, stores the copy and only then serves it. What it
refuses, it refuses with the errors of ``varno_serve.errors``. The host rules
read the board's saved state (``Board.__getstate__``), which reveals face-down cards, so
it stays on the server: it goes into ``to_stored`` (the pickled board, the saved referee
and the saved state of every position of the game, which replays and takebacks are made
from) for the server-side store, and the public state (``public_state``) and the replay
(``replay``) carry the picture and the public cells instead, where a face-down card is
"XX" and nothing more.
"""

from __future__ import annotations

import base64
import copy
import hashlib
import hmac
import io
import json
import pickle
import re
import secrets
from collections.abc import Mapping
from typing import Any, Final, Literal, NotRequired, TypedDict

import varno
from varno_play.rules import (
    COLS,
    PLAYERS,
    REASONS,
    SIDES,
    Outcome,
    Referee,
    Side,
    check_one_deal,
    judge_stuck,
    other,
    play_bot_move,
    public_cells,
)

from .errors import Conflict, Forbidden, Invalid
from .store import Mode, StoredRoom

# The bot's depth a room may ask for, and the depth of a room that does not say.
MIN_DEPTH: Final = 1
MAX_DEPTH: Final = 12
DEFAULT_DEPTH: Final = 8
# What a room's identifier may be; new rooms get 12 of these characters.
ROOM_ID: Final = re.compile(r"[A-Za-z0-9_-]{1,32}")
# The module ignores the room identifier it is given; this one is used for every room.
ROOM_TAG: Final = "varno-serve"
# The names of the cells, row by row: A1..A4, B1..B4, C1..C4.
CELL_NAMES: Final = tuple(f"{row}{col}" for row in "ABC" for col in range(1, COLS + 1))


def check_depth(depth: object) -> int:
    """``depth`` if it is a whole number (not a bool) from MIN_DEPTH to MAX_DEPTH;
    ``Invalid`` otherwise."""
    if type(depth) is not int or not MIN_DEPTH <= depth <= MAX_DEPTH:
        raise Invalid(f"depth must be a whole number from {MIN_DEPTH} to {MAX_DEPTH}",
                      "bad_depth")
    return depth


class Turn(TypedDict):
    """One entry of the history: a move, or ``move`` None when the side passed;
    ``undone`` once a takeback took it back (it stays in the record, and counts as not
    played)."""

    side: Side
    move: str | None
    by: Literal["bot", "human"]
    undone: NotRequired[bool]


class LastMove(TypedDict):
    """What the last move played changed, as the players see it: the cells it played
    (the source, and the target of a Figure) and the other cells whose look it changed
    (turned over, or emptied)."""

    played: list[str]
    turned: list[str]


def new_token() -> tuple[str, str]:
    """A fresh seat secret and the digest that is stored in its place."""
    token = secrets.token_urlsafe(24)
    return token, token_digest(token)


def token_digest(token: str) -> str:
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).hexdigest()


def rematch_token(token: str, room_id: str) -> str:
    """The secret of the seat that the holder of ``token`` (a seat's secret in a finished
    room) gets in its rematch ``room_id``. It is derived from ``token``, so that only the
    holder of the old seat can take the new one and asking twice gives the same seat and
    secret, with nothing more to keep."""
    mac = hmac.new(token.encode("utf-8", "surrogatepass"), f"rematch {room_id}".encode(),
                   hashlib.sha256)
    return base64.urlsafe_b64encode(mac.digest()[:24]).decode("ascii")


class _BoardUnpickler(pickle.Unpickler):
    """Loads pickled boards only: a store's contents never name any other class."""

    def find_class(self, module: str, name: str) -> Any:
        if (module, name) == ("_varno_pickle", "board"):
            return super().find_class(module, name)
        raise pickle.UnpicklingError(f"a stored board may not refer to {module}.{name}")


def load_board(blob: bytes) -> varno.Board:
    board = _BoardUnpickler(io.BytesIO(blob)).load()
    if not isinstance(board, varno.Board):
        raise pickle.UnpicklingError("a stored board is not a varno.Board")
    return board


def _board_at(state: str | None) -> varno.Board:
    """A new deal, or the position ``state``."""
    board = varno.Board()
    if state is not None:
        board.__setstate__(state)
    return board


class Room:
    """A game between two seats. A seat is held by a person (the digest of their secret,
    or None while nobody has taken it) or by the bot (``bot_side``). A room for two
    people keeps the digest of its invite (``invite``): the secret its creator sends
    to the other player, without which the free seat cannot be taken.

    ``positions`` are the saved states of the game's positions: the deal, then the
    position after each entry of the history (the same again after a pass), None where
    the room was stored before they were kept."""

    def __init__(
        self,
        room_id: str,
        *,
        mode: Mode,
        board: varno.Board,
        referee: Referee,
        seats: dict[Side, str | None],
        bot_side: Side | None,
        depth: int | None,
        to_move: Side | None = "A",
        history: list[Turn] | None = None,
        outcome: Outcome | None = None,
        version: int = 0,
        invite: str | None = None,
        bot_started: bool = True,
        bot_due: float | None = None,
        positions: list[str | None] | None = None,
        rematch: str | None = None,
    ) -> None:
        self.room_id: Final = room_id
        self.mode: Final = mode
        self.board = board
        self.referee = referee
        self.seats = seats
        self.bot_side: Final = bot_side
        self.depth: Final = depth
        self.to_move = to_move
        self.history: list[Turn] = history if history is not None else []
        self.outcome = outcome
        self.version = version
        self.invite: Final = invite
        # Whether the bot may search (a bot room where it moves first waits for
        # ``start``), and where its search stands in the bot's queue while it waits.
        self.bot_started = bot_started
        self.bot_due = bot_due
        if positions is None:
            positions = [None] * len(self.history) + [board.__getstate__()]
        self.positions = positions
        # The room of the rematch of a finished game between two people.
        self.rematch = rematch

    # -- making rooms ------------------------------------------------------------

    @classmethod
    def against_bot(cls, room_id: str, side: Side, depth: int, *,
                    deal: str | None = None) -> tuple[Room, str]:
        """A new deal (or the position ``deal``, A to move): the person plays ``side``,
        the bot the other; the person's secret. When the bot moves first (the person
        plays B), the room waits for ``start``: the person sees the deal before any
        move."""
        check_depth(depth)
        token, digest = new_token()
        board = _board_at(deal)
        seats: dict[Side, str | None] = {side: digest, other(side): None}
        room = cls(room_id, mode="bot", board=board, referee=Referee(board.__getstate__()),
                   seats=seats, bot_side=other(side), depth=depth, bot_started=side == "A")
        return room, token

    @classmethod
    def for_humans(cls, room_id: str, *, deal: str | None = None) -> tuple[Room, str, str]:
        """A new deal (or the position ``deal``, A to move) for two people; the creator
        holds A. The room, A's secret and the invite that takes B."""
        token, digest = new_token()
        invite, invite_digest = new_token()
        board = _board_at(deal)
        room = cls(room_id, mode="humans", board=board, referee=Referee(board.__getstate__()),
                   seats={"A": digest, "B": None}, bot_side=None, depth=None,
                   invite=invite_digest)
        return room, token, invite

    def rematch_room(self, room_id: str, side: Side, token: str) -> tuple[Room, Side, str]:
        """The rematch of this finished game between two people, asked for by the holder
        of ``side`` (whose secret is ``token``): a new deal in a room for two where each
        player has the other side than here, the caller's seat taken and the other kept
        for this room's other player (it has no invite: ``take_rematch_seat``). The room,
        the caller's new side and its secret. ``Conflict`` unless this game is over and
        between two people."""
        self.check_rematch()
        seat = other(side)
        secret = rematch_token(token, room_id)
        board = varno.Board()
        seats: dict[Side, str | None] = {seat: token_digest(secret), side: None}
        room = Room(room_id, mode="humans", board=board, referee=Referee(board.__getstate__()),
                    seats=seats, bot_side=None, depth=None)
        self.rematch = room_id
        self.version += 1
        return room, seat, secret

    def take_rematch_seat(self, old_side: Side, token: str) -> tuple[Side, str, bool]:
        """In a rematch room, the seat of the player who held ``old_side`` in the finished
        room (whose secret there is ``token``): the side, its secret, and whether it was
        taken now (False: it was already theirs). ``Forbidden`` if the seat is another's."""
        side = other(old_side)
        secret = rematch_token(token, self.room_id)
        digest = token_digest(secret)
        held = self.seats[side]
        if held is None:
            self.seats[side] = digest
            self.version += 1
            return side, secret, True
        if not hmac.compare_digest(held, digest):
            raise Forbidden("that secret holds no seat in this room's rematch", "wrong_token")
        return side, secret, False

    def check_rematch(self) -> None:
        """``Conflict`` unless this room may have a rematch: a finished game for two."""
        if self.bot_side is not None:
            raise Conflict("a rematch is for a room for two; against the bot, make a new "
                           "room", "no_rematch")
        if self.outcome is None:
            raise Conflict("a rematch needs the game to be over", "no_rematch")

    def join(self, invite: str | None) -> tuple[Side, str]:
        """Gives the free seat to the holder of the room's invite; the side and its
        secret. ``Conflict`` if no seat is free (whoever asks: the seats are public),
        else ``Forbidden`` unless ``invite`` is the room's, compared in constant time."""
        side = self.free_seat
        if side is None:
            raise Conflict("no free seat in this room", "no_free_seat")
        if invite is None or self.invite is None \
                or not hmac.compare_digest(token_digest(invite), self.invite):
            raise Forbidden("taking the free seat needs the room's invite", "wrong_invite")
        token, digest = new_token()
        self.seats[side] = digest
        self.version += 1
        return side, token

    def start(self) -> bool:
        """Lets the bot make its first move in a bot room that waits for it; False (and
        nothing changed) in any other room, or if it has started already."""
        if self.bot_side is None or self.bot_started:
            return False
        self.bot_started = True
        self.version += 1
        return True

    # -- seats and turns -----------------------------------------------------------

    def seat_of(self, token: str) -> Side | None:
        """The side whose secret is ``token``, compared in constant time; None if none."""
        given = token_digest(token)
        found: Side | None = None
        for side in SIDES:
            held = self.seats[side]
            # Both seats are always compared, so the time does not tell which matched.
            if held is not None and hmac.compare_digest(given, held):
                found = side
        return found

    @property
    def free_seat(self) -> Side | None:
        for side in SIDES:
            if side != self.bot_side and self.seats[side] is None:
                return side
        return None

    @property
    def result(self) -> str | None:
        """How the game ended, in English ("A wins (B has no card left)"); None while it
        goes on."""
        return None if self.outcome is None else str(self.outcome)

    @property
    def bot_to_move(self) -> bool:
        return self.outcome is None and self.to_move is not None and self.to_move == self.bot_side

    @property
    def started(self) -> bool:
        """Whether moves may be made: in a bot room once the bot may move (at once when
        the person moves first, else after ``start``), in a room for two once both seats
        are taken."""
        if self.bot_side is None:
            return self.free_seat is None
        return self.bot_started

    @property
    def bot_waiting(self) -> bool:
        """Whether the room waits for the bot's search: the bot is to move and may."""
        return self.bot_to_move and self.bot_started

    def play(self, move: str, side: Side, *, by: Literal["bot", "human"] = "human") -> None:
        """Plays ``move`` for ``side`` and moves the game on (turn, passes, result).

        Raises ``Conflict`` when the game is over or it is not ``side``'s turn, and
        the module's ``ValueError`` when the rules refuse the move; either way nothing
        changes.
        """
        self._check_turn(side)
        self.board.play(move, PLAYERS[side], ROOM_TAG)
        self._played(side, move, by)

    def play_bot(self, chosen: str) -> str | None:
        """Plays the move the bot chose for its side, or the first legal move should the
        rules refuse it (``play_bot_move``); why ``chosen`` was not played, or None."""
        side = self.bot_side
        if side is None:
            raise Conflict("no bot plays in this room", "not_your_turn")
        self._check_turn(side)
        move, why = play_bot_move(self.board, side, chosen, ROOM_TAG)
        self._played(side, move, "bot")
        return why

    def _check_turn(self, side: Side) -> None:
        if self.outcome is not None:
            raise Conflict(f"the game is over: {self.result}", "game_over")
        if self.bot_side is None and not self.started:
            raise Conflict("the other seat is not taken yet: moves wait until both "
                           "players are here", "seat_not_taken")
        if side != self.to_move:
            raise Conflict(f"it is {self.to_move}'s turn", "not_your_turn")

    def _record(self, turn: Turn) -> None:
        """A new entry of the history, and the position after it."""
        self.history.append(turn)
        self.positions.append(self.board.__getstate__())

    def _played(self, side: Side, move: str, by: Literal["bot", "human"]) -> None:
        self._record({"side": side, "move": move, "by": by})
        self._next_turn(other(side))
        self.version += 1

    def _next_turn(self, to_move: Side) -> None:
        """The host rules after a move: count it, judge it, pass for a side left without
        a move (as ``varno-play`` does)."""
        outcome = self.referee.after_move(self.board.__getstate__(), to_move)
        if outcome is not None:
            self.outcome, self.to_move = outcome, None
            return
        if not self.board.get_legal_moves(PLAYERS[to_move]):
            stuck = judge_stuck(bool(self.board.get_legal_moves(PLAYERS[other(to_move)])))
            if stuck is not None:
                self.outcome, self.to_move = stuck, None
                return
            by: Literal["bot", "human"] = "bot" if to_move == self.bot_side else "human"
            self._record({"side": to_move, "move": None, "by": by})
            to_move = other(to_move)
        self.to_move = to_move

    def legal_moves(self) -> list[str]:
        if self.to_move is None:
            return []
        return self.board.get_legal_moves(PLAYERS[self.to_move])

    # -- takebacks ---------------------------------------------------------------------

    def take_back(self, side: Side) -> None:
        """Undoes the last move of the person playing ``side`` against the bot and every
        move or pass after it: the position, the turn, the referee (moves counted,
        positions seen) and the result are those of when that person last had to move.
        The entries undone stay in the history, marked ``undone``.

        ``Conflict`` in a room for two, while the bot may be searching, and when that
        person has no move to take back."""
        if self.bot_side is None:
            raise Conflict("takebacks are for games against the bot", "no_takeback")
        if self.bot_waiting:
            raise Conflict("the bot is thinking", "no_takeback")
        active = [i for i, turn in enumerate(self.history) if not turn.get("undone")]
        own = [i for i in active
               if self.history[i]["side"] == side and self.history[i]["move"] is not None]
        if not own:
            raise Conflict("there is no move of yours to take back", "no_takeback")
        kept = [i for i in active if i < own[-1]]
        deal = self.positions[0]
        back_to = self.positions[kept[-1] + 1] if kept else deal
        if deal is None or back_to is None \
                or any(self.positions[i + 1] is None for i in kept):
            raise Conflict("the earlier positions of this room were not kept",
                           "no_takeback")
        referee = Referee(deal)
        for i in kept:
            turn = self.history[i]
            state = self.positions[i + 1]
            if turn["move"] is not None and state is not None:
                referee.after_move(state, other(turn["side"]))
        for i in active[len(kept):]:
            self.history[i] = {**self.history[i], "undone": True}
        self.board.__setstate__(back_to)
        self.referee = referee
        self.outcome = None
        self.to_move = side
        self.version += 1

    # -- what is shown ---------------------------------------------------------------

    def last_move(self) -> LastMove | None:
        """The last move played and not taken back (passes change nothing, so the move
        before a pass stays the last): its cells, and the other cells whose look it
        changed, from the public cells before and after it. None before the first."""
        active = [i for i, turn in enumerate(self.history) if not turn.get("undone")]
        for k in reversed(range(len(active))):
            move = self.history[active[k]]["move"]
            if move is None:
                continue
            played = [move[:2]] if len(move) == 2 else [move[:2], move[2:]]
            before = self.positions[active[k - 1] + 1] if k else self.positions[0]
            after = self.positions[active[k] + 1]
            turned: list[str] = []
            if before is not None and after is not None:
                turned = [name for name, was, now
                          in zip(CELL_NAMES, public_cells(before), public_cells(after),
                                 strict=True)
                          if was != now and name not in played]
            return {"played": played, "turned": turned}
        return None

    def public_state(self) -> dict[str, Any]:
        """What anyone with the room's link may see. The board's saved state is read
        for the public cells and the cards left, and itself goes nowhere. The bot is
        thinking whenever the room waits for its search (``bot_waiting``): every such
        room has its search requested, or is taken up after a restart."""
        saved = self.board.__getstate__()
        return {
            "room": self.room_id,
            "mode": self.mode,
            "cells": list(public_cells(saved)),
            "picture": str(self.board),
            "to_move": self.to_move,
            "legal": self.legal_moves(),
            "history": list(self.history),
            "last": self.last_move(),
            "cards_left": self.referee.cards_left(saved),
            "result": self.result,
            "outcome": None if self.outcome is None else _outcome_json(self.outcome),
            "thinking": self.bot_waiting,
            "started": self.started,
            "seats": {side: self._seat_label(side) for side in SIDES},
            "depth": self.depth,
            "moves": self.referee.moves,
            "rematch": self.rematch,
            "version": self.version,
        }

    def public_json(self) -> str:
        """``public_state`` as the JSON text that responses and pushes carry."""
        return json.dumps(self.public_state())

    def replay(self) -> dict[str, Any]:
        """The game as anyone with the room's link may replay it: its positions in public
        cells, the deal first, each after it with the history entry that led to it
        (undone ones included). A room stored before positions were kept starts from the
        first position it kept."""
        positions = [
            {"cells": list(public_cells(state)), "entry": self.history[n - 1] if n else None}
            for n, state in enumerate(self.positions) if state is not None
        ]
        return {"room": self.room_id, "version": self.version, "positions": positions}

    def _seat_label(self, side: Side) -> str:
        if side == self.bot_side:
            return "bot"
        return "free" if self.seats[side] is None else "taken"

    # -- storing -----------------------------------------------------------------------

    def copy(self) -> Room:
        """An independent room in the same position (a change is tried on a copy)."""
        return Room(
            self.room_id, mode=self.mode, board=copy.copy(self.board),
            referee=Referee.restore(self.referee.save()), seats=dict(self.seats),
            bot_side=self.bot_side, depth=self.depth, to_move=self.to_move,
            history=list(self.history), outcome=self.outcome, version=self.version,
            invite=self.invite, bot_started=self.bot_started, bot_due=self.bot_due,
            positions=list(self.positions), rematch=self.rematch,
        )

    def cards_on_grid(self) -> int:
        """The cards still on the grid, face down or up."""
        return sum(self.referee.cards_left(self.board.__getstate__()).values())

    def board_blob(self) -> bytes:
        return pickle.dumps(self.board, protocol=pickle.HIGHEST_PROTOCOL)

    def to_stored(self) -> StoredRoom:
        host = {
            "mode": self.mode,
            "seats": self.seats,
            "bot_side": self.bot_side,
            "depth": self.depth,
            "to_move": self.to_move,
            "history": self.history,
            "result": self.result,
            "outcome": None if self.outcome is None else _outcome_json(self.outcome),
            "referee": self.referee.save(),
            "invite": self.invite,
            "positions": self.positions,
            "rematch": self.rematch,
        }
        if self.bot_side is not None:
            host["started"] = self.bot_started
        # A room waiting for the bot is due at once if it was never given a time.
        due = (self.bot_due if self.bot_due is not None else 0.0) if self.bot_waiting else None
        return StoredRoom(
            room_id=self.room_id, version=self.version, board=self.board_blob(),
            host=json.dumps(host, separators=(",", ":")), mode=self.mode,
            free_seat=self.free_seat, bot_to_move=self.bot_to_move,
            over=self.outcome is not None, moves=self.referee.moves, bot_due=due,
        )

    @classmethod
    def from_stored(cls, stored: StoredRoom) -> Room:
        host = json.loads(stored.host)
        history = host["history"]
        return cls(
            stored.room_id, mode=host["mode"], board=load_board(stored.board),
            referee=Referee.restore(host["referee"]), seats=host["seats"],
            bot_side=host["bot_side"], depth=host["depth"], to_move=host["to_move"],
            history=history, outcome=_stored_outcome(host), version=stored.version,
            # Rooms stored before invites existed have none: their free seat stays free.
            invite=host.get("invite"),
            # Rooms stored before the start step have started.
            bot_started=host.get("started", True), bot_due=stored.bot_due,
            # Rooms stored before positions were kept start their record where they are.
            positions=_stored_positions(host.get("positions"), len(history)),
            rematch=host.get("rematch"),
        )


def _outcome_json(outcome: Outcome) -> dict[str, Any]:
    return {"winner": outcome.winner, "reason": outcome.reason}


def _stored_outcome(host: Mapping[str, Any]) -> Outcome | None:
    """The outcome a stored room says; rooms stored before outcomes were kept say only
    their result in English, which names one."""
    saved = host.get("outcome")
    if saved is not None:
        winner = next((side for side in SIDES if side == saved["winner"]), None)
        reason = next((known for known in REASONS if known == saved["reason"]), None)
        if reason is None or (winner is None and saved["winner"] is not None):
            raise ValueError(f"not an outcome: {saved!r}")
        return Outcome(winner, reason)
    result = host.get("result")
    if result is None:
        return None
    outcome = Outcome.from_text(result)
    if outcome is None:
        raise ValueError(f"not a result: {result!r}")
    return outcome


def _stored_positions(saved: object, entries: int) -> list[str | None] | None:
    """The positions a stored room kept (None if it kept none: the room starts its record
    at its board), checked: one more than the history's entries, each a saved state or
    None, all of one deal."""
    if saved is None:
        return None
    if not isinstance(saved, list) or len(saved) != entries + 1 \
            or not all(state is None or isinstance(state, str) for state in saved):
        raise ValueError("bad positions in a stored room")
    check_one_deal(state for state in saved if state is not None)
    return list(saved)
