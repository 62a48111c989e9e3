"""Boards used from many threads at once, with thread switches forced as often as the
interpreter allows, and the first use of the module's process-wide objects raced."""

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import rules_model as rm
from rules_model import Model

varno = pytest.importorskip("varno")
Board, Player = varno.Board, varno.Player
PLAYERS = {"A": Player.A, "B": Player.B}
SANITIZE = bool(os.environ.get("VARNO_SANITIZE"))
JUNK = ["", "A", "a1", "D1", "A1A1", "A1B", "\x00\x00", "É1", "A1\udc00"]


def run_threads(targets):
    """Runs each target in its own thread, switching threads every 10 µs; any exception
    raised in a thread is raised here once all have ended."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise BaseExceptionGroup(f"{len(errors)} thread(s) failed", errors)


def check(board, model):
    assert str(board) == model.render()
    for side, player in PLAYERS.items():
        assert board.get_legal_moves(player) == model.legal_moves(side)


def play_games(seed, deadline, steps):
    """Games on boards of its own, every step checked against the model."""
    rng = random.Random(seed)
    # At least one game even when the thread starts late on a loaded machine.
    while not steps or time.monotonic() < deadline:
        board = Board()
        model = Model.from_picture(str(board))
        for turn in range(80):
            side = "AB"[turn % 2]
            player = PLAYERS[side]
            roll = rng.random()
            if roll < 0.1:
                text = rng.choice(JUNK + rm.COORDINATE_TEXTS)
                try:
                    expected = model.check(text, side)
                except UnicodeEncodeError:
                    expected = UnicodeEncodeError
                if expected is not None:
                    try:
                        board.play(text, player, "room")
                    except (ValueError, UnicodeEncodeError) as error:
                        assert expected is UnicodeEncodeError or error.args == (expected,)
                    else:
                        raise AssertionError(f"{text!r} accepted for {side}")
                else:
                    board.play(text, player, "room")
                    model.play(text, side)
            else:
                if roll < 0.2:
                    move = board.play_bot(player, rng.randint(1, 3))
                    assert move == "" or move in model.legal_moves(side)
                else:
                    moves = board.get_legal_moves(player)
                    move = rng.choice(moves) if moves else ""
                if move:
                    board.play(move, player, "room")
                    model.play(move, side)
            check(board, model)
            steps.append(1)
            if not any(state != rm.EMPTY for state, _, _ in model.cells):
                break


class Sleepy:
    """A depth whose conversion lets other threads run while play_bot holds its borrow."""

    def __init__(self, depth):
        self.depth = depth

    def __index__(self):
        time.sleep(0)
        return self.depth


def read_shared(board, seed, deadline, expected, answers, steps):
    rng = random.Random(seed)
    while not steps or time.monotonic() < deadline:
        player = rng.choice((Player.A, Player.B))
        depth = rng.randint(1, 2)
        assert str(board) == expected[0]
        assert board.get_legal_moves(Player.A) == expected[1]
        assert board.get_legal_moves(Player.B) == expected[2]
        move = board.play_bot(player, Sleepy(depth) if rng.random() < 0.5 else depth)
        # A search depends only on the position: every thread gets the same answer.
        assert answers.setdefault((int(player), depth), move) == move
        steps.append(1)


def test_boards_played_and_read_from_many_threads(record_property):
    duration = 0.5 if SANITIZE else 3.0
    deadline = time.monotonic() + duration
    shared = Board()
    model = Model.from_picture(str(shared))
    rng = random.Random(11)
    for turn in range(6):
        side = "AB"[turn % 2]
        move = rng.choice(model.legal_moves(side))
        shared.play(move, PLAYERS[side], "room")
        model.play(move, side)
    expected = (str(shared), shared.get_legal_moves(Player.A), shared.get_legal_moves(Player.B))
    answers = {}
    played = [[] for _ in range(8)]
    read = [[] for _ in range(4)]
    run_threads(
        [lambda i=i: play_games(i, deadline, played[i]) for i in range(8)]
        + [lambda i=i: read_shared(shared, 100 + i, deadline, expected, answers, read[i])
           for i in range(4)]
    )
    counts = {"steps_per_player_thread": [len(s) for s in played],
              "reads_per_reader_thread": [len(s) for s in read]}
    record_property("counts", counts)
    print(f"\n{counts}")
    assert all(played) and all(read)
    assert str(shared) == expected[0]
    move = expected[1][0]
    shared.play(move, Player.A, "room")  # no borrow was left behind
    model.play(move, "A")
    check(shared, model)


FIRST_USE = textwrap.dedent(
    """
    import json, sys, threading
    sys.setswitchinterval(1e-6)
    N = 16
    barrier = threading.Barrier(N)
    seen, errors = [None] * N, []

    def first_use(i):
        try:
            barrier.wait()
            import varno
            board = varno.Board()
            move = board.play_bot(varno.Player.A, 2)
            seen[i] = [
                [id(varno), id(varno.Player.A), id(varno.Player.B), id(varno.CardType.Normal),
                 id(varno.CardType.Figure), id(type(varno.Player.A)), id(varno.Board)],
                move in board.get_legal_moves(varno.Player.A),
            ]
        except BaseException as error:
            errors.append(repr(error))

    threads = [threading.Thread(target=first_use, args=(i,)) for i in range(N)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps({"seen": seen, "errors": errors}))
    """
)


@pytest.mark.parametrize("run", range(1 if SANITIZE else 4))
def test_first_use_from_many_threads_at_once(run):
    result = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["errors"] == []
    identities = {tuple(ids) for ids, _ in report["seen"]}
    assert len(identities) == 1 and len(set(identities.pop())) == 7
    assert all(answer_is_legal for _, answer_is_legal in report["seen"])
