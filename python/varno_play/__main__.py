"""``varno-play``: a game of varno at the terminal, against the bot or between two people."""

from __future__ import annotations

import argparse
import io
import sys
from typing import Final, TextIO

from .host import Host
from .rules import RULES_TEXT, Side

# Answers in about a twentieth of a second on a fresh deal, rarely more than a tenth.
DEFAULT_DEPTH: Final = 9
MAX_DEPTH: Final = 64


def _depth(text: str) -> int:
    try:
        depth = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= depth <= MAX_DEPTH:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_DEPTH}, not {depth}")
    return depth


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varno-play",
        description="Play varno at the terminal: a card game for two sides, A and B, "
        "on a grid of 3 rows by 4 columns. By default you play against the bot.",
        epilog=RULES_TEXT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--side",
        type=str.upper,
        choices=["A", "B"],
        help="the side you play against the bot (default: A, which moves first)",
    )
    parser.add_argument(
        "--depth",
        type=_depth,
        help=f"how many moves ahead the bot looks (default: {DEFAULT_DEPTH}; deeper is slower)",
    )
    who = parser.add_mutually_exclusive_group()
    who.add_argument("--bots", action="store_true", help="let the bot play both sides")
    who.add_argument("--humans", action="store_true", help="two people at one terminal, no bot")
    return parser


def main(
    argv: list[str] | None = None, *, stdin: TextIO | None = None, stdout: TextIO | None = None
) -> int:
    """Run one game; the exit status (0 after a game or a quit, 2 for bad arguments)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.side is not None and (args.bots or args.humans):
            parser.error("--side is for a game against the bot")
        if args.depth is not None and args.humans:
            parser.error("--depth is for a game with the bot")
    except SystemExit as leaving:
        return leaving.code if isinstance(leaving.code, int) else 2

    bots: set[Side]
    if args.bots:
        bots = {"A", "B"}
    elif args.humans:
        bots = set()
    else:
        bots = {"B"} if args.side in (None, "A") else {"A"}

    out = stdout if stdout is not None else sys.stdout
    if isinstance(out, io.TextIOWrapper):
        # The module's messages are Portuguese; never fail on a terminal that cannot show them.
        out.reconfigure(errors="replace")
    host = Host(
        bots=bots,
        depth=args.depth if args.depth is not None else DEFAULT_DEPTH,
        stdin=stdin if stdin is not None else sys.stdin,
        stdout=out,
    )
    try:
        result = host.run()
    except KeyboardInterrupt:
        out.write("\nResult: game abandoned (interrupted)\n")
        out.flush()
        return 130
    out.write(f"Result: {result}\n")
    out.flush()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
