"""Per-call times of Board.play, str(board) and Board.get_legal_moves, each next to a
built-in operation of similar shape timed in the same run, then the wall time of
Board.play_bot at depths 1, 8 and 10 in the same run.

    python bench/bench_rules.py [--calls N] [--repeats R] [--deals N]

Deals are random, so the play_bot figures are medians (and the worst) over many.
"""

import argparse
import os
import random
import statistics
import sys
import time
import timeit

import varno

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from rules_model import CELL_NAMES, Model  # noqa: E402

PLAYERS = {"A": varno.Player.A, "B": varno.Player.B}
ROOM = "room"
BOT_TARGETS = {1: 30e-6, 10: 0.25}  # median wall time per call, in seconds


def best_per_call(loop, calls, repeats):
    """The best of `repeats` runs of `loop()`, divided by the calls one run makes."""
    return min(timeit.repeat(loop, number=1, repeat=repeats)) / calls


def accepted_plays(count, rng):
    """(bound play, move, player) triples that are all accepted when run in order: each
    fresh deal is played on by both sides, in turn, until it runs out of moves."""
    calls = []
    while len(calls) < count:
        board = varno.Board()
        model = Model.from_picture(str(board))
        side = "A"
        for _ in range(40):
            moves = model.legal_moves(side)
            if not moves:
                break
            move = rng.choice(moves)
            model.play(move, side)
            calls.append((board.play, move, PLAYERS[side]))
            side = "B" if side == "A" else "A"
    return calls[:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--deals", type=int, default=15, help="fresh deals per depth (deep searches)")
    args = parser.parse_args()
    calls, repeats = args.calls, args.repeats
    rng = random.Random(1)
    rows = []

    # Accepted moves change the board, so every run plays its own prepared sequences.
    def accepted_run():
        plays = accepted_plays(calls, rng)

        def loop(room=ROOM):
            for play, move, player in plays:
                play(move, player, room)
        return loop

    accepted = min(timeit.timeit(accepted_run(), number=1) for _ in range(repeats)) / calls
    texts = ["ab%d" % (i % 10) for i in range(calls)]
    baseline_calls = [(s.startswith, "ab", 0) for s in texts]

    def baseline_loop():
        for method, prefix, start in baseline_calls:
            method(prefix, start, 2)
    baseline = best_per_call(baseline_loop, calls, repeats)
    rows.append(("play, many boards", accepted, "s.startswith('ab', 0, 2)", baseline, 1.0))

    # Two Figures of one side, one face up and one face down, hand the turn back and
    # forth: F2F1 turns F1 up and F2 down, F1F2 the reverse, so one board serves forever.
    board = varno.Board()
    model = Model.from_picture(str(board))
    first, second = [n for n in CELL_NAMES if model.cell(n)[1:] == ["A", "F"]]
    other = next(n for n in CELL_NAMES if n not in (first, second))
    board.play(first + other, varno.Player.A, ROOM)
    cycle_calls = [(board.play, second + first if i % 2 == 0 else first + second,
                    varno.Player.A) for i in range(calls)]

    def cycle_loop(room=ROOM):
        for play, move, player in cycle_calls:
            play(move, player, room)
    rows.append(("play, one board", best_per_call(cycle_loop, calls, repeats),
                 "s.startswith('ab', 0, 2)", baseline, 1.0))

    board = varno.Board()
    rejected_calls = [(board.play, "Z9", varno.Player.A)] * calls

    def rejected_loop(room=ROOM):
        for play, move, player in rejected_calls:
            try:
                play(move, player, room)
            except ValueError:
                pass
    rows.append(("play, rejected 'Z9'", best_per_call(rejected_loop, calls, repeats),
                 "s.startswith('ab', 0, 2)", baseline, 1.0))

    board = varno.Board()
    boards = [board] * calls
    strings = ["x" * 26] * calls

    def str_loop():
        for b in boards:
            str(b)

    def center_loop():
        for s in strings:
            s.center(98)
    rows.append(("str(board)", best_per_call(str_loop, calls, repeats),
                 "s.center(98)", best_per_call(center_loop, calls, repeats), 3.0))

    moves = board.get_legal_moves(varno.Player.A)
    assert len(moves) == 26
    listing = " ".join(moves)
    listing_calls = [(board.get_legal_moves, varno.Player.A)] * calls
    split_calls = [(listing.split, None)] * calls

    def listing_loop():
        for method, arg in listing_calls:
            method(arg)

    def split_loop():
        for method, arg in split_calls:
            method(arg)
    rows.append(("get_legal_moves (26)", best_per_call(listing_loop, calls, repeats),
                 "s.split() (26 words)", best_per_call(split_loop, calls, repeats), 0.35))

    print(f"{calls} calls per run, best of {repeats} runs; fresh deal")
    print(f"{'operation':<22}{'ns/call':>9}  {'baseline':<26}{'ns/call':>9}{'ratio':>8}{'target':>9}")
    for name, own, base_name, base, target in rows:
        ratio = own / base
        verdict = "ok" if ratio <= target else "OVER"
        print(f"{name:<22}{own * 1e9:>9.1f}  {base_name:<26}{base * 1e9:>9.1f}"
              f"{ratio:>7.2f}x{'<= %.2gx' % target:>9} {verdict}")

    print(f"\nplay_bot wall time, Python {sys.version.split()[0]}")
    print(f"{'depth':>5} {'calls':>6} {'median':>12} {'worst':>12}  target")
    for depth, count in ((1, 20000), (8, args.deals), (10, args.deals)):
        median, worst = bot_times(depth, count)
        target = BOT_TARGETS.get(depth)
        verdict = "" if target is None else f"median <= {fmt(target)} {'ok' if median <= target else 'OVER'}"
        print(f"{depth:>5} {count:>6} {fmt(median):>12} {fmt(worst):>12}  {verdict}")


def bot_times(depth, count):
    """Median and worst wall time of `count` play_bot calls at `depth` on fresh deals."""
    boards = [varno.Board() for _ in range(min(count, 200))]
    times = []
    for i in range(count):
        board = boards[i % len(boards)]
        start = time.perf_counter()
        board.play_bot(varno.Player.A, depth)
        times.append(time.perf_counter() - start)
    return statistics.median(times), max(times)


def fmt(seconds):
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.1f} ms"


if __name__ == "__main__":
    main()
