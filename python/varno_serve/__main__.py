"""``varno-serve``: the command line, and the server's parts put together from its
options: the store, the events, the bot's scheduler, the room service and the web
application."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import sys

from . import options
from .limits import ClientAddresses, Limits, parse_limit, parse_network
from .origins import listening_hint, parse_allowed_host, parse_allowed_origin
from .store import shown_url

INSTALL_HINT = "pip install 'varno[serve]'"
CLUSTER_HINT = "pip install 'varno[cluster]'"
MAX_WORKERS = 64
DEFAULT_STORE = "sqlite://varno-serve.db"
# On SIGTERM, how long requests under way may take to end (the bot's workers are ended
# and the WebSockets closed first): the server exits within about a second.
SHUTDOWN_SECONDS = 1.0


def _workers(text: str) -> int:
    try:
        workers = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= workers <= MAX_WORKERS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_WORKERS}, not {workers}")
    return workers


def _node(text: str) -> str:
    name = text.strip()
    if not name or len(name) > 200 or not name.isprintable():
        raise argparse.ArgumentTypeError(f"not a name for the node: {text!r}")
    return name


def _sqlite_path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("an empty path")
    return f"sqlite://{text}"


def build_parser() -> argparse.ArgumentParser:
    # One core is left to the event loop; the others search for the bot.
    default_workers = max(1, (os.cpu_count() or 2) - 1)
    parser = argparse.ArgumentParser(
        prog="varno-serve",
        description="Serve games of varno to web browsers: against the bot, or between two "
        "people with a link to share. Rooms are kept in a SQLite database and survive a restart.",
    )
    parser.add_argument("--host", default="127.0.0.1",
                        help="address (or name) to listen on; requests are answered for it, "
                        "localhost, 127.0.0.1 and [::1] (default: 127.0.0.1)")
    parser.add_argument("--port", type=options.port, default=8000,
                        help="port to listen on, 0 for any free one (default: 8000)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--store", type=options.store_url, default=DEFAULT_STORE, metavar="URL",
                       help="where the rooms are kept: sqlite://PATH, e.g. "
                       "sqlite:///srv/varno/rooms.db, or a PostgreSQL database shared by "
                       "several servers, postgresql://USER@HOST:PORT/DB[?pool_size=N&"
                       "timeout=SECONDS] (the cluster extra; a password is best given in "
                       f"PGPASSWORD or ~/.pgpass) (default: {DEFAULT_STORE})")
    where.add_argument("--db", type=_sqlite_path, dest="store", metavar="PATH",
                       help="the SQLite database of the rooms: --store sqlite://PATH")
    parser.add_argument("--bot-workers", type=_workers, default=default_workers,
                        help=f"processes searching the bot's moves (default: {default_workers})")
    parser.add_argument("--events", type=options.redis_url, metavar="URL",
                        help="a Redis server (redis://HOST:PORT/N) through which every "
                        "state stored goes to the watchers of every node sharing the store, "
                        "and in which those nodes count each client's new rooms together "
                        f"(needs {CLUSTER_HINT}; default: the --queue's server if --queue is "
                        "given, else this process's watchers only)")
    parser.add_argument("--node", type=_node, metavar="NAME",
                        help="this node's name in /healthz and /metrics (default: HOST:PORT)")
    parser.add_argument("--queue", type=options.redis_url, metavar="URL",
                        help="put the bot's turns on a queue on Redis (redis://HOST:PORT/N), "
                        "shared by every node, for varno-bot-worker processes to search: "
                        "this server then starts no bot workers of its own (--bot-workers "
                        "is ignored); pending_searches bounds the whole queue. The workers "
                        "publish the bot's moves through --events, which is this same server "
                        "unless given")
    defaults = Limits()
    parser.add_argument(
        "--limit", type=parse_limit, action="append", default=[], metavar="NAME=VALUE",
        help="set one of the limits (repeatable): " + ", ".join(
            f"{name} (default {getattr(defaults, name)})" for name in defaults.names()))
    parser.add_argument(
        "--trusted-proxy", type=parse_network, action="append", default=[],
        metavar="ADDRESS[/BITS]",
        help="a reverse proxy (an address or a network) whose X-Forwarded-For names the "
        "client the limits count, and whose X-Forwarded-Proto the scheme clients used "
        "(repeatable; by default the connection's peer is the client)")
    parser.add_argument(
        "--allowed-host", type=parse_allowed_host, action="append", default=[], metavar="NAME",
        help="a name or address the server is reached by, besides --host, localhost, 127.0.0.1 "
        "and [::1], on any port (repeatable); a request for any other Host gets 421. "
        "Listening on every address (--host 0.0.0.0 or ::) needs the public name here")
    parser.add_argument(
        "--allowed-origin", type=parse_allowed_origin, action="append", default=[],
        metavar="SCHEME://HOST[:PORT]",
        help="an origin whose pages may use the server besides its own (repeatable); a "
        "request from a page of any other origin gets 403. Behind a proxy that takes TLS off, "
        "give the public https://NAME here unless the proxy is a --trusted-proxy that sends "
        "X-Forwarded-Proto")
    return parser


async def _serve(args: argparse.Namespace) -> None:
    from aiohttp import web

    from .bots import BotScheduler, PoolBots, bot_pool
    from .connections import ConnectionGuard, GuardedAppRunner
    from .events import Events, LocalEvents
    from .health import Health
    from .metrics import CountingStore, Metrics
    from .origins import Origins
    from .service import RoomService
    from .store import open_store
    from .web import make_app
    from .web.logs import MAX_FIELD_SIZE, MAX_LINE_SIZE, access_log, quiet_malformed_requests

    limits: Limits = args.limits
    metrics = Metrics()
    metrics.bot_queue_limit.set(limits.pending_searches)
    store = CountingStore(await open_store(args.store), metrics)
    bots: BotScheduler
    if args.queue is not None:
        from .redis_bots import RedisBots, RedisQueue, connect

        bots = RedisBots(RedisQueue(connect(args.queue)), store,
                         pending_searches=limits.pending_searches,
                         name=args.node or f"{args.host}:{args.port}:{os.getpid()}",
                         observer=metrics)
    else:
        if store.shared:
            # Each node's own pool would take up every room waiting for the bot at start
            # (the compare-and-set plays each turn once, but searches it as often).
            logging.getLogger("varno_serve").warning(
                "rooms in a shared database without --queue: the bot's searches run in this "
                "node's own workers; give every node sharing the database --queue")
        bots = PoolBots(lambda: bot_pool(args.bot_workers),
                        pending_searches=limits.pending_searches, workers=args.bot_workers,
                        observer=metrics)
    events: Events
    shared_rooms = None
    if args.events is not None:
        from .events_redis import RedisEvents
        from .limits_redis import SharedRoomAllowance
        events = RedisEvents(args.events, metrics)
        # The nodes that share the events count each client's new rooms together.
        shared_rooms = SharedRoomAllowance(args.events, limits, metrics)
    else:
        events = LocalEvents()
    service = RoomService(store, events, bots, rooms_in_memory=limits.rooms_in_memory,
                          room_days=limits.room_days)
    origins = Origins(args.host, args.allowed_host, args.allowed_origin)
    health = Health.of(service, queue=bots.healthy if bots.remote else None)
    app = make_app(service, limits, args.trusted_proxy, origins, metrics, health,
                   rooms=shared_rooms)
    # Connections: the idle timer and the caps per address (varno_serve.connections).
    guard = ConnectionGuard(
        idle_seconds=limits.idle_seconds,
        idle_connections_per_address=limits.idle_connections_per_address,
        connections_per_address=limits.connections_per_address,
        connections=limits.connections,
        # Clients reach the server through a proxy's address: no cap of its own on it.
        exempt=[str(network) for network in args.trusted_proxy],
    )
    quiet_malformed_requests()
    runner = GuardedAppRunner(app, guard, handle_signals=False,
                              access_log_class=access_log(ClientAddresses(args.trusted_proxy)),
                              max_line_size=MAX_LINE_SIZE, max_field_size=MAX_FIELD_SIZE,
                              shutdown_timeout=SHUTDOWN_SECONDS)
    await runner.setup()
    try:
        site = web.TCPSite(runner, args.host, args.port)
        await site.start()
        listening = [(f"[{host}]" if ":" in host else host, port)
                     for host, port, *_ in runner.addresses]
        health.node = args.node or "{}:{}".format(*listening[0])
        metrics.set_node(health.node)
        for shown, port in listening:
            print(f"varno-serve: http://{shown}:{port}/ (rooms in {shown_url(args.store)})",
                  flush=True)
        hint = listening_hint(args.host, args.allowed_host)
        if hint is not None:
            print(f"varno-serve: {hint}", file=sys.stderr, flush=True)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        await stop.wait()
    finally:
        await runner.cleanup()
        if shared_rooms is not None:
            await shared_rooms.close()


def main(argv: list[str] | None = None) -> int:
    """Runs the server until SIGINT or SIGTERM; 2 for bad arguments or a missing extra."""
    parser = build_parser()
    args = parser.parse_args(argv)
    args.limits = Limits().set(args.limit)
    try:
        args.limits.check()
    except ValueError as wrong:
        parser.error(f"--limit: {wrong}")
    if args.queue is not None and args.events is None:
        # The workers publish the bot's moves through the events: without them a node's
        # watchers would never see one.
        args.events = args.queue
    if options.missing(("aiohttp", "prometheus_client"), "varno-serve needs the serve extra",
                       INSTALL_HINT):
        return 2
    if (args.events is not None or args.queue is not None) and options.missing(
            ("redis",), "--events and --queue need the cluster extra", CLUSTER_HINT):
        return 2
    # The access log shows method, path and status; seat secrets travel in bodies only.
    return options.run_command("varno-serve", _serve(args))


if __name__ == "__main__":
    raise SystemExit(main())
