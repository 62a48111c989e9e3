"""A room in which two bots of different strength play one game of varno.

The module keeps no turn and no winner; the room keeps the turn and asks the
referee of ``varno_play.rules`` after every move whether the game is over.

    python examples/bot_room.py [DEPTH_A DEPTH_B]
"""

from __future__ import annotations

import sys

import varno
from varno_play.rules import PLAYERS, Outcome, Referee, Side, other, play_bot_move


def play_room(room_id: str, depths: dict[Side, int]) -> Outcome:
    board = varno.Board()
    referee = Referee(board.__getstate__())
    side: Side = "A"
    while True:
        # Both sides always have a move while both have cards, so no pass is needed here.
        move, _ = play_bot_move(board, side, board.play_bot(PLAYERS[side], depths[side]), room_id)
        print(f"{referee.moves + 1:3}. {side} {move}")
        side = other(side)
        # The referee reads the saved state, which shows face-down cards: it is the
        # room's own, never printed.
        outcome = referee.after_move(board.__getstate__(), side)
        if outcome is not None:
            print(board, end="")
            return outcome


def main(argv: list[str]) -> int:
    depth_a, depth_b = (int(arg) for arg in argv) if len(argv) == 2 else (2, 6)
    outcome = play_room("example-room", {"A": depth_a, "B": depth_b})
    print(f"Result: {outcome}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
