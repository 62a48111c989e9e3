"""What the bot's searches cost, for the order of varno-serve's bot queue
(``varno_serve.bots.SECONDS_AT_DEAL`` and ``CHEAPER_PER_CARD``).

Prints the mean, median and greatest time of ``Board.play_bot`` by depth on fresh deals
(12 cards on the grid), and then, at a few depths, by the cards left on the grid after
some random moves. The machine is shared: the load average is printed with the figures.

    python bench/serve/search_costs.py [--deals 40] [--deep-deals 12] [--seed 7]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import time
from collections import defaultdict

import varno
from varno_play.rules import PLAYERS, Side, cards_left, other

# Depths from this one on take a second or more at the deal: fewer deals are timed.
DEEP = 11


def timed(board: varno.Board, side: Side, depth: int) -> float:
    began = time.perf_counter()
    board.play_bot(PLAYERS[side], depth)
    return time.perf_counter() - began


def line(label: str, seconds: list[float]) -> str:
    return (f"{label}: {len(seconds):3} searches, mean {statistics.mean(seconds) * 1000:9.2f} ms,"
            f" median {statistics.median(seconds) * 1000:9.2f} ms,"
            f" max {max(seconds) * 1000:9.2f} ms")


def at_the_deal(deals: int, deep_deals: int) -> None:
    print("At the deal (12 cards on the grid), the side to move A:")
    for depth in range(1, 13):
        count = deep_deals if depth >= DEEP else deals
        print("  " + line(f"depth {depth:2}", [timed(varno.Board(), "A", depth)
                                               for _ in range(count)]), flush=True)


def by_cards(deals: int, rng: random.Random) -> None:
    print("After 0 to 6 random moves, by the cards left on the grid:")
    found: dict[tuple[int, int], list[float]] = defaultdict(list)
    for _ in range(deals):
        board = varno.Board()
        side: Side = "A"
        for _ in range(rng.randrange(7)):
            legal = board.get_legal_moves(PLAYERS[side])
            if not legal:
                break
            board.play(rng.choice(legal), PLAYERS[side], "costs")
            side = other(side)
        if not board.get_legal_moves(PLAYERS[side]):
            continue
        cards = sum(cards_left(board.__getstate__()).values())
        for depth in (6, 8, 10):
            found[(depth, cards)].append(timed(board, side, depth))
    for (depth, cards), seconds in sorted(found.items()):
        print("  " + line(f"depth {depth:2}, {cards:2} cards", seconds))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--deals", type=int, default=40)
    parser.add_argument("--deep-deals", type=int, default=12)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    print(f"play_bot on {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    at_the_deal(args.deals, args.deep_deals)
    by_cards(args.deals, random.Random(args.seed))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
