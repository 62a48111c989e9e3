"""``varno-bot-worker``: takes the bot's turns from the queue on Redis
(``varno_serve.redis_bots``), searches each, and plays the move on the store.

One search at a time per worker; run as many workers on a machine as it has cores. The
search runs in a child process of the worker (the pool of one of ``varno_serve.bots``,
which the kernel ends with the worker, even mid-search), so the worker's event loop
keeps renewing its lease and answers signals while the search holds the interpreter
lock of its own process.

A job is played through the room service's own logic, on a service of the worker's that
keeps no room in memory: the room is read from the store, the move checked at the job's
version and stored with the compare-and-set, and the new state published to the nodes'
watchers (``--events``). The node that asked for the turn need not be alive. A job whose
room has moved on (played by another worker already, or the room gone) is dropped. A job
that every worker taking it died with (``MAX_DELIVERIES`` of them) is played with the
first legal move, so that no room waits for ever on a search that kills its worker.

SIGTERM or SIGINT: the search is ended, the job given back (the next free worker takes it
at once), and the worker exits within about a second.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import os
import signal
import socket
import time
from collections.abc import Callable
from concurrent.futures import Executor
from concurrent.futures.process import BrokenProcessPool
from typing import TYPE_CHECKING, Any, Final

from . import options
from .bots import Search, bot_pool, choose_move, end_workers
from .errors import Busy, Conflict, NotFound
from .events import shown_url

if TYPE_CHECKING:
    # Imported when the worker runs, so that a missing extra is said plainly.
    from .redis_bots import Job, RedisBots, RedisQueue
    from .service import RoomService

log = logging.getLogger("varno_serve")

INSTALL_HINT: Final = "pip install 'varno[cluster]'"
# The lease on a job: another worker takes it over after this long without a renewal.
# The worker renews it every third of it.
LEASE_SECONDS: Final = 5.0
# Takings of one job after which it is played with the first legal move.
MAX_DELIVERIES: Final = 5
# Searches of one job that may end with the search's process dying before the job is
# given up the same way.
MAX_BROKEN: Final = 2
# After a failure of Redis or the store, how long before the worker tries again.
PAUSE_SECONDS: Final = 0.5
# How long a finished job's acknowledgement is tried while Redis cannot be reached.
FINISH_SECONDS: Final = 5.0
# On SIGTERM, how long giving the job back may take.
GIVE_BACK_SECONDS: Final = 0.5
# An idle worker looks at the queue at least this often (for leases that lapsed).
IDLE_SECONDS: Final = 1.0



class WorkerMetrics:
    """The worker's metrics: those every process of the site has (``ProcessMetrics``,
    the searches and their wait among them, named as a node names its own) and the jobs'."""

    def __init__(self, name: str = "") -> None:
        from prometheus_client import Counter

        from .metrics import ProcessMetrics

        self.common = ProcessMetrics("This bot worker.")
        self.common.set_node(name)
        self.registry = self.common.registry
        registry = self.registry
        self.search_seconds = self.common.search_seconds
        self.queue_wait = self.common.bot_wait_seconds
        self.redis_errors = self.common.redis_errors
        self.store_errors = self.common.store_errors
        self.jobs_taken = Counter("varno_bot_jobs_taken", "Jobs taken from the queue.",
                                  registry=registry)
        self.jobs_reclaimed = Counter(
            "varno_bot_jobs_reclaimed", "Jobs taken over from a worker whose lease lapsed.",
            registry=registry)
        self.jobs_failed = Counter(
            "varno_bot_jobs_failed", "Jobs played with the first legal move, their search "
            "having killed every worker that took it.", registry=registry)
        self.jobs_skipped = Counter(
            "varno_bot_jobs_skipped", "Jobs whose room had moved on or was gone (played "
            "already, or deleted).", registry=registry)
        self.moves = Counter("varno_bot_moves", "Moves of the bot played and stored.",
                             registry=registry)

    def text(self) -> tuple[bytes, str]:
        """The metrics in the exposition format, and its content type."""
        from .metrics import CONTENT_TYPE

        return self.common.exposition(), CONTENT_TYPE


# -- the worker ------------------------------------------------------------------------------

class BotWorker:
    """Takes jobs one at a time and plays them: ``run`` until cancelled."""

    def __init__(self, queue: RedisQueue, service: RoomService, bots: RedisBots,
                 metrics: WorkerMetrics, *, name: str, lease: float = LEASE_SECONDS,
                 make_pool: Callable[[], Executor] = lambda: bot_pool(1),
                 max_deliveries: int = MAX_DELIVERIES) -> None:
        self.queue = queue
        self.service = service
        self.bots = bots
        self.metrics = metrics
        self.name = name
        self.lease = lease
        self._make_pool = make_pool
        self._pool: Executor | None = None
        self._max_deliveries = max_deliveries
        # The job under way, for the tests and the logs.
        self.job: Job | None = None

    async def run(self) -> None:
        from redis.exceptions import RedisError

        wake = "0-0"
        # Since when the queue cannot be read (logged once, and once it can again).
        failing: float | None = None
        while True:
            try:
                job, wake = await self.queue.take(self.name, self.lease)
            except (RedisError, OSError) as failure:
                self.metrics.redis_errors.labels("take").inc()
                if failing is None:
                    failing = time.monotonic()
                    log.warning("the bot's queue cannot be read: %s", failure)
                await asyncio.sleep(PAUSE_SECONDS)
                continue
            if failing is not None:
                log.info("the bot's queue is read again after %.1f s",
                         time.monotonic() - failing)
                failing = None
            if job is not None:
                await self._work(job)
                continue
            with contextlib.suppress(RedisError, OSError):
                await self.queue.wait(wake, min(IDLE_SECONDS, self.lease / 2))

    def close(self) -> None:
        """Ends the search's process, if any."""
        pool, self._pool = self._pool, None
        if pool is not None:
            end_workers(pool)
            pool.shutdown(wait=False, cancel_futures=True)

    async def _work(self, job: Job) -> None:
        self.job = job
        self.metrics.jobs_taken.inc()
        if job.deliveries > 1:
            self.metrics.jobs_reclaimed.inc()
            log.info("room %s: the bot's turn at version %d taken over (delivery %d)",
                     job.room_id, job.version, job.deliveries)
        self.metrics.queue_wait.observe(max(0.0, time.time() - job.asked))
        keeper = asyncio.create_task(self._keep(job))
        try:
            await self._play(job)
        except asyncio.CancelledError:
            # Stopping: the search is ended and the job given back to the next worker.
            self.close()
            with contextlib.suppress(Exception):
                await asyncio.wait_for(self.queue.give_back(job, self.name), GIVE_BACK_SECONDS)
            raise
        finally:
            keeper.cancel()
            await asyncio.gather(keeper, return_exceptions=True)
            self.job = None
        await self._finish(job)
        self.service.bot_done(job.room_id)

    async def _keep(self, job: Job) -> None:
        """Renews the lease on ``job`` every third of it, while the job is played."""
        from redis.exceptions import RedisError

        while True:
            await asyncio.sleep(self.lease / 3)
            try:
                if not await self.queue.renew(job, self.name):
                    # Another worker took it over: whichever plays first plays the turn.
                    log.warning("room %s: the lease on the bot's turn at version %d was lost",
                                job.room_id, job.version)
                    return
            except (RedisError, OSError):
                self.metrics.redis_errors.labels("renew").inc()

    async def _play(self, job: Job) -> None:
        """Searches and plays the bot's move of ``job``, trying again while the store
        fails; returns once it is played, or the room has moved on."""
        broken = 0
        while True:
            try:
                if job.deliveries > self._max_deliveries or broken >= MAX_BROKEN:
                    played = await self._give_up(job)
                else:
                    search = await self.service.bot_search(job.room_id, job.version)
                    if search is None:
                        self.metrics.jobs_skipped.inc()
                        return
                    try:
                        move = await self._search(search)
                    except BrokenProcessPool:
                        broken += 1
                        log.error("room %s: the search's process died", job.room_id)
                        continue
                    played = await self.service.apply_bot_move(job.room_id, job.version, move)
                if played:
                    self.metrics.moves.inc()
                else:
                    self.metrics.jobs_skipped.inc()
                # The next turn of the bot, if the person had to pass, is enqueued
                # before this job frees the room's place.
                await self.bots.flush()
                return
            except (NotFound, Conflict):
                self.metrics.jobs_skipped.inc()
                return
            except Busy:
                # The bot moves again and its next turn could not be queued: Redis failed.
                self.metrics.redis_errors.labels("reserve").inc()
                log.warning("room %s: the bot's next turn cannot be queued; trying again",
                            job.room_id)
                await asyncio.sleep(PAUSE_SECONDS)
            except Exception:
                # A failure of the store is counted by the store (CountingStore).
                log.exception("room %s: the bot's turn failed; trying again", job.room_id)
                await asyncio.sleep(PAUSE_SECONDS)

    async def _give_up(self, job: Job) -> bool:
        log.error("room %s: every search of the bot's turn at version %d ended with its "
                  "process; the first legal move is played", job.room_id, job.version)
        self.metrics.jobs_failed.inc()
        return await self.service.apply_bot_move(job.room_id, job.version, "")

    async def _search(self, search: Search) -> str:
        if self._pool is None:
            self._pool = self._make_pool()
        pool = self._pool
        began = time.monotonic()
        try:
            move = await asyncio.get_running_loop().run_in_executor(
                pool, choose_move, search.board, search.side, search.depth)
        except BrokenProcessPool:
            if self._pool is pool:
                self.close()
            raise
        self.metrics.search_seconds.labels(str(search.depth)).observe(time.monotonic() - began)
        return move

    async def _finish(self, job: Job) -> None:
        """Acknowledges ``job`` and frees its place, trying for a while if Redis fails
        (else the job is taken over later and found played)."""
        from redis.exceptions import RedisError

        deadline = time.monotonic() + FINISH_SECONDS
        while True:
            try:
                await self.queue.finish(job)
                return
            except (RedisError, OSError) as failure:
                self.metrics.redis_errors.labels("finish").inc()
                if time.monotonic() > deadline:
                    log.warning("room %s: the bot's turn was played but not acknowledged: "
                                "%s", job.room_id, failure)
                    return
                await asyncio.sleep(PAUSE_SECONDS)


# -- the command line ----------------------------------------------------------------------

def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0.1 <= seconds <= 3600:
        raise argparse.ArgumentTypeError(f"must be from 0.1 to 3600 seconds, not {seconds}")
    return seconds


def build_parser() -> argparse.ArgumentParser:
    default_name = f"{socket.gethostname()}:{os.getpid()}"
    parser = argparse.ArgumentParser(
        prog="varno-bot-worker",
        description="Search the bot's moves for varno-serve nodes started with the same "
        "--queue: take the bot's turns from the queue on Redis, play them on the store, "
        "and publish the new states. Run one per core.")
    parser.add_argument("--queue", type=options.redis_url, required=True, metavar="URL",
                        help="the bot's queue: redis://HOST:PORT/N, as the nodes' --queue")
    parser.add_argument("--store", type=options.store_url, required=True, metavar="URL",
                        help="where the rooms are kept, as the nodes' --store")
    parser.add_argument("--events", type=options.redis_url, metavar="URL",
                        help="where the rooms' new states are published, as the nodes' "
                        "--events (default: the --queue's server)")
    parser.add_argument("--name", default=default_name,
                        help="the worker's name in the queue and the logs; unique among "
                        f"the workers (default: HOST:PID, here {default_name})")
    parser.add_argument("--metrics-port", type=options.port, metavar="N",
                        help="serve the worker's metrics at http://HOST:N/metrics")
    parser.add_argument("--metrics-host", default="127.0.0.1", metavar="ADDRESS",
                        help="the address the metrics are served on (default: 127.0.0.1)")
    parser.add_argument("--lease", type=_seconds, default=LEASE_SECONDS, metavar="SECONDS",
                        help="how long a job taken stays this worker's without a renewal "
                        f"before another takes it over (default: {LEASE_SECONDS:g}); the same "
                        "on every worker")
    return parser


async def _serve_metrics(metrics: WorkerMetrics, host: str, port: int) -> Any:
    from aiohttp import web

    async def scrape(request: web.Request) -> web.Response:
        body, content_type = metrics.text()
        response = web.Response(body=body)
        response.headers["Content-Type"] = content_type
        return response

    app = web.Application()
    app.router.add_get("/metrics", scrape)
    runner = web.AppRunner(app, handle_signals=False, access_log=None,
                           shutdown_timeout=GIVE_BACK_SECONDS)
    await runner.setup()
    site = web.TCPSite(runner, host, port)
    await site.start()
    for address in runner.addresses:
        print(f"varno-bot-worker: metrics at http://{address[0]}:{address[1]}/metrics",
              flush=True)
    return runner


async def _run(args: argparse.Namespace) -> None:
    from .events_redis import RedisEvents
    from .metrics import CountingStore
    from .redis_bots import RedisBots, RedisQueue, connect
    from .service import RoomService
    from .store import open_store

    metrics = WorkerMetrics(args.name)
    store = CountingStore(await open_store(args.store), metrics.common)
    # Publishing only (a worker has no watchers); it listens all the same, so that
    # varno_events_up says whether Redis answers.
    events = RedisEvents(args.events, metrics.common)
    bots = RedisBots(RedisQueue(connect(args.queue)), store, pending_searches=0,
                     name=args.name, bounded=False)
    # No room is kept in memory: each job reads its room from the store.
    service = RoomService(store, events, bots, rooms_in_memory=0)
    worker = BotWorker(bots.queue, service, bots, metrics, name=args.name, lease=args.lease)
    runner = None
    if args.metrics_port is not None:
        runner = await _serve_metrics(metrics, args.metrics_host, args.metrics_port)
    await events.start(service)
    await bots.start(service)
    print(f"varno-bot-worker: {args.name} takes the bot's turns from {shown_url(args.queue)}",
          flush=True)
    working = asyncio.create_task(worker.run())
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, working.cancel)
    try:
        await working
    except asyncio.CancelledError:
        pass
    finally:
        worker.close()
        if runner is not None:
            await runner.cleanup()
        await bots.close()
        await events.close()
        await store.close()


def main(argv: list[str] | None = None) -> int:
    """Runs the worker until SIGINT or SIGTERM; 2 for bad arguments or a missing extra."""
    args = build_parser().parse_args(argv)
    if args.events is None:
        args.events = args.queue
    if options.missing(("aiohttp", "prometheus_client", "redis"),
                       "varno-bot-worker needs the cluster extra", INSTALL_HINT):
        return 2
    return options.run_command("varno-bot-worker", _run(args))


if __name__ == "__main__":
    raise SystemExit(main())
