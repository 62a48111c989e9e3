"""Every entry point and every error path, called over and over: nothing may pile up —
not the interpreter's traced memory, not the process's resident memory, not the
reference counts of the objects passed in.

Run with -s to see the figures; they are also recorded as test properties. Under
AddressSanitizer (VARNO_SANITIZE set) calls are much slower and freed memory is held
in a quarantine, so the counts are scaled down and the resident-memory bounds skipped.
"""

import gc
import operator
import os
import random
import sys
import tracemalloc

import pytest

import rules_model as rm
from rules_model import Model

varno = pytest.importorskip("varno")
Board, CardType, Player = varno.Board, varno.CardType, varno.Player

SANITIZE = bool(os.environ.get("VARNO_SANITIZE"))
PAGE = os.sysconf("SC_PAGE_SIZE")

# Each path runs some 100,000 times. A leak of one 32-byte block per call is 160 KB over
# the 5,000 traced rounds and 3 MB over the 93,000 others: beyond these.
TRACED_BOUND = 64 << 10
MEMORY_BOUND = 1 << 20


def scaled(count):
    """`count` calls, or a fortieth of them under AddressSanitizer."""
    return max(1, count // 40) if SANITIZE else count


def process_memory():
    """(virtual size, resident size) of this process, in bytes."""
    with open("/proc/self/statm") as statm:
        size, resident = statm.read().split()[:2]
    return int(size) * PAGE, int(resident) * PAGE


def text(s):
    """A str equal to `s` but not interned, so that its reference count means something."""
    return "".join(list(s))


ROOM = text("room-17")
MOVE_A1, MOVE_A1A2 = text("A1"), text("A1A2")
SURROGATE = text("A\ud800")
BIG = 2**64


class Failure(Exception):
    pass


class Depth:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FailingDepth:
    def __index__(self):
        raise Failure("depth")


class BorrowingDepth:
    """During play_bot, tries to play on the board being searched."""

    def __init__(self, board):
        self.board = board

    def __index__(self):
        try:
            self.board.play(MOVE_A1, Player.A, ROOM)
        except RuntimeError as error:
            if error.args != ("Already borrowed",):
                raise
            return 1
        raise AssertionError("play ran during play_bot")


def play_on_a_fresh_deal():
    """Two accepted moves on a new deal: the card on A1 by its owner, then its removal."""
    board = Board()
    picture = str(board)
    owner = Player.A if picture[21] == "A" else Player.B
    other = Player.B if owner is Player.A else Player.A
    board.play(MOVE_A1 if picture[22] == "N" else MOVE_A1A2, owner, ROOM)
    board.play(MOVE_A1, other, ROOM)  # A1 is now face down, for either side to remove


def refusal_cases(seed=3):
    """(board, text, player, message) for each of the rule messages, on played positions."""
    rng = random.Random(seed)
    texts = [text(t) for t in rm.COORDINATE_TEXTS + ["", "A1B", "a1", "D1", "a1B2", "A1z9"]]
    found = {}
    for _ in range(500):
        board = Board()
        model = Model.from_picture(str(board))
        for _ in range(30):
            new = {}
            for t in texts:
                for side in "AB":
                    message = model.check(t, side)
                    if message is not None and message not in found:
                        new[message] = (board, t, getattr(Player, side), message)
            if new:
                found.update(new)
                break  # this board stays in this position
            side = rng.choice("AB")
            moves = model.legal_moves(side)
            if not moves:
                break
            move = rng.choice(moves)
            model.play(move, side)
            board.play(move, getattr(Player, side), ROOM)
        if len(found) == len(rm.MESSAGES):
            return list(found.values())
    pytest.fail(f"positions not reached for {set(rm.MESSAGES) - set(found)}")


# A path: (callable, args, kwargs, exception type or None, message or None).
def build_paths():
    board = Board()
    play, legal, bot = board.play, board.get_legal_moves, board.play_bot
    A, B = Player.A, Player.B
    t, o, v = TypeError, OverflowError, ValueError
    return {
        "entry points": [
            (Board, (), {}, None, None),
            (str, (board,), {}, None, None),
            (play_on_a_fresh_deal, (), {}, None, None),
            (legal, (A,), {}, None, None),
            (legal, (), {"player": B}, None, None),
            (bot, (A, 1), {}, None, None),
            (bot, (), {"player": B, "depth": Depth(1)}, None, None),
            (bot, (A, 0), {}, None, None),
            (int, (A,), {}, None, None),
            (repr, (B,), {}, None, None),
            (str, (CardType.Figure,), {}, None, None),
            (operator.eq, (A, B), {}, None, None),
            (operator.eq, (A, 0), {}, None, None),
            (operator.ne, (B, CardType.Figure), {}, None, None),
            (hash, (A,), {}, t, None),
            (operator.lt, (A, B), {}, t, None),
            (Player, (), {}, t, None),
            (CardType, (0,), {}, t, None),
        ],
        "argument errors": [
            (play, (), {}, t, None),
            (play, (MOVE_A1,), {}, t, None),
            (play, (MOVE_A1, A, ROOM, ROOM), {}, t, None),
            (play, (MOVE_A1, A), {"room_id": ROOM}, t, None),
            (play, (MOVE_A1, A, ROOM), {"move_str": MOVE_A1}, t, None),
            (play, (1, A, ROOM), {}, t, None),
            (play, (MOVE_A1, 0, ROOM), {}, t, None),
            (play, (MOVE_A1, None, ROOM), {}, t, None),
            (play, (MOVE_A1, CardType.Normal, ROOM), {}, t, None),
            (play, (MOVE_A1, A, None), {}, t, None),
            (play, (MOVE_A1, A, b"room"), {}, t, None),
            (play, (SURROGATE, A, ROOM), {}, UnicodeEncodeError, None),
            (legal, (), {}, t, None),
            (legal, (A, A), {}, t, None),
            (legal, (), {"side": A}, t, None),
            (legal, (A,), {"player": A}, t, None),
            (legal, (None,), {}, t, None),
            (bot, (), {}, t, None),
            (bot, (A, 1, 2), {}, t, None),
            (bot, (A,), {"level": 1}, t, None),
            (bot, (A, 1), {"depth": 1}, t, None),
            (bot, (1, 1), {}, t, None),
            (bot, (A, -1), {}, o, "out of range integral type conversion attempted"),
            (bot, (A, 2**32), {}, o, "out of range integral type conversion attempted"),
            (bot, (A, BIG), {}, o, None),
            (bot, (A, 2.0), {}, t, None),
            (bot, (A, ROOM), {}, t, None),
            (bot, (A, None), {}, t, None),
            (bot, (A, Depth(ROOM)), {}, t, None),
            (bot, (A, FailingDepth()), {}, Failure, None),
            (bot, (A, BorrowingDepth(board)), {}, None, None),
            (Board, (1,), {}, t, None),
            (Board, (), {"x": 1}, t, None),
        ],
        "rule refusals": [
            (b.play, (s, p, ROOM), {}, v, message) for b, s, p, message in refusal_cases()
        ],
    }


def run(paths, rounds):
    for _ in range(rounds):
        for function, args, kwargs, error, message in paths:
            try:
                function(*args, **kwargs)
            except BaseException as caught:
                if type(caught) is not error or message is not None and caught.args != (message,):
                    raise
            else:
                assert error is None, (function, args, kwargs)


def referenced(paths):
    """Every object the paths pass in, their attributes, and the classes."""
    objects = {id(o): o for o in (Board, Player, CardType, CardType.Normal, CardType.Figure)}
    for function, args, kwargs, _, _ in paths:
        receiver = getattr(function, "__self__", None)
        for o in (receiver if isinstance(receiver, Board) else None, *args, *kwargs.values()):
            for x in (o, *getattr(o, "__dict__", {}).values()):
                objects[id(x)] = x
    return list(objects.values())


GROUPS = ("entry points", "argument errors", "rule refusals")


@pytest.mark.parametrize("group", GROUPS)
def test_repeated_calls_leave_nothing_behind(group, record_property):
    # Two passes: a long one for the resident size (leaks of the module's own heap),
    # a shorter one under tracemalloc (which makes calls four times slower) for the
    # interpreter's objects, whose count it gives to the byte.
    paths = build_paths()[group]
    rounds, traced_rounds = scaled(93_000), scaled(5_000)
    objects = referenced(paths)
    total = getattr(sys, "gettotalrefcount", None)

    run(paths, scaled(2_000))  # caches, free lists and the search table settle first
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    total_before = total() if total else None
    size_before, resident_before = process_memory()
    run(paths, rounds)
    gc.collect()
    size_after, resident_after = process_memory()
    total_after = total() if total else None

    tracemalloc.start()
    try:
        run(paths, scaled(200))
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        run(paths, traced_rounds)
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]

    figures = {
        "paths": len(paths), "rounds": rounds, "traced_rounds": traced_rounds,
        "resident_before": resident_before, "resident_after": resident_after,
        "size_before": size_before, "size_after": size_after,
        "traced_before": traced_before, "traced_after": traced_after,
        "total_refcount_before": total_before, "total_refcount_after": total_after,
    }
    for name, value in figures.items():
        record_property(name, value)
    print(f"\n{group}: {figures}")

    assert [(o, b, a) for o, b, a in zip(objects, counts, after) if a != b] == []
    assert traced_after - traced_before < TRACED_BOUND
    if total:
        assert abs(total_after - total_before) < 1000
    if not SANITIZE:
        assert resident_after - resident_before < MEMORY_BOUND
        assert size_after - size_before < MEMORY_BOUND


def test_deep_searches_give_their_table_back(record_property):
    # Each call takes a table (16 MiB of address space, 8 MiB of it touched at this
    # depth) and frees it. Once malloc has kept one such block for reuse, the pages the
    # searches touch in it stay resident, up to its whole size;
    # a table leaked per call would instead add its bitmap (128 KiB, always written) and
    # 16 MiB of address space every time.
    calls = scaled(1_000)
    rng = random.Random(5)
    boards = [Board() for _ in range(calls)]
    boards[0].play_bot(Player.A, 6)
    size_before, resident_before = process_memory()
    for board in boards:
        player = rng.choice((Player.A, Player.B))
        assert board.play_bot(player, 6) in board.get_legal_moves(player)
    size_after, resident_after = process_memory()
    figures = {"calls": calls, "resident_before": resident_before,
               "resident_after": resident_after, "size_before": size_before,
               "size_after": size_after}
    for name, value in figures.items():
        record_property(name, value)
    print(f"\ndepth 6: {figures}")
    if not SANITIZE:
        assert resident_after - resident_before < 40 << 20
        assert size_after - size_before < 64 << 20
