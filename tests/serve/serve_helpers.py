"""Helpers of the varno-serve tests: playing through the API, and the check that no
response reveals a face-down card."""

from __future__ import annotations

import asyncio
import contextlib
import json
import re
import resource
import select
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import aiohttp
import varno
from prometheus_client.parser import text_string_to_metric_families
from varno_serve.bots import PoolBots, bot_pool
from varno_serve.events import LocalEvents
from varno_serve.limits import Limits
from varno_serve.room import Room, load_board
from varno_serve.service import RoomService
from varno_serve.store import StoredRoom
from varno_serve.store.sqlite import SqliteRoomStore

# Whether a process still runs: as make cluster's tools tell it.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from cluster_services import alive  # noqa: E402, F401

LOOPBACK = "127.0.0.1"
# Scripted clients move far faster than people: no rate limit unless a test asks.
UNLIMITED: dict[str, float] = {
    "requests_per_second": 1e9, "request_burst": 10**9, "room_creations_per_minute": 10**9,
}


class RecordingStore(SqliteRoomStore):
    """Keeps every board it stores or gives back, by room and version: the server-side
    truth that a response of that version is checked against."""

    def __init__(self, path: Path, clock: Callable[[], float] = time.time) -> None:
        super().__init__(path, clock)
        self.boards: dict[tuple[str, int], bytes] = {}

    async def create(self, room: StoredRoom) -> None:
        await super().create(room)
        self.boards[(room.room_id, room.version)] = room.board

    async def load(self, room_id: str) -> StoredRoom | None:
        stored = await super().load(room_id)
        if stored is not None:
            self.boards[(stored.room_id, stored.version)] = stored.board
        return stored

    async def update(self, room: StoredRoom) -> bool:
        written = await super().update(room)
        if written:
            self.boards[(room.room_id, room.version)] = room.board
        return written


def slow_down_updates(client: Any, seconds: float = 0.2) -> None:
    """Makes every update of the client's store take ``seconds`` longer, so that requests
    sent together are in flight together."""
    store = client.varno.store
    update = store.update

    async def slow_update(stored: StoredRoom) -> bool:
        await asyncio.sleep(seconds)
        written: bool = await update(stored)
        return written

    store.update = slow_update


def make_server(db: Path, limits: Limits) -> RoomService:
    bots = PoolBots(lambda: bot_pool(1), pending_searches=limits.pending_searches)
    return RoomService(RecordingStore(db), LocalEvents(), bots,
                       rooms_in_memory=limits.rooms_in_memory, room_days=limits.room_days)


def cached(client: Any, room: str) -> Room:
    """The room as the server holds it in memory."""
    found: Room | None = client.varno.cached(room)
    assert found is not None, f"room {room} is not in memory"
    return found


def board_of(client: Any, room: str) -> varno.Board:
    return cached(client, room).board


def picture_of(cells: list[str]) -> str:
    """The picture the module draws of a board whose public cells are ``cells``."""
    assert len(cells) == 12
    drawn = {"XX": "[XXXXXX]", "--": "[  --  ]"}
    rows = ["   1   2   3   4\n"]
    for r, letter in enumerate("ABC"):
        row = "".join(drawn.get(code, f"[ {code} ]") for code in cells[4 * r:4 * r + 4])
        rows.append(f"{letter} {row}\n")
    return "".join(rows)


# Four cells of a saved state in a row, as a state or a part of one would show them.
STATE_ROW = re.compile(r"(?:[AB][NF]|[ab][nf]|--)(?: (?:[AB][NF]|[ab][nf]|--)){3}")


def assert_nothing_hidden(client: Any, text: str) -> None:
    """``text`` (a response or a push) shows the stored board of its room and version,
    without any face-down card's identity."""
    data = json.loads(text)
    # The saved states of the board and of the referee stay in the store, whole or in part.
    assert STATE_ROW.search(text) is None, text
    if "cells" not in data:
        for board in client.varno.store.boards.values():
            assert load_board(board).__getstate__() not in text
        return
    blob = client.varno.store.boards.get((data["room"], data["version"]))
    assert blob is not None, "a state the store never had"
    board = load_board(blob)
    saved = board.__getstate__()
    truth = saved.replace(" / ", " ").split()
    assert saved not in text
    assert data["picture"] == str(board)
    assert picture_of(data["cells"]) == str(board)
    for code, true in zip(data["cells"], truth, strict=True):
        assert code == ("XX" if true.islower() else true)
    # No lower-case cell code (how the saved state writes a face-down card) anywhere.
    for word in ("an", "af", "bn", "bf"):
        assert f'"{word}"' not in text


def metric(text: str, name: str, **labels: str) -> float:
    """The value of the sample ``name`` whose labels are exactly ``labels`` in a metrics
    exposition (``/metrics``); 0 if there is none."""
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name == name and sample.labels == labels:
                return float(sample.value)
    return 0.0


async def create(client: Any, **body: Any) -> dict[str, Any]:
    response = await client.post("/api/rooms", json=body)
    assert response.status == 201, await response.text()
    made: dict[str, Any] = await response.json()
    return made


async def begin(client: Any, made: dict[str, Any]) -> dict[str, Any]:
    """Starts the room just ``made`` (the bot's first move, where it moves first): the
    state the start answers with."""
    response = await client.post(f"/api/rooms/{made['room']}/start",
                                 json={"token": made["token"]})
    text = await response.text()
    assert response.status == 200, text
    assert_nothing_hidden(client, text)
    state: dict[str, Any] = json.loads(text)
    return state


async def get_state(client: Any, room: str) -> dict[str, Any]:
    response = await client.get(f"/api/rooms/{room}")
    assert response.status == 200
    text = await response.text()
    assert_nothing_hidden(client, text)
    state: dict[str, Any] = json.loads(text)
    return state


async def move(client: Any, room: str, token: str, mv: str) -> tuple[int, dict[str, Any]]:
    response = await client.post(f"/api/rooms/{room}/moves", json={"move": mv, "token": token})
    text = await response.text()
    assert_nothing_hidden(client, text)
    return response.status, json.loads(text)


async def wait_for(predicate: Any, timeout: float = 30.0) -> None:
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        assert loop.time() < deadline, "timed out"
        await asyncio.sleep(0.01)


async def next_state(ws: aiohttp.ClientWebSocketResponse, version: int,
                     seconds: float = 30.0) -> dict[str, Any]:
    """The first state the watcher gets at ``version`` or later."""
    async with asyncio.timeout(seconds):
        while True:
            state: dict[str, Any] = json.loads(await ws.receive_str())
            if state["version"] >= version:
                return state


def stop(process: subprocess.Popen[Any]) -> None:
    """SIGTERM to ``process`` if it still runs, SIGKILL if it has not ended 15 s later."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class ServerProcess:
    """A varno-serve process on a free loopback port: its URL and the process. Its limits
    are ``limits`` (by default none to speak of) and then the defaults; ``options`` are
    added to its command line and, if ``files`` is given, it has that limit of open
    files. Its rooms are in the SQLite file ``db``, or in ``store`` (a store URL) if
    given, its log beside ``db`` either way. ``port`` is the port to listen on (one that
    was free; by default any)."""

    def __init__(self, db: Path, *, workers: int = 1, options: Sequence[str] = (),
                 limits: dict[str, float] = UNLIMITED, files: int | None = None,
                 store: str | None = None, port: int = 0) -> None:
        def limit_files() -> None:
            if files is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))

        # Its log (access log included) goes beside the database, to be read by tests.
        self.log = db.with_suffix(".log")
        with self.log.open("a") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "varno_serve", "--host", LOOPBACK, "--port", str(port),
                 *(["--db", str(db)] if store is None else ["--store", store]),
                 "--bot-workers", str(workers),
                 *(f"--limit={name}={value}" for name, value in limits.items()), *options],
                stdout=subprocess.PIPE, stderr=log, text=True, preexec_fn=limit_files,
            )
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], 30.0)
        line = self.process.stdout.readline() if ready else ""
        found = re.search(r"(http://\S+?)/? ", line)
        if found is None:
            self.process.kill()
            raise AssertionError(f"varno-serve did not start: {line!r}")
        self.url = found.group(1)

    def stop(self) -> None:
        stop(self.process)

    def children(self) -> set[int]:
        """The processes the server started (its bot workers among them)."""
        found: set[int] = set()
        for task in Path(f"/proc/{self.process.pid}/task").iterdir():
            found.update(int(pid) for pid in (task / "children").read_text().split())
        return found

    def kill(self) -> None:
        """kill -9: no clean-up of any kind."""
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()


@contextlib.contextmanager
def running_server(db: Path) -> Iterator[str]:
    """A server with the default limits, as people would meet it."""
    server = ServerProcess(db, limits={})
    try:
        yield server.url
    finally:
        server.stop()
