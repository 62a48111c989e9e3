"""The bot's queue: bounded (a change that would queue a search beyond it is refused and
changes nothing), ordered by expected cost with ageing, the same after a restart, its
rooms kept in memory; and the bot's workers, which end with the server however it ends.

The order is tested in-process with stand-in workers that search only when let go, so
that which search runs next is seen without timing anything; the restart, SIGTERM and
kill -9 on real server processes."""

from __future__ import annotations

import asyncio
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from collections.abc import AsyncIterator, Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import aiohttp
import pytest
import pytest_asyncio
from serve_helpers import (
    LOOPBACK,
    UNLIMITED,
    RecordingStore,
    ServerProcess,
    alive,
    cached,
    create,
    get_state,
    move,
    slow_down_updates,
    wait_for,
)
from varno_play.rules import PLAYERS
from varno_serve import bots as bots_module
from varno_serve.bots import PoolBots
from varno_serve.events import LocalEvents
from varno_serve.limits import Limits
from varno_serve.service import RoomService
from varno_serve.store import StoredRoom
from varno_serve.web import make_app

DEEP, SHALLOW = 12, 1


class Gate:
    """Stands in for the bot's workers: each search records its depth when it begins and
    waits until it is let go, then plays the first legal move."""

    def __init__(self) -> None:
        self.began: list[int] = []
        self._go = threading.Semaphore(0)

    def choose(self, board: bytes, side: Any, depth: int) -> str:
        self.began.append(depth)
        if not self._go.acquire(timeout=60):
            raise TimeoutError("never let go")
        moves: list[str] = pickle.loads(board).get_legal_moves(PLAYERS[side])
        return moves[0]

    def let_go(self, searches: int = 1) -> None:
        for _ in range(searches):
            self._go.release()


@pytest_asyncio.fixture
async def gated(aiohttp_client: Any, tmp_path: Path,
                monkeypatch: pytest.MonkeyPatch) -> AsyncIterator[Any]:
    """``await gated(pending_searches=..., workers=..., clock=...)``: a server whose
    bot searches through a ``Gate`` (``client.gate``)."""
    gates: list[Gate] = []

    async def starting(*, pending_searches: int = 8, workers: int = 1,
                       rooms_in_memory: int = 100,
                       clock: Callable[[], float] = time.time) -> Any:
        gate = Gate()
        gates.append(gate)
        monkeypatch.setattr(bots_module, "choose_move", gate.choose)
        limits = Limits().set({**UNLIMITED, "pending_searches": pending_searches,
                               "rooms_in_memory": rooms_in_memory}.items())
        bots = PoolBots(lambda: ThreadPoolExecutor(workers), pending_searches=pending_searches,
                        workers=workers)
        service = RoomService(RecordingStore(tmp_path / "rooms.db", clock), LocalEvents(), bots,
                              rooms_in_memory=rooms_in_memory, clock=clock)
        client = await aiohttp_client(make_app(service, limits), server_kwargs={"host": LOOPBACK})
        client.varno, client.gate = service, gate
        return client

    yield starting
    for gate in gates:
        gate.let_go(1000)   # no stand-in worker is left waiting


async def bot_first(client: Any, depth: int) -> dict[str, Any]:
    """A room where the bot moves first, not started."""
    return await create(client, mode="bot", side="B", depth=depth)


async def start(client: Any, made: dict[str, Any]) -> aiohttp.ClientResponse:
    response: aiohttp.ClientResponse = await client.post(
        f"/api/rooms/{made['room']}/start", json={"token": made["token"]})
    await response.read()
    return response


async def stored(client: Any, room: str) -> StoredRoom:
    found: StoredRoom | None = await client.varno.store.load(room)
    assert found is not None
    return found


class TestTheBound:
    async def test_a_full_queue_refuses_and_changes_nothing(self, gated: Any) -> None:
        client = await gated(pending_searches=2)
        first, second, third = [await bot_first(client, 3) for _ in range(3)]
        assert (await start(client, first)).status == 200       # searching
        await wait_for(lambda: client.gate.began == [3])
        assert (await start(client, second)).status == 200      # waiting
        before = await get_state(client, third["room"])

        refused = await start(client, third)
        assert refused.status == 503 and int(refused.headers["Retry-After"]) >= 1
        assert "try again" in (await refused.json())["error"]
        assert await get_state(client, third["room"]) == before
        assert not before["started"] and not before["thinking"]
        kept = await stored(client, third["room"])
        assert kept.version == 0 and kept.bot_due is None
        # A person's move that would hand the turn to the bot: refused, nothing stored.
        person = await create(client, mode="bot", side="A", depth=3)
        state = await get_state(client, person["room"])
        status, body = await move(client, person["room"], person["token"], state["legal"][0])
        assert status == 503 and "error" in body
        assert await get_state(client, person["room"]) == state
        assert (await stored(client, person["room"])).version == 0

        # A search ends: its place is free again.
        client.gate.let_go()
        await wait_for(lambda: cached(client, first["room"]).version == 2)
        assert (await start(client, third)).status == 200
        client.gate.let_go(2)
        await wait_for(lambda: cached(client, third["room"]).version == 2)

    async def test_the_place_is_taken_before_the_commit(self, gated: Any) -> None:
        """Two changes in flight together for the last place: one is refused, however
        long the store takes, and the refused one is not stored."""
        client = await gated(pending_searches=2)
        rooms = [await bot_first(client, 3) for _ in range(3)]
        assert (await start(client, rooms[0])).status == 200
        slow_down_updates(client)
        answers = await asyncio.gather(start(client, rooms[1]), start(client, rooms[2]))
        assert sorted(answer.status for answer in answers) == [200, 503]
        refused = rooms[1] if answers[0].status == 503 else rooms[2]
        assert (await stored(client, refused["room"])).version == 0

    async def test_a_failed_commit_gives_the_place_back(self, gated: Any) -> None:
        client = await gated(pending_searches=1)
        rooms = [await bot_first(client, 3) for _ in range(2)]
        store = client.varno.store
        update = store.update

        async def refused(room: StoredRoom) -> bool:
            return False            # as if another process had changed the room

        store.update = refused
        assert (await start(client, rooms[0])).status == 409
        store.update = update
        assert client.varno.bots.taken() == 0
        assert (await start(client, rooms[1])).status == 200

    async def test_rooms_waiting_for_the_bot_stay_in_memory(self, gated: Any) -> None:
        client = await gated(pending_searches=3, rooms_in_memory=3)
        waiting = [await bot_first(client, 3) for _ in range(3)]
        for made in waiting:
            assert (await start(client, made)).status == 200
        for _ in range(5):
            await get_state(client, (await create(client, mode="humans"))["room"])
        # The cache holds its bound, and the rooms waiting are never what it drops.
        assert client.varno.in_memory() == 3
        assert all(client.varno.cached(made["room"]) is not None for made in waiting)
        client.gate.let_go(3)
        await wait_for(lambda: client.varno.bots.pending() == 0)
        await get_state(client, (await create(client, mode="humans"))["room"])
        assert client.varno.in_memory() == 3

    def test_the_bound_fits_in_the_rooms_kept_in_memory(self, tmp_path: Path) -> None:
        with pytest.raises(ValueError, match="pending_searches"):
            Limits(pending_searches=100, rooms_in_memory=50).check()
        # The command line refuses it before it serves anything (a server that started
        # anyway is stopped by the timeout).
        refused = subprocess.run(
            [sys.executable, "-m", "varno_serve", "--host", LOOPBACK, "--port", "0",
             "--db", str(tmp_path / "rooms.db"),
             "--limit", "pending_searches=100", "--limit", "rooms_in_memory=50"],
            capture_output=True, text=True, timeout=30)
        assert refused.returncode == 2 and "pending_searches" in refused.stderr


class TestTheOrder:
    async def test_a_shallow_search_overtakes_deep_ones(self, gated: Any) -> None:
        client = await gated(workers=2)
        deep = [await bot_first(client, DEEP) for _ in range(5)]
        shallow = await bot_first(client, SHALLOW)
        for made in [*deep, shallow]:
            assert (await start(client, made)).status == 200
        # No more searches at once than there are workers: the rest wait here.
        await wait_for(lambda: len(client.gate.began) == 2)
        await asyncio.sleep(0.05)
        assert client.gate.began == [DEEP, DEEP] and client.varno.bots.running() == 2
        client.gate.let_go()
        await wait_for(lambda: len(client.gate.began) == 3)
        assert client.gate.began[2] == SHALLOW
        client.gate.let_go(5)
        await wait_for(lambda: client.varno.bots.pending() == 0)
        assert client.gate.began == [DEEP, DEEP, SHALLOW, DEEP, DEEP, DEEP]

    async def test_a_search_waiting_long_enough_goes_first(self, gated: Any) -> None:
        """Ageing: a deep search asked long ago goes before a shallow one asked now."""
        now = [1_000_000.0]
        client = await gated(clock=lambda: now[0])
        running, waiting = await bot_first(client, DEEP), await bot_first(client, DEEP)
        assert (await start(client, running)).status == 200
        assert (await start(client, waiting)).status == 200
        now[0] += 3600.0
        later = await bot_first(client, SHALLOW)
        assert (await start(client, later)).status == 200
        client.gate.let_go(3)
        await wait_for(lambda: client.varno.bots.pending() == 0)
        assert client.gate.began == [DEEP, DEEP, SHALLOW]
        # Where each stood in the queue is what the store keeps for a restart.
        history = [turn["by"] for turn in (await get_state(client, later["room"]))["history"]]
        assert history == ["bot"]


# -- real server processes -----------------------------------------------------------------

async def post(session: aiohttp.ClientSession, path: str,
               body: dict[str, Any]) -> tuple[int, dict[str, Any]]:
    async with session.post(path, json=body) as response:
        return response.status, await response.json()


async def make_bot_first(session: aiohttp.ClientSession, depth: int) -> dict[str, Any]:
    status, made = await post(session, "/api/rooms", {"mode": "bot", "side": "B", "depth": depth})
    assert status == 201
    return made


async def state_of(session: aiohttp.ClientSession, room: str) -> dict[str, Any]:
    async with session.get(f"/api/rooms/{room}") as response:
        state: dict[str, Any] = await response.json()
        return state


def workers_of(server: ServerProcess) -> list[int]:
    """The server's bot workers (not its other children, such as the semaphore tracker)."""
    found = []
    for pid in server.children():
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if b"spawn_main" in command:
            found.append(pid)
    return found


def threads(pid: int) -> int:
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return 0
    return int(status.split("Threads:")[1].split()[0])


def gone(pids: list[int], seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def kill_left(pids: list[int]) -> None:
    for pid in pids:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)


class TestRestarts:
    async def test_after_kill_9_the_waiting_rooms_come_back_in_order_within_the_bound(
            self, tmp_path: Path) -> None:
        db = tmp_path / "rooms.db"
        server = ServerProcess(db, limits={**UNLIMITED, "pending_searches": 8})
        try:
            async with aiohttp.ClientSession(server.url) as session:
                for _ in range(3):
                    # Made first, started at once: a deep search runs, the others wait.
                    deep = [await make_bot_first(session, DEEP) for _ in range(3)]
                    shallow = [await make_bot_first(session, SHALLOW) for _ in range(2)]
                    for made in [*deep, *shallow]:
                        status, _ = await post(session, f"/api/rooms/{made['room']}/start",
                                               {"token": made["token"]})
                        assert status == 200
                    states = [await state_of(session, made["room"]) for made in [*deep, *shallow]]
                    if not any(state["history"] for state in states):
                        break       # else the first search ended too soon: again
                else:
                    pytest.fail("a depth-12 search never lasted long enough")
            server.kill()

            # Fewer places than rooms waiting: they are taken up a few at a time, in
            # the order they were due, and no new search is taken meanwhile.
            server = ServerProcess(db, limits={**UNLIMITED, "pending_searches": 2})
            async with aiohttp.ClientSession(server.url) as session:
                newcomer = await make_bot_first(session, SHALLOW)
                status, body = await post(session, f"/api/rooms/{newcomer['room']}/start",
                                          {"token": newcomer["token"]})
                assert status == 503, body
                names = {made["room"]: f"deep{n}" for n, made in enumerate(deep)}
                names.update({made["room"]: f"shallow{n}" for n, made in enumerate(shallow)})
                seen: dict[str, float] = {}
                deadline = time.monotonic() + 60
                while len(seen) < len(names):
                    assert time.monotonic() < deadline, f"only {sorted(seen)} moved"
                    for room, name in names.items():
                        if name not in seen and (await state_of(session, room))["history"]:
                            seen[name] = time.monotonic()
                    await asyncio.sleep(0.02)
                assert seen["deep0"] <= seen["deep1"] <= seen["deep2"], seen
                assert max(seen["shallow0"], seen["shallow1"]) <= seen["deep0"]
                # Once they are done, new searches are taken again.
                status, _ = await post(session, f"/api/rooms/{newcomer['room']}/start",
                                       {"token": newcomer["token"]})
                assert status == 200
        finally:
            server.stop()

    async def test_sigterm_with_a_backlog_exits_at_once_and_loses_nothing(
            self, tmp_path: Path) -> None:
        db = tmp_path / "rooms.db"
        server = ServerProcess(db)
        try:
            async with aiohttp.ClientSession(server.url) as session:
                rooms = [await make_bot_first(session, DEEP)]
                rooms += [await make_bot_first(session, 9) for _ in range(5)]
                for made in rooms:
                    status, _ = await post(session, f"/api/rooms/{made['room']}/start",
                                           {"token": made["token"]})
                    assert status == 200
                async with session.ws_connect(f"/api/rooms/{rooms[0]['room']}/ws") as ws:
                    assert (await ws.receive()).type == aiohttp.WSMsgType.TEXT
                    workers = workers_of(server)
                    assert workers
                    began = time.monotonic()
                    server.process.send_signal(signal.SIGTERM)
                    closing = await asyncio.wait_for(ws.receive(), 10)
                    code = await asyncio.to_thread(server.process.wait, 30)
                    took = time.monotonic() - began
                assert closing.type == aiohttp.WSMsgType.CLOSE and closing.data == 1001
            assert code == 0
            # A bound on shutdown, whatever is queued (a search under way is not waited for).
            assert took < 2.0, f"SIGTERM took {took:.1f} s"
            assert gone(workers, 5.0), "a bot worker outlived the server"

            # Nothing acknowledged is lost: every start stands, and the rooms' turns are
            # taken up after the restart.
            server = ServerProcess(db)
            async with aiohttp.ClientSession(server.url) as session:
                deadline = time.monotonic() + 60
                for made in rooms:
                    while not (state := await state_of(session, made["room"]))["history"]:
                        assert state["started"] and state["thinking"]
                        assert time.monotonic() < deadline, "a waiting room was not taken up"
                        await asyncio.sleep(0.05)
        finally:
            server.stop()

    def test_the_workers_end_with_a_killed_server_even_mid_search(self, tmp_path: Path) -> None:
        """A worker in the middle of a search cannot run any code of its own (the search
        holds the interpreter lock): stopped, it stands for one; the kernel ends it."""
        server = ServerProcess(tmp_path / "rooms.db")
        workers: list[int] = []
        try:
            async def thinking() -> None:
                async with aiohttp.ClientSession(server.url) as session:
                    made = await make_bot_first(session, DEEP)
                    status, _ = await post(session, f"/api/rooms/{made['room']}/start",
                                           {"token": made["token"]})
                    assert status == 200

            asyncio.run(thinking())
            deadline = time.monotonic() + 30
            # A worker that has started (its watcher thread runs beside the search).
            while not (workers := workers_of(server)) or threads(workers[0]) < 2:
                assert time.monotonic() < deadline, "no bot worker started"
                time.sleep(0.02)
            for pid in workers:
                os.kill(pid, signal.SIGSTOP)
            server.kill()
            assert gone(workers, 5.0), "a bot worker outlived the killed server"
        finally:
            kill_left(workers)
            server.stop()
