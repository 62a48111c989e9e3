"""One room: a board, its referee and seats, under the host rules of ``varno-play``.

A ``Room`` is plain data and game logic, with no I/O: the room service loads it from
the store, tries a move on a copy, stores the copy and only then serves it. What it
refuses, it refuses with the errors of ``varno_serve.errors``. The host rules
read the board's saved state (``Board.__getstate__``), which reveals face-down cards, so
it stays on the server: it goes into ``to_stored`` (the pickled board and the saved
referee) for the server-side store, and the public state (``public_state``) carries the
picture and the public cells instead, where a face-down card is "XX" and nothing more.
"""

from __future__ import annotations

import copy
import hashlib
import hmac
import io
import json
import pickle
import re
import secrets
from typing import Any, Final, Literal, TypedDict

import varno
from varno_play.rules import (
    PLAYERS,
    SIDES,
    Referee,
    Side,
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


def check_depth(depth: object) -> int:
    """``depth`` if it is a whole number (not a bool) from MIN_DEPTH to MAX_DEPTH;
    ``Invalid`` otherwise."""
    if type(depth) is not int or not MIN_DEPTH <= depth <= MAX_DEPTH:
        raise Invalid(f"depth must be a whole number from {MIN_DEPTH} to {MAX_DEPTH}")
    return depth


class Turn(TypedDict):
    """One entry of the history: a move, or ``move`` None when the side passed."""

    side: Side
    move: str | None
    by: Literal["bot", "human"]


def new_token() -> tuple[str, str]:
    """A fresh seat secret and the digest that is stored in its place."""
    token = secrets.token_urlsafe(24)
    return token, token_digest(token)


def token_digest(token: str) -> str:
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).hexdigest()


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


class Room:
    """A game between two seats. A seat is held by a person (the digest of their secret,
    or None while nobody has taken it) or by the bot (``bot_side``). A room for two
    people keeps the digest of its invite (``invite``): the secret its creator sends
    to the other player, without which the free seat cannot be taken."""

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
        result: str | None = None,
        version: int = 0,
        invite: str | None = None,
        bot_started: bool = True,
        bot_due: float | None = None,
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
        self.result = result
        self.version = version
        self.invite: Final = invite
        # Whether the bot may search (a bot room where it moves first waits for
        # ``start``), and where its search stands in the bot's queue while it waits.
        self.bot_started = bot_started
        self.bot_due = bot_due

    # -- making rooms ------------------------------------------------------------

    @classmethod
    def against_bot(cls, room_id: str, side: Side, depth: int) -> tuple[Room, str]:
        """A new deal: the person plays ``side``, the bot the other; the person's secret.
        When the bot moves first (the person plays B), the room waits for ``start``: the
        person sees the deal before any move."""
        check_depth(depth)
        token, digest = new_token()
        board = varno.Board()
        seats: dict[Side, str | None] = {side: digest, other(side): None}
        room = cls(room_id, mode="bot", board=board, referee=Referee(board.__getstate__()),
                   seats=seats, bot_side=other(side), depth=depth, bot_started=side == "A")
        return room, token

    @classmethod
    def for_humans(cls, room_id: str) -> tuple[Room, str, str]:
        """A new deal for two people; the creator holds A. The room, A's secret and the
        invite that takes B."""
        token, digest = new_token()
        invite, invite_digest = new_token()
        board = varno.Board()
        room = cls(room_id, mode="humans", board=board, referee=Referee(board.__getstate__()),
                   seats={"A": digest, "B": None}, bot_side=None, depth=None,
                   invite=invite_digest)
        return room, token, invite

    def join(self, invite: str | None) -> tuple[Side, str]:
        """Gives the free seat to the holder of the room's invite; the side and its
        secret. ``Conflict`` if no seat is free (whoever asks: the seats are public),
        else ``Forbidden`` unless ``invite`` is the room's, compared in constant time."""
        side = self.free_seat
        if side is None:
            raise Conflict("no free seat in this room")
        if invite is None or self.invite is None \
                or not hmac.compare_digest(token_digest(invite), self.invite):
            raise Forbidden("taking the free seat needs the room's invite")
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
    def bot_to_move(self) -> bool:
        return self.result is None and self.to_move is not None and self.to_move == self.bot_side

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
            raise Conflict("no bot plays in this room")
        self._check_turn(side)
        move, why = play_bot_move(self.board, side, chosen, ROOM_TAG)
        self._played(side, move, "bot")
        return why

    def _check_turn(self, side: Side) -> None:
        if self.result is not None:
            raise Conflict(f"the game is over: {self.result}")
        if self.bot_side is None and not self.started:
            raise Conflict("the other seat is not taken yet: moves wait until both "
                           "players are here")
        if side != self.to_move:
            raise Conflict(f"it is {self.to_move}'s turn")

    def _played(self, side: Side, move: str, by: Literal["bot", "human"]) -> None:
        self.history.append({"side": side, "move": move, "by": by})
        self._next_turn(other(side))
        self.version += 1

    def _next_turn(self, to_move: Side) -> None:
        """The host rules after a move: count it, judge it, pass for a side left without
        a move (as ``varno-play`` does)."""
        outcome = self.referee.after_move(self.board.__getstate__(), to_move)
        if outcome is not None:
            self.result, self.to_move = str(outcome), None
            return
        if not self.board.get_legal_moves(PLAYERS[to_move]):
            stuck = judge_stuck(bool(self.board.get_legal_moves(PLAYERS[other(to_move)])))
            if stuck is not None:
                self.result, self.to_move = str(stuck), None
                return
            by: Literal["bot", "human"] = "bot" if to_move == self.bot_side else "human"
            self.history.append({"side": to_move, "move": None, "by": by})
            to_move = other(to_move)
        self.to_move = to_move

    def legal_moves(self) -> list[str]:
        if self.to_move is None:
            return []
        return self.board.get_legal_moves(PLAYERS[self.to_move])

    # -- what is shown ---------------------------------------------------------------

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
            "cards_left": self.referee.cards_left(saved),
            "result": self.result,
            "thinking": self.bot_waiting,
            "started": self.started,
            "seats": {side: self._seat_label(side) for side in SIDES},
            "depth": self.depth,
            "moves": self.referee.moves,
            "version": self.version,
        }

    def public_json(self) -> str:
        """``public_state`` as the JSON text that responses and pushes carry."""
        return json.dumps(self.public_state())

    def _seat_label(self, side: Side) -> str:
        if side == self.bot_side:
            return "bot"
        return "free" if self.seats[side] is None else "taken"

    # -- storing -----------------------------------------------------------------------

    def copy(self) -> Room:
        """An independent room in the same position (a move is tried on a copy)."""
        return Room(
            self.room_id, mode=self.mode, board=copy.copy(self.board),
            referee=Referee.restore(self.referee.save()), seats=dict(self.seats),
            bot_side=self.bot_side, depth=self.depth, to_move=self.to_move,
            history=list(self.history), result=self.result, version=self.version,
            invite=self.invite,
            bot_started=self.bot_started, bot_due=self.bot_due,
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
            "referee": self.referee.save(),
            "invite": self.invite,
        }
        if self.bot_side is not None:
            host["started"] = self.bot_started
        # A room waiting for the bot is due at once if it was never given a time.
        due = (self.bot_due if self.bot_due is not None else 0.0) if self.bot_waiting else None
        return StoredRoom(
            room_id=self.room_id, version=self.version, board=self.board_blob(),
            host=json.dumps(host, separators=(",", ":")), mode=self.mode,
            free_seat=self.free_seat, bot_to_move=self.bot_to_move,
            over=self.result is not None, moves=self.referee.moves, bot_due=due,
        )

    @classmethod
    def from_stored(cls, stored: StoredRoom) -> Room:
        host = json.loads(stored.host)
        return cls(
            stored.room_id, mode=host["mode"], board=load_board(stored.board),
            referee=Referee.restore(host["referee"]), seats=host["seats"],
            bot_side=host["bot_side"], depth=host["depth"], to_move=host["to_move"],
            history=host["history"], result=host["result"], version=stored.version,
            # Rooms stored before invites existed have none: their free seat stays free.
            invite=host.get("invite"),
            # Rooms stored before the start step have started.
            bot_started=host.get("started", True), bot_due=stored.bot_due,
        )
