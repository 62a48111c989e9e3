"""What hosting costs: a pickle round trip of a Board, and bot searches in worker processes.

    python bench/bench_hosting.py [--searches N] [--depth D]

The process pool runs N searches on N different deals with as many workers as there
are cores, against the same searches one after another in this process.
"""

import argparse
import copy
import multiprocessing
import os
import pickle
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import varno


def per_call(action, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        action()
    return (time.perf_counter() - start) / calls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--searches", type=int, default=8)
    parser.add_argument("--depth", type=int, default=10)
    args = parser.parse_args()
    print(f"hosting, Python {sys.version.split()[0]}")
    board = varno.Board()
    board.play(board.get_legal_moves(varno.Player.A)[0], varno.Player.A, "bench")
    calls = 100_000
    for name, action in (
        ("pickle round trip", lambda: pickle.loads(pickle.dumps(board))),
        ("pickle.dumps", lambda: pickle.dumps(board)),
        ("copy.copy", lambda: copy.copy(board)),
        ("Board() for comparison", varno.Board),
    ):
        print(f"  {name:<24} {per_call(action, calls) * 1e9:8.0f} ns per board")

    boards = [varno.Board() for _ in range(args.searches)]
    start = time.perf_counter()
    local = [b.play_bot(varno.Player.B, args.depth) for b in boards]
    serial = time.perf_counter() - start
    workers = os.cpu_count() or 1
    context = multiprocessing.get_context("fork")  # workers share the parent's hash keys
    with ProcessPoolExecutor(workers, mp_context=context) as pool:
        list(pool.map(abs, range(workers)))  # the workers are up before the clock starts
        start = time.perf_counter()
        futures = [pool.submit(b.play_bot, varno.Player.B, args.depth) for b in boards]
        remote = [future.result() for future in futures]
        pooled = time.perf_counter() - start
    same = "same moves" if remote == local else "DIFFERENT MOVES"
    print(f"  {args.searches} searches at depth {args.depth}: {serial:.2f} s in this process, "
          f"{pooled:.2f} s on {workers} worker processes ({serial / pooled:.2f}x, {same})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
