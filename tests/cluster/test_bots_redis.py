"""The bot's queue on Redis (``varno_serve.redis_bots``) and ``varno-bot-worker``, against
real Redis servers of the tests' own (``services.py``) and a store shared by the
processes of a test (a SQLite file; PostgreSQL where its backend is there).

The queue's bound, order and leases are checked in-process on a real Redis, so that
which job goes next is seen without timing anything; the rest with real processes
killed and started again: nodes (``varno-serve --queue``), workers and Redis itself.
"""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import json
import multiprocessing
import os
import random
import re
import select
import signal
import subprocess
import sys
import time
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("aiohttp")
pytest.importorskip("redis")

import aiohttp  # noqa: E402
from redis.asyncio import Redis  # noqa: E402
from cluster_services import PostgresServer, RedisServer, alive, children, free_port  # noqa: E402
from serve_helpers import stop  # noqa: E402

from varno_serve.errors import Busy  # noqa: E402
from varno_serve.events import LocalEvents  # noqa: E402
from varno_serve.redis_bots import (  # noqa: E402
    PLACES,
    STREAMS,
    RedisBots,
    RedisQueue,
    connect,
)
from varno_serve.room import Room  # noqa: E402
from varno_serve.service import RoomService  # noqa: E402
from varno_serve.worker import BotWorker, WorkerMetrics  # noqa: E402
from varno_serve.store import BACKENDS, StoredRoom  # noqa: E402
from varno_serve.store.sqlite import SqliteRoomStore  # noqa: E402

# The pure-Python model of the rules, which replays a history (untyped: read as Any).
Model: Any = importlib.import_module("rules_model").Model

LOOPBACK = "127.0.0.1"
REPO = Path(__file__).resolve().parents[2]
# PostgreSQL runs as its own user, who cannot enter pytest's private folders.
SERVICES = REPO / "build" / "tests" / "bots-redis"
DEEP = 12
START_SECONDS = 30.0


def run(coroutine: Any) -> Any:
    return asyncio.run(asyncio.wait_for(coroutine, 240))


@contextlib.asynccontextmanager
async def queue_on(url: str, clock: Any = time.time) -> AsyncIterator[RedisQueue]:
    queue = RedisQueue(connect(url), clock)
    try:
        yield queue
    finally:
        await queue.close()


class Process:
    """A process of the package (``python -m MODULE``), started once it prints a line that
    matches ``ready``; its log is ``log``."""

    def __init__(self, module: str, arguments: Sequence[str], log: Path, ready: str) -> None:
        self.log = log
        self.found: re.Match[str] | None = None
        with log.open("a") as writing:
            self.process = subprocess.Popen([sys.executable, "-m", module, *arguments],
                                            stdout=subprocess.PIPE, stderr=writing, bufsize=0)
        assert self.process.stdout is not None
        # Read from the pipe itself, not through a buffered reader: lines that arrive
        # together would wait in its buffer, where select() does not see them.
        out = self.process.stdout.fileno()
        deadline = time.monotonic() + START_SECONDS
        lines: list[str] = []
        pending = b""
        while self.found is None and time.monotonic() < deadline:
            readable, _, _ = select.select([out], [], [], 1.0)
            if not readable:
                continue
            chunk = os.read(out, 4096)
            if not chunk:
                break
            *complete, pending = (pending + chunk).split(b"\n")
            for line in complete:
                lines.append(line.decode(errors="replace"))
                self.found = self.found or re.search(ready, lines[-1])
        if self.found is None:
            self.process.kill()
            self.process.wait()
            raise AssertionError(f"{module} did not start: {lines!r}")

    @property
    def pid(self) -> int:
        return self.process.pid

    def kill(self) -> None:
        with contextlib.suppress(ProcessLookupError):
            self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self) -> None:
        stop(self.process)


@contextlib.contextmanager
def processes() -> Iterator[list[Process]]:
    """Every node and worker started in the block is stopped at its end."""
    started: list[Process] = []
    try:
        yield started
    finally:
        for process in started:
            process.stop()


def node(started: list[Process], folder: Path, queue: str, store: str | None = None,
         **limits: float) -> str:
    """A node (``varno-serve --queue``) on the test's store; its URL."""
    settings = {"requests_per_second": 1e9, "request_burst": 10**9,
                "room_creations_per_minute": 10**9, **limits}
    process = Process("varno_serve", [
        "--host", LOOPBACK, "--port", "0", "--store", store or f"sqlite://{folder / 'rooms.db'}",
        "--queue", queue, *(f"--limit={name}={value}" for name, value in settings.items())],
        folder / f"node-{len(started)}.log", r"(http://\S+?)/? ")
    started.append(process)
    assert process.found is not None
    return process.found.group(1)


def worker(started: list[Process], folder: Path, queue: str, name: str, *,
           store: str | None = None, lease: float = 2.0,
           options: Sequence[str] = ()) -> Process:
    """A ``varno-bot-worker`` on the test's store."""
    process = Process("varno_serve.worker", [
        "--queue", queue, "--store", store or f"sqlite://{folder / 'rooms.db'}", "--name", name,
        "--lease", str(lease), *options], folder / f"{name}.log", "takes the bot's turns")
    started.append(process)
    return process


async def post(session: aiohttp.ClientSession, path: str,
               body: dict[str, Any]) -> tuple[int, dict[str, Any], str | None]:
    async with session.post(path, json=body) as response:
        return response.status, await response.json(), response.headers.get("Retry-After")


async def get(session: aiohttp.ClientSession, room: str) -> dict[str, Any]:
    async with session.get(f"/api/rooms/{room}") as response:
        assert response.status == 200
        state: dict[str, Any] = await response.json()
        return state


async def bot_room(session: aiohttp.ClientSession, side: str, depth: int) -> dict[str, Any]:
    status, made, _ = await post(session, "/api/rooms", {"mode": "bot", "side": side,
                                                         "depth": depth})
    assert status == 201, made
    return made


async def start(session: aiohttp.ClientSession, made: dict[str, Any]) -> tuple[int, str | None]:
    status, _, retry = await post(session, f"/api/rooms/{made['room']}/start",
                                  {"token": made["token"]})
    return status, retry


async def bot_moved(session: aiohttp.ClientSession, room: str, moves: int = 1,
                    seconds: float = 60.0) -> dict[str, Any]:
    """The room's state once its history holds ``moves`` turns."""
    deadline = time.monotonic() + seconds
    while len((state := await get(session, room))["history"]) < moves:
        assert time.monotonic() < deadline, f"room {room}: the bot did not move: {state}"
        await asyncio.sleep(0.02)
    return state


def check_history(made: dict[str, Any], state: dict[str, Any], deal: str) -> None:
    """The room's turns follow the host rules: sides alternate from A (a side that had to
    pass has an entry of its own), each by its seat's holder, each move legal in turn;
    and the version counts the changes, the start included."""
    bot_side = "A" if made["seat"] == "B" else "B"
    history = state["history"]
    for n, turn in enumerate(history):
        assert turn["side"] == "AB"[n % 2], history
        assert turn["by"] == ("bot" if turn["side"] == bot_side else "human"), history
    model = Model.from_picture(deal)
    for turn in history:
        if turn["move"] is not None:
            model.play(turn["move"], turn["side"])
    assert state["picture"] == model.render()
    changes = sum(1 for turn in history if turn["move"] is not None)
    assert state["version"] == changes + (1 if bot_side == "A" else 0), state


async def play_out(session: aiohttp.ClientSession, side: str, depth: int, seed: int,
                   seconds: float = 150.0) -> dict[str, Any]:
    """Plays a game against the bot with random moves to its end; its last state, once
    its history is checked."""
    made = await bot_room(session, side, depth)
    deal = (await get(session, made["room"]))["picture"]
    if side == "B":
        assert (await start(session, made))[0] == 200
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    while (state := await get(session, made["room"]))["result"] is None:
        assert time.monotonic() < deadline, f"game {seed} stuck: {state}"
        if state["to_move"] != side:
            await asyncio.sleep(0.02)
            continue
        status, _, _ = await post(session, f"/api/rooms/{made['room']}/moves",
                                  {"move": rng.choice(state["legal"]), "token": made["token"]})
        assert status == 200
    check_history(made, state, deal)
    return state


# -- the queue, in-process ----------------------------------------------------------------------

class TestTheQueue:
    def test_the_bound_is_one_count_for_every_node(self, redis_server: RedisServer) -> None:
        async def check() -> None:
            async with queue_on(redis_server.url) as first_queue, \
                    queue_on(redis_server.url) as second_queue:
                store = SqliteRoomStore(":memory:")
                one = RedisBots(first_queue, store, pending_searches=3, name="one")
                two = RedisBots(second_queue, store, pending_searches=3, name="two")
                # Until the rooms waiting in the store are known, nothing is reserved.
                with pytest.raises(Busy, match="starting"):
                    await one.reserve("r1")
                await one.reconcile()
                assert await one.reserve("r1")
                assert not await two.reserve("r1")       # the room holds its place
                assert await two.reserve("r2") and await one.reserve("r3")
                for bots in (one, two):
                    with pytest.raises(Busy, match="try again") as full:
                        await bots.reserve("r4")
                    assert full.value.retry_after >= 1
                two.cancel("r3")                          # not its own: nothing given back
                await two.flush()
                with pytest.raises(Busy):
                    await two.reserve("r4")
                one.cancel("r3")
                await one.flush()
                assert await two.reserve("r4")
                # A place becomes its job: still one place, freed with the job.
                one.request("r1", 7, time.time())
                await one.flush()
                assert await first_queue.places() == 3
                job, _ = await first_queue.take("w", 5.0)
                assert job is not None and (job.room_id, job.version) == ("r1", 7)
                await first_queue.finish(job)
                assert await first_queue.places() == 2
                await store.close()

        run(check())

    def test_a_shallow_job_overtakes_deep_ones_and_old_ones_go_first(
            self, redis_server: RedisServer) -> None:
        now = [1_000_000.0]

        async def check() -> None:
            async with queue_on(redis_server.url, lambda: now[0]) as queue:
                for n in range(3):
                    await queue.enqueue(f"deep{n}", 1, now[0] + 27.0)
                    now[0] += 0.1
                await queue.enqueue("shallow", 1, now[0] + 0.03)
                await queue.enqueue("middle", 1, now[0] + 0.3)
                taken = [await queue.take("w", 60.0) for _ in range(6)]
                assert [job.room_id for job, _ in taken if job is not None] == [
                    "shallow", "middle", "deep0", "deep1", "deep2"]
                assert taken[-1][0] is None
                # Ageing: a deep job enqueued an hour ago goes before a shallow one now.
                await queue.enqueue("old", 1, now[0] + 27.0)
                now[0] += 3600.0
                await queue.enqueue("new", 1, now[0] + 0.03)
                first, _ = await queue.take("w", 60.0)
                assert first is not None and first.room_id == "old"

        run(check())

    def test_leases_lapse_are_renewed_and_given_back(self, redis_server: RedisServer) -> None:
        lease = 0.3

        async def check() -> None:
            async with queue_on(redis_server.url) as queue:
                await queue.enqueue("room", 3, time.time())
                job, _ = await queue.take("first", lease)
                assert job is not None and job.deliveries == 1
                # Renewed, it stays the first consumer's past the lease.
                for _ in range(4):
                    await asyncio.sleep(lease / 2)
                    assert await queue.renew(job, "first")
                    assert (await queue.take("second", lease))[0] is None
                # Not renewed, it is taken over.
                await asyncio.sleep(lease * 1.5)
                again, _ = await queue.take("second", lease)
                assert again is not None and again.entry == job.entry and again.deliveries == 2
                assert not await queue.renew(job, "first")
                # Given back, it is taken over at once.
                assert await queue.give_back(again, "second")
                third, _ = await queue.take("third", 60.0)
                assert third is not None and third.entry == job.entry
                await queue.finish(third)
                assert (await queue.take("fourth", 0.001))[0] is None
                assert await queue.places() == 0

        run(check())

    def test_enqueue_is_idempotent_and_never_goes_back(self, redis_server: RedisServer) -> None:
        async def check() -> None:
            async with queue_on(redis_server.url) as queue:
                for _ in range(3):
                    assert await queue.enqueue("room", 5, time.time()) is (_ == 0)
                assert not await queue.enqueue("room", 4, time.time())
                job, _ = await queue.take("w", 60.0)
                assert job is not None and job.version == 5
                assert (await queue.take("w", 60.0))[0] is None
                # While it runs, the same job again is not a second one...
                assert not await queue.enqueue("room", 5, time.time())
                # ...but a job whose entry is gone is enqueued anew.
                await queue.redis.xdel(job.stream, job.entry)
                assert await queue.enqueue("room", 5, time.time())
                # The next turn replaces the place; the old job's end leaves it.
                assert await queue.enqueue("room", 6, time.time())
                await queue.finish(job)
                assert str(await queue.redis.hget(PLACES, "room")).startswith("v:6:")

        run(check())

# -- nodes and workers -------------------------------------------------------------------------

STORES = ["sqlite", pytest.param("postgresql", marks=pytest.mark.skipif(
    "postgresql" not in BACKENDS, reason="no PostgreSQL store in this build"))]


@contextlib.contextmanager
def store_of(kind: str, tmp_path: Path) -> Iterator[str]:
    """The URL of a store of ``kind`` for the processes of one test."""
    if kind == "sqlite":
        yield f"sqlite://{tmp_path / 'rooms.db'}"
        return
    server = PostgresServer(SERVICES / f"postgres-{os.getpid()}-{time.monotonic_ns()}")
    server.start()
    try:
        yield server.dsn
    finally:
        server.stop()


async def holders(listener: Redis) -> set[str]:
    """The names of the workers that hold a job."""
    found: set[str] = set()
    for stream in STREAMS:
        if await listener.exists(stream):
            found.update(str(pending["consumer"]) for pending in
                         await listener.xpending_range(stream, "workers", "-", "+", 100))
    return found


async def searching(listener: Redis, workers: dict[str, Process]) -> str:
    """The name of the worker that holds a job, once one does and its search's process
    runs."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for name in await holders(listener):
            if name in workers and children(workers[name].pid):
                return name
        await asyncio.sleep(0.005)
    raise AssertionError("no worker took the job")


async def gone(pids: list[int], seconds: float = 5.0) -> None:
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids):
        assert time.monotonic() < deadline, "a search outlived its worker"
        await asyncio.sleep(0.02)


class TestWorkers:
    @pytest.mark.parametrize("kind", STORES)
    def test_a_bot_game_is_played_by_the_workers(self, kind: str, tmp_path: Path,
                                                 redis_server: RedisServer) -> None:
        metrics_ports = [free_port(), free_port()]
        with store_of(kind, tmp_path) as store, processes() as started:
            url = node(started, tmp_path, redis_server.url, store)
            for n, port in enumerate(metrics_ports):
                worker(started, tmp_path, redis_server.url, f"w{n}", store=store,
                       options=["--events", redis_server.url, "--metrics-port", str(port)])

            async def play() -> None:
                listener = Redis.from_url(redis_server.url, decode_responses=True)
                pubsub = listener.pubsub()
                await pubsub.psubscribe("varno:room:*")
                async with aiohttp.ClientSession(url) as session:
                    state = await play_out(session, "B", 3, seed=5)
                    # Every change went out once on the room's channel, as stored: the
                    # node's (the deal, the start, the person's moves) and the workers'
                    # (the bot's moves).
                    bot_turns = sum(1 for turn in state["history"]
                                    if turn["by"] == "bot" and turn["move"])
                    published: dict[int, dict[str, Any]] = {}
                    deadline = time.monotonic() + 10
                    while len(published) <= state["version"]:
                        assert time.monotonic() < deadline, sorted(published)
                        message = await pubsub.get_message(ignore_subscribe_messages=True,
                                                           timeout=1.0)
                        if message is None:
                            continue
                        assert message["channel"] == f"varno:room:{state['room']}"
                        event = json.loads(message["data"])
                        assert event["version"] not in published
                        published[event["version"]] = json.loads(event["state"])
                    assert sorted(published) == list(range(state["version"] + 1))
                    by_bot = 0
                    for version, shown in published.items():
                        assert shown["version"] == version
                        moves = [turn for turn in shown["history"] if turn["move"]]
                        by_bot += bool(moves) and moves[-1]["by"] == "bot"
                    assert by_bot == bot_turns
                await pubsub.aclose()
                await listener.aclose()
                texts: list[str] = []
                async with aiohttp.ClientSession() as session:
                    for port in metrics_ports:
                        async with session.get(f"http://{LOOPBACK}:{port}/metrics") as got:
                            assert got.status == 200
                            texts.append(await got.text())
                for n, text in enumerate(texts):
                    for name in ("varno_search_seconds_bucket", "varno_bot_wait_seconds",
                                 "varno_bot_jobs_taken_total", "varno_bot_jobs_reclaimed_total",
                                 "varno_bot_jobs_failed_total", "varno_redis_errors_total",
                                 "varno_store_errors_total", "varno_events_published_total"):
                        assert f"# TYPE {name.removesuffix('_total').removesuffix('_bucket')}" \
                            in text, name
                    # Each worker named by its --name.
                    assert f'varno_node_info{{node="w{n}"}} 1.0' in text
                # Whichever worker took the jobs: its searches by depth, named as a node
                # names its own, and its bot's moves published.
                searched = [text for text in texts
                            if 'varno_search_seconds_count{depth="3"}' in text]
                assert searched
                assert all("varno_events_published_total 0.0" not in text for text in searched)

            run(play())

    def test_the_bound_and_503_hold_across_two_nodes(self, tmp_path: Path,
                                                     redis_server: RedisServer) -> None:
        with processes() as started:
            urls = [node(started, tmp_path, redis_server.url, pending_searches=2)
                    for _ in range(2)]

            async def check() -> None:
                async with aiohttp.ClientSession(urls[0]) as one, \
                        aiohttp.ClientSession(urls[1]) as two:
                    rooms = [await bot_room(one, "B", 2) for _ in range(3)]
                    assert (await start(one, rooms[0]))[0] == 200
                    assert (await start(two, rooms[1]))[0] == 200
                    for session in (one, two):
                        status, retry = await start(session, rooms[2])
                        assert status == 503 and retry is not None and int(retry) >= 1
                    refused = await get(two, rooms[2]["room"])
                    assert not refused["started"] and refused["version"] == 0
                    # A person's move that hands the bot its turn: refused, not stored.
                    person = await bot_room(two, "A", 2)
                    state = await get(one, person["room"])
                    status, _, _ = await post(one, f"/api/rooms/{person['room']}/moves",
                                              {"move": state["legal"][0],
                                               "token": person["token"]})
                    assert status == 503
                    assert (await get(two, person["room"]))["version"] == 0
                    # A worker plays the two turns; their places are free again.
                    worker(started, tmp_path, redis_server.url, "w")
                    await bot_moved(two, rooms[0]["room"])
                    await bot_moved(one, rooms[1]["room"])
                    assert (await start(two, rooms[2]))[0] == 200
                    await bot_moved(one, rooms[2]["room"])

            run(check())

    def test_kill_9_of_a_worker_mid_search_another_plays_the_move_once(
            self, tmp_path: Path, redis_server: RedisServer) -> None:
        with processes() as started:
            url = node(started, tmp_path, redis_server.url)
            workers = {name: worker(started, tmp_path, redis_server.url, name, lease=1.5)
                       for name in ("w0", "w1")}

            async def check() -> None:
                async with aiohttp.ClientSession(url) as session:
                    made, holder, searches, _ = await interrupted(
                        session, redis_server.url, workers, lambda process: process.kill(),
                        lambda name: worker(started, tmp_path, redis_server.url, name,
                                            lease=1.5))
                    await gone(searches)
                    await bot_moved(session, made["room"])
                    await asyncio.sleep(2.0)    # a second move would have come by now
                    state = await get(session, made["room"])
                    assert [turn["by"] for turn in state["history"]] == ["bot"]
                    assert state["version"] == 2 and state["to_move"] == "B"
                other = next(name for name in workers if name != holder)
                assert "taken over" in workers[other].log.read_text()

            run(check())

    def test_sigterm_gives_the_job_back_and_exits_at_once(
            self, tmp_path: Path, redis_server: RedisServer) -> None:
        with processes() as started:
            url = node(started, tmp_path, redis_server.url)
            # A lease far longer than the test: only a job given back is taken over.
            first = {"first": worker(started, tmp_path, redis_server.url, "first", lease=600)}

            def terminate(process: Process) -> None:
                process.process.send_signal(signal.SIGTERM)
                process.process.wait(10)

            async def check() -> None:
                async with aiohttp.ClientSession(url) as session:
                    made, _, searches, took = await interrupted(
                        session, redis_server.url, first, terminate,
                        lambda name: worker(started, tmp_path, redis_server.url, name,
                                            lease=600))
                    assert first["first"].process.returncode == 0
                    assert took < 2.0, f"SIGTERM took {took:.1f} s"
                    await gone(searches)
                    worker(started, tmp_path, redis_server.url, "second", lease=600)
                    state = await bot_moved(session, made["room"], seconds=30)
                    assert [turn["by"] for turn in state["history"]] == ["bot"]

            run(check())


async def interrupted(session: aiohttp.ClientSession, redis_url: str,
                      workers: dict[str, Process], end: Callable[[Process], None],
                      restart: Callable[[str], Process]
                      ) -> tuple[dict[str, Any], str, list[int], float]:
    """Starts a room whose bot searches at depth 12 and ends (``end``) the worker that
    takes it mid-search, a few times if need be (a search may end too soon; its worker is
    started again): the room, the worker's name, its search's processes and how long
    ``end`` took."""
    listener = Redis.from_url(redis_url, decode_responses=True)
    try:
        for _ in range(5):
            made = await bot_room(session, "B", DEEP)
            assert (await start(session, made))[0] == 200
            holder = await searching(listener, workers)
            searches = children(workers[holder].pid)
            began = time.monotonic()
            await asyncio.to_thread(end, workers[holder])
            took = time.monotonic() - began
            if not (await get(session, made["room"]))["history"]:
                return made, holder, searches, took
            await bot_moved(session, made["room"])
            workers[holder] = await asyncio.to_thread(restart, holder)
    finally:
        await listener.aclose()
    raise AssertionError("no depth-12 search lasted long enough to be interrupted")


async def bot_turn_stored(queue: RedisQueue, folder: Path,
                          kind: type[RedisBots] = RedisBots) -> tuple[RoomService, Room]:
    """A room service of this process on the test's store, with the bot's scheduler
    ``kind``, and a room of it whose bot's first turn (at depth 4) it has stored."""
    store = SqliteRoomStore(folder / "rooms.db")
    bots = kind(queue, store, pending_searches=8, name="in-process")
    service = RoomService(store, LocalEvents(), bots, rooms_in_memory=0)
    await bots.reconcile()
    room, _, token, _ = await service.create("bot", "B", 4)
    await service.start_game(room.room_id, token)
    return service, room


async def played(service: RoomService, room_id: str) -> StoredRoom:
    """The room as stored once the bot's first move is."""
    deadline = time.monotonic() + 30
    while (stored := await service.store.load(room_id)) is None or stored.version < 2:
        assert time.monotonic() < deadline, "the turn was never played"
        await asyncio.sleep(0.05)
    assert stored.version == 2
    return stored


# -- failures -------------------------------------------------------------------------------

class TestNothingLost:
    def test_twenty_games_with_workers_killed_and_restarted(
            self, tmp_path: Path, redis_server: RedisServer) -> None:
        with processes() as started:
            url = node(started, tmp_path, redis_server.url)
            workers = [worker(started, tmp_path, redis_server.url, f"w{n}", lease=1.0)
                       for n in range(3)]
            kills = {"all": 0, "holding a job": 0}

            async def chaos(stop: asyncio.Event) -> None:
                """Kills a worker every half second or so, most often one that holds a
                job, and starts another in its place."""
                rng = random.Random(11)
                listener = Redis.from_url(redis_server.url, decode_responses=True)
                while not stop.is_set():
                    await asyncio.sleep(rng.uniform(0.2, 0.8))
                    holding = await holders(listener)
                    busy = [n for n, process in enumerate(workers)
                            if process.log.stem in holding]
                    n = rng.choice(busy) if busy and rng.random() < 0.8 \
                        else rng.randrange(len(workers))
                    await asyncio.to_thread(workers[n].kill)
                    kills["all"] += 1
                    kills["holding a job"] += n in busy
                    workers[n] = await asyncio.to_thread(
                        worker, started, tmp_path, redis_server.url, f"w{n}-{kills['all']}",
                        lease=1.0)
                await listener.aclose()

            async def check() -> None:
                stop = asyncio.Event()
                chaotic = asyncio.create_task(chaos(stop))
                try:
                    async with aiohttp.ClientSession(url) as session:
                        await asyncio.gather(*(
                            play_out(session, "AB"[n % 2], (4, 8, 10, 11, 12)[n % 5], seed=n)
                            for n in range(20)))
                finally:
                    stop.set()
                    await chaotic
                assert kills["holding a job"] >= 5, kills
                taken_over = sum(process.log.read_text().count("taken over")
                                 for process in started if process.log.stem.startswith("w"))
                assert taken_over >= 3, kills
                # Every place was freed with its game's last turn.
                async with queue_on(redis_server.url) as queue:
                    assert await queue.places() == 0

            run(check())

    def test_a_turn_stored_but_never_enqueued_is_played(self, tmp_path: Path,
                                                        redis_server: RedisServer) -> None:
        """A node that dies after storing a change that hands the bot its turn, before it
        enqueues the job: the periodic reconciliation of another process finds the room."""

        class DyingBots(RedisBots):
            def request(self, room_id: str, version: int, due: float) -> None:
                self._reserved.pop(room_id, None)       # stored, and the job never sent

        async def check() -> None:
            async with queue_on(redis_server.url) as queue:
                service, room = await bot_turn_stored(queue, tmp_path, DyingBots)
                assert str(await queue.redis.hget(PLACES, room.room_id)).startswith("r:")
                with processes() as started:
                    # Its first reconciliation comes too soon after this process's.
                    worker(started, tmp_path, redis_server.url, "w")
                    stored = await played(service, room.room_id)
                    assert stored.bot_due is None
                await service.close()

        run(check())

    def test_a_search_that_kills_its_process_gives_the_first_legal_move(
            self, tmp_path: Path, redis_server: RedisServer) -> None:
        """A room must not wait for ever on a search that kills whatever runs it."""

        async def check() -> None:
            async with queue_on(redis_server.url) as queue:
                service, room = await bot_turn_stored(queue, tmp_path)
                metrics = WorkerMetrics()
                assert isinstance(service.bots, RedisBots)
                dying = BotWorker(queue, service, service.bots, metrics, name="w",
                                  make_pool=lambda: ProcessPoolExecutor(
                                      1, multiprocessing.get_context("spawn"),
                                      initializer=os._exit, initargs=(1,)))
                working = asyncio.create_task(dying.run())
                stored = await played(service, room.room_id)
                working.cancel()
                await asyncio.gather(working, return_exceptions=True)
                assert json.loads(stored.host)["history"] == [
                    {"side": "A", "move": room.legal_moves()[0], "by": "bot"}]
                assert metrics.registry.get_sample_value("varno_bot_jobs_failed_total") == 1
                await service.close()

        run(check())

    def test_redis_killed_and_started_again_the_waiting_turns_are_played(
            self, tmp_path: Path, redis_server: RedisServer) -> None:
        with processes() as started:
            url = node(started, tmp_path, redis_server.url)

            worker(started, tmp_path, redis_server.url, "w")

            async def check() -> None:
                async with aiohttp.ClientSession(url) as session:
                    # One searched by the worker, the others waiting in Redis.
                    rooms = [await bot_room(session, "B", DEEP) for _ in range(3)]
                    for made in rooms:
                        assert (await start(session, made))[0] == 200
                    await asyncio.to_thread(redis_server.kill)
                    # Out of reach: reads go on, a turn for the bot is refused.
                    late = await bot_room(session, "B", 4)
                    status, retry = await start(session, late)
                    assert status == 503 and retry is not None
                    await asyncio.sleep(1.0)
                    assert (await get(session, rooms[-1]["room"]))["thinking"]
                    # Back, and empty: the reconciliation puts the waiting rooms back, and
                    # the worker, alive throughout, takes them.
                    await asyncio.to_thread(redis_server.start)
                    for made in rooms:
                        state = await bot_moved(session, made["room"], seconds=30)
                        assert [turn["by"] for turn in state["history"]] == ["bot"]
                    deadline = time.monotonic() + 20
                    while (status := (await start(session, late))[0]) != 200:
                        assert status == 503 and time.monotonic() < deadline
                        await asyncio.sleep(0.2)
                    await bot_moved(session, late["room"])

            run(check())
