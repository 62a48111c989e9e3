"""Wall time of Board.play_bot from Python on fresh deals, at depths 1, 8 and 10.

    python bench/bench_bot.py [--deals N]

Deals are random, so the figures are medians (and the worst) over many of them.
"""

import argparse
import statistics
import sys
import time

import varno

TARGETS = {1: 30e-6, 10: 0.25}  # median wall time per call, in seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--deals", type=int, default=15, help="fresh deals per depth (deep searches)")
    args = parser.parse_args()
    print(f"play_bot wall time, Python {sys.version.split()[0]}")
    print(f"{'depth':>5} {'calls':>6} {'median':>12} {'worst':>12}  target")
    for depth, calls in ((1, 20000), (8, args.deals), (10, args.deals)):
        boards = [varno.Board() for _ in range(min(calls, 200))]
        times = []
        for i in range(calls):
            board = boards[i % len(boards)]
            start = time.perf_counter()
            board.play_bot(varno.Player.A, depth)
            times.append(time.perf_counter() - start)
        median, worst = statistics.median(times), max(times)
        target = TARGETS.get(depth)
        verdict = "" if target is None else f"median <= {fmt(target)} {'ok' if median <= target else 'OVER'}"
        print(f"{depth:>5} {calls:>6} {fmt(median):>12} {fmt(worst):>12}  {verdict}")
    return 0


def fmt(seconds: float) -> str:
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.1f} ms"


if __name__ == "__main__":
    raise SystemExit(main())
