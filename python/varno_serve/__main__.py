"""``varno-serve``: starts the web server and prints its address."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import sys
from pathlib import Path

INSTALL_HINT = "pip install 'varno[serve]'"
MAX_WORKERS = 64


def _workers(text: str) -> int:
    try:
        workers = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= workers <= MAX_WORKERS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_WORKERS}, not {workers}")
    return workers


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, not {port}")
    return port


# Limits settable with --limit NAME=VALUE: those of the connection guard
# (varno_serve.connections.ConnectionGuard), by name, with the type of their value.
LIMITS: dict[str, type[int] | type[float]] = {
    "idle_seconds": float,
    "idle_connections_per_address": int,
    "connections_per_address": int,
    "connections": int,
}


def _limit(text: str) -> tuple[str, int | float]:
    name, equals, value = text.partition("=")
    kind = LIMITS.get(name)
    if not equals or kind is None:
        raise argparse.ArgumentTypeError(
            f"not NAME=VALUE with NAME one of {', '.join(LIMITS)}: {text!r}")
    try:
        number = kind(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{name} is not a number: {value!r}") from None
    if not 0 < number < float("inf"):
        raise argparse.ArgumentTypeError(f"{name} must be above 0, not {value}")
    return name, number


def build_parser() -> argparse.ArgumentParser:
    # One core is left to the event loop; the others search for the bot.
    default_workers = max(1, (os.cpu_count() or 2) - 1)
    parser = argparse.ArgumentParser(
        prog="varno-serve",
        description="Serve games of varno to web browsers: against the bot, or between two "
        "people with a link to share. Rooms are kept in a SQLite database and survive a restart.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=_port, default=8000,
                        help="port to listen on, 0 for any free one (default: 8000)")
    parser.add_argument("--db", type=Path, default=Path("varno-serve.db"),
                        help="the SQLite database of the rooms (default: ./varno-serve.db)")
    parser.add_argument("--bot-workers", type=_workers, default=default_workers,
                        help=f"processes searching the bot's moves (default: {default_workers})")
    parser.add_argument("--limit", type=_limit, action="append", default=[], metavar="NAME=VALUE",
                        help=f"a limit of the server, one of {', '.join(LIMITS)}; repeatable")
    return parser


async def _serve(args: argparse.Namespace) -> None:
    from aiohttp import web

    from .app import Server, make_app
    from .bot import bot_pool
    from .connections import ConnectionGuard, GuardedAppRunner
    from .store import SqliteRoomStore

    store = SqliteRoomStore(args.db)
    server = Server(store, lambda: bot_pool(args.bot_workers))
    # Connections: the idle timer and the caps per address (varno_serve.connections).
    guard = ConnectionGuard(**dict(args.limit))
    runner = GuardedAppRunner(make_app(server), guard, handle_signals=False)
    await runner.setup()
    try:
        site = web.TCPSite(runner, args.host, args.port)
        await site.start()
        for host, port, *_ in runner.addresses:
            shown = f"[{host}]" if ":" in host else host
            print(f"varno-serve: http://{shown}:{port}/ (rooms in {args.db})", flush=True)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        await stop.wait()
    finally:
        await runner.cleanup()


def main(argv: list[str] | None = None) -> int:
    """Runs the server until SIGINT or SIGTERM; 2 for bad arguments or a missing extra."""
    args = build_parser().parse_args(argv)
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        print(f"varno-serve needs the serve extra; install it with: {INSTALL_HINT}",
              file=sys.stderr)
        return 2
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    # The access log shows method, path and status; seat secrets travel in bodies only.
    try:
        asyncio.run(_serve(args))
    except OSError as failure:
        print(f"varno-serve: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
