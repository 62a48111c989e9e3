"""``varno-play``: a game of varno at the terminal, against the bot or between two people,
in English or Portuguese."""

from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Callable, Mapping
from typing import Final, TextIO

from .host import Host
from .rules import PLY_CAP, Side
from .texts import LANGUAGES, Lang, language_of, say

# Answers in about a twentieth of a second on a fresh deal, rarely more than a tenth.
DEFAULT_DEPTH: Final = 9
MAX_DEPTH: Final = 64


def _depth_in(lang: Lang) -> Callable[[str], int]:
    def depth(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(say(lang, "not_whole", text=text)) from None
        if not 1 <= value <= MAX_DEPTH:
            raise argparse.ArgumentTypeError(say(lang, "depth_range", max=MAX_DEPTH,
                                                 depth=value))
        return value

    depth.__name__ = "depth"
    return depth


def language(argv: list[str] | None, environ: Mapping[str, str]) -> Lang:
    """The language of the game: ``--lang`` if ``argv`` gives a known one, else the
    locale's (``texts.language_of``). A bad ``--lang`` is left to the full parser."""
    early = argparse.ArgumentParser(add_help=False)
    early.add_argument("--lang")
    try:
        given, _ = early.parse_known_args(argv)
    except SystemExit:
        given = argparse.Namespace(lang=None)
    if given.lang in LANGUAGES:
        chosen: Lang = "pt" if given.lang == "pt" else "en"
        return chosen
    return language_of(environ)


def build_parser(lang: Lang = "en") -> argparse.ArgumentParser:
    """The command line, its help in ``lang``."""
    parser = argparse.ArgumentParser(
        prog="varno-play",
        description=say(lang, "description"),
        epilog=say(lang, "rules", cap=PLY_CAP),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--side",
        type=str.upper,
        choices=["A", "B"],
        help=say(lang, "help_side"),
    )
    parser.add_argument(
        "--depth",
        type=_depth_in(lang),
        help=say(lang, "help_depth", default=DEFAULT_DEPTH),
    )
    who = parser.add_mutually_exclusive_group()
    who.add_argument("--bots", action="store_true", help=say(lang, "help_bots"))
    who.add_argument("--humans", action="store_true", help=say(lang, "help_humans"))
    parser.add_argument("--lang", choices=LANGUAGES, help=say(lang, "help_lang"))
    return parser


def main(
    argv: list[str] | None = None, *, stdin: TextIO | None = None, stdout: TextIO | None = None,
    environ: Mapping[str, str] | None = None,
) -> int:
    """Run one game; the exit status (0 after a game or a quit, 2 for bad arguments)."""
    lang = language(argv, os.environ if environ is None else environ)
    parser = build_parser(lang)
    try:
        args = parser.parse_args(argv)
        if args.side is not None and (args.bots or args.humans):
            parser.error(say(lang, "side_with_bot"))
        if args.depth is not None and args.humans:
            parser.error(say(lang, "depth_with_bot"))
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
        # Portuguese texts: never fail on a terminal that cannot show them.
        out.reconfigure(errors="replace")
    host = Host(
        bots=bots,
        depth=args.depth if args.depth is not None else DEFAULT_DEPTH,
        stdin=stdin if stdin is not None else sys.stdin,
        stdout=out,
        lang=lang,
    )
    try:
        result = host.run()
    except KeyboardInterrupt:
        abandoned = say(lang, "abandoned", why=say(lang, "interrupted"))
        out.write("\n" + say(lang, "result", result=abandoned) + "\n")
        out.flush()
        return 130
    out.write(say(lang, "result", result=result) + "\n")
    out.flush()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
