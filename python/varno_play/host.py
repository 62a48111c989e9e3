"""One game of varno at a text terminal: whose turn it is, the prompt, the bot's moves.

The board itself (the deal, the checks of a move, the bot) lives in the ``varno``
module; the turn order and the end of the game are decided by ``rules``.
"""

from __future__ import annotations

import textwrap
import time
from collections.abc import Callable, Collection
from typing import Final, Protocol, TextIO

import varno

from .rules import (
    PLY_CAP,
    PLAYERS,
    SIDES,
    PlayableBoard,
    Referee,
    Side,
    judge_stuck,
    other,
    play_bot_move,
)
from .texts import Lang, rule_text, say

# The module accepts any room identifier and ignores it; one terminal is one room.
ROOM_ID: Final = "terminal"

# How to type a move, in English (``texts`` has every language).
HOW_TO_MOVE: Final = say("en", "how_to_move")
# What ends a game at the prompt, in any language.
QUIT: Final = frozenset({"q", "quit", "sair"})
HELP: Final = frozenset({"?", "help", "ajuda"})


class Abandoned(Exception):
    """The game was left before its end; the argument says why."""


class GameBoard(PlayableBoard, Protocol):
    """What the host needs of a board; ``varno.Board`` is one."""

    def play_bot(self, player: varno.Player, depth: int) -> str: ...

    def __getstate__(self) -> str: ...


class Host:
    """Runs one game between the sides in ``bots`` (played by the bot) and people
    typing moves on ``stdin``, writing everything to ``stdout`` in ``lang``.

    ``board``, when given, is the position the game starts from, A to move. The
    referee reads the board's saved state, which reveals face-down cards; only the
    picture is ever written out.
    """

    def __init__(
        self,
        *,
        bots: Collection[Side],
        depth: int,
        stdin: TextIO,
        stdout: TextIO,
        board: GameBoard | None = None,
        clock: Callable[[], float] = time.perf_counter,
        lang: Lang = "en",
    ) -> None:
        self.bots: Final = frozenset(bots)
        self.depth: Final = depth
        self.stdin: Final = stdin
        self.stdout: Final = stdout
        self.board: Final[GameBoard] = board if board is not None else varno.Board()
        self.clock: Final = clock
        self.lang: Final = lang
        self.referee: Final = Referee(self.board.__getstate__())
        self.to_move: Side = "A"
        # Echo what was read when nobody sees it typed (a script piped in).
        self.echo: Final = not _isatty(stdin)

    # -- output --------------------------------------------------------------

    def say(self, text: str = "") -> None:
        self.stdout.write(text + "\n")

    def text(self, key: str, **fields: object) -> str:
        """The text ``key`` in the game's language."""
        return say(self.lang, key, **fields)

    def seat(self, side: Side) -> str:
        """``side`` with who plays it, e.g. "A (you)"; a bare letter between two people."""
        if side in self.bots:
            return self.text("seat_bot", side=side)
        if self.bots:
            return self.text("seat_you", side=side)
        return side

    def show_position(self) -> None:
        cards = self.referee.cards_left(self.board.__getstate__())
        self.stdout.write(str(self.board))
        self.say(self.text("to_move", seat=self.seat(self.to_move), a=cards["A"], b=cards["B"]))
        self.stdout.flush()

    def show_help(self, moves: list[str]) -> None:
        listing = textwrap.fill(
            " ".join(moves), width=72, initial_indent="  ", subsequent_indent="  "
        )
        self.say(self.text("legal_moves", side=self.to_move, count=len(moves)))
        self.say(listing if moves else "  " + self.text("no_legal_moves"))
        self.say(self.text("how_to_move"))
        self.say(self.text("rules", cap=PLY_CAP))

    def intro(self) -> None:
        if not self.bots:
            self.say(self.text("intro_humans"))
        elif len(self.bots) == len(SIDES):
            self.say(self.text("intro_bots", depth=self.depth))
        else:
            (human,) = set(SIDES) - self.bots
            self.say(self.text("intro_bot", you=human, bot=other(human), depth=self.depth))
        if len(self.bots) < len(SIDES):
            self.say(self.text("intro_keys"))
        self.say()

    # -- turns ---------------------------------------------------------------

    def run(self) -> str:
        """Play the game to its end; the result text in the game's language, e.g. "A wins
        (B has no card left)"."""
        self.intro()
        self.show_position()
        while True:
            player = PLAYERS[self.to_move]
            moves = self.board.get_legal_moves(player)
            if not moves:
                opponent = PLAYERS[other(self.to_move)]
                stuck = judge_stuck(bool(self.board.get_legal_moves(opponent)))
                if stuck is not None:
                    return stuck.text(self.lang)
                self.say(self.text("passes", seat=self.seat(self.to_move)))
                self.to_move = other(self.to_move)
                continue
            try:
                move, note = self.turn(player, moves)
            except Abandoned as left:
                return self.text("abandoned", why=left)
            self.say()
            number = self.referee.moves + 1
            self.say(self.text("played", number=number, seat=self.seat(self.to_move), move=move,
                               note=note))
            self.to_move = other(self.to_move)
            outcome = self.referee.after_move(self.board.__getstate__(), self.to_move)
            if outcome is not None:
                self.stdout.write(str(self.board))
                return outcome.text(self.lang)
            self.show_position()

    def turn(self, player: varno.Player, moves: list[str]) -> tuple[str, str]:
        """Make the move of the side to move; the move and a note on it for the log."""
        if self.to_move not in self.bots:
            return self.ask(player, moves), ""
        started = self.clock()
        chosen = self.board.play_bot(player, self.depth)
        thought = self.clock() - started
        move, _ = play_bot_move(self.board, self.to_move, chosen, ROOM_ID)
        seconds = f"{thought:.2f}"
        if self.lang == "pt":
            seconds = seconds.replace(".", ",")
        return move, self.text("thought", seconds=seconds)

    def ask(self, player: varno.Player, moves: list[str]) -> str:
        """Read commands until a move is accepted and played; the move.

        Raises ``Abandoned`` when the player quits or the input ends. A move the rules
        refuse is answered with the module's message in the game's language.
        """
        while True:
            self.stdout.write(f"{self.to_move}> ")
            self.stdout.flush()
            line = self.stdin.readline()
            if not line:
                self.say()
                raise Abandoned(self.text("end_of_input"))
            command = line.strip()
            if self.echo:
                self.say(command)
            lowered = command.lower()
            if not command:
                continue
            if lowered in QUIT:
                raise Abandoned(self.text("quit", side=self.to_move))
            if lowered in HELP:
                self.show_help(moves)
                continue
            move = command.upper()
            try:
                self.board.play(move, player, ROOM_ID)
            except ValueError as rejection:
                self.say(rule_text(str(rejection), self.lang))
                continue
            return move


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
