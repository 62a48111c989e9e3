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
    PLAYERS,
    RULES_TEXT,
    SIDES,
    PlayableBoard,
    Referee,
    Side,
    judge_stuck,
    other,
    play_bot_move,
)

# The module accepts any room identifier and ignores it; one terminal is one room.
ROOM_ID: Final = "terminal"

HOW_TO_MOVE: Final = """\
Cells are named by row and column, A1 to C4. On the board, [ AN ] is a face-up
Normal card of A, [ BF ] a face-up Figure of B, [XXXXXX] a face-down card of
either side, [  --  ] an empty cell.
A move is one of:
  B2     play the card in B2: a face-down card (yours or not) is removed; your
         face-up Normal card turns face down and turns its neighbours over;
  A1C4   use your face-up Figure in A1 on the card in C4: that card turns over
         and the Figure turns face down.
Commands: ? or help shows this, q or quit ends the game."""


class Abandoned(Exception):
    """The game was left before its end; the argument says why."""


class GameBoard(PlayableBoard, Protocol):
    """What the host needs of a board; ``varno.Board`` is one."""

    def play_bot(self, player: varno.Player, depth: int) -> str: ...

    def __getstate__(self) -> str: ...


class Host:
    """Runs one game between the sides in ``bots`` (played by the bot) and people
    typing moves on ``stdin``, writing everything to ``stdout``.

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
    ) -> None:
        self.bots: Final = frozenset(bots)
        self.depth: Final = depth
        self.stdin: Final = stdin
        self.stdout: Final = stdout
        self.board: Final[GameBoard] = board if board is not None else varno.Board()
        self.clock: Final = clock
        self.referee: Final = Referee(self.board.__getstate__())
        self.to_move: Side = "A"
        # Echo what was read when nobody sees it typed (a script piped in).
        self.echo: Final = not _isatty(stdin)

    # -- output --------------------------------------------------------------

    def say(self, text: str = "") -> None:
        self.stdout.write(text + "\n")

    def seat(self, side: Side) -> str:
        """``side`` with who plays it, e.g. "A (you)"; a bare letter between two people."""
        if side in self.bots:
            return f"{side} (bot)"
        if self.bots:
            return f"{side} (you)"
        return side

    def show_position(self) -> None:
        cards = self.referee.cards_left(self.board.__getstate__())
        self.stdout.write(str(self.board))
        self.say(
            f"{self.seat(self.to_move)} to move. Cards left: A {cards['A']}, B {cards['B']}."
        )
        self.stdout.flush()

    def show_help(self, moves: list[str]) -> None:
        listing = textwrap.fill(
            " ".join(moves), width=72, initial_indent="  ", subsequent_indent="  "
        )
        self.say(f"Legal moves for {self.to_move} ({len(moves)}):")
        self.say(listing if moves else "  (none)")
        self.say(HOW_TO_MOVE)
        self.say(RULES_TEXT)

    def intro(self) -> None:
        if not self.bots:
            self.say("varno-play: two players at one terminal, A and B.")
        elif len(self.bots) == len(SIDES):
            self.say(f"varno-play: the bot plays both sides (depth {self.depth}).")
        else:
            (human,) = set(SIDES) - self.bots
            self.say(
                f"varno-play: you play {human}, the bot plays {other(human)} (depth {self.depth})."
            )
        if len(self.bots) < len(SIDES):
            self.say("Type a move such as B2 or A1C4, ? for the legal moves and the rules, "
                     "q to quit.")
        self.say()

    # -- turns ---------------------------------------------------------------

    def run(self) -> str:
        """Play the game to its end; the result text, e.g. "A wins (B has no card left)"."""
        self.intro()
        self.show_position()
        while True:
            player = PLAYERS[self.to_move]
            moves = self.board.get_legal_moves(player)
            if not moves:
                opponent = PLAYERS[other(self.to_move)]
                stuck = judge_stuck(bool(self.board.get_legal_moves(opponent)))
                if stuck is not None:
                    return str(stuck)
                self.say(f"{self.seat(self.to_move)} has no legal move and passes.")
                self.to_move = other(self.to_move)
                continue
            try:
                move, note = self.turn(player, moves)
            except Abandoned as left:
                return f"game abandoned ({left})"
            self.say()
            number = self.referee.moves + 1
            self.say(f"Move {number}: {self.seat(self.to_move)} played {move}{note}.")
            self.to_move = other(self.to_move)
            outcome = self.referee.after_move(self.board.__getstate__(), self.to_move)
            if outcome is not None:
                self.stdout.write(str(self.board))
                return str(outcome)
            self.show_position()

    def turn(self, player: varno.Player, moves: list[str]) -> tuple[str, str]:
        """Make the move of the side to move; the move and a note on it for the log."""
        if self.to_move not in self.bots:
            return self.ask(player, moves), ""
        started = self.clock()
        chosen = self.board.play_bot(player, self.depth)
        thought = self.clock() - started
        move, _ = play_bot_move(self.board, self.to_move, chosen, ROOM_ID)
        return move, f" (thought {thought:.2f} s)"

    def ask(self, player: varno.Player, moves: list[str]) -> str:
        """Read commands until a move is accepted and played; the move.

        Raises ``Abandoned`` when the player quits or the input ends.
        """
        while True:
            self.stdout.write(f"{self.to_move}> ")
            self.stdout.flush()
            line = self.stdin.readline()
            if not line:
                self.say()
                raise Abandoned("end of input")
            command = line.strip()
            if self.echo:
                self.say(command)
            lowered = command.lower()
            if not command:
                continue
            if lowered in ("q", "quit"):
                raise Abandoned(f"{self.to_move} quit")
            if lowered in ("?", "help"):
                self.show_help(moves)
                continue
            move = command.upper()
            try:
                self.board.play(move, player, ROOM_ID)
            except ValueError as rejection:
                self.say(str(rejection))
                continue
            return move


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
