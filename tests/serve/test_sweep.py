"""Old rooms and old files: rooms untouched for ``room_days`` are swept from the store
and from memory, a batch at a time, by the time of their last change; a database of the
first schema (whose ``changed`` was a counter) is brought up to date, losing no room."""

from __future__ import annotations

import json
import sqlite3
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest
from serve_helpers import cached, get_state, wait_for
from varno_serve import service as service_module
from varno_serve.bots import PoolBots
from varno_serve.errors import NotFound
from varno_serve.events import LocalEvents
from varno_serve.room import Room
from varno_serve.service import DAY_SECONDS, RoomService
from varno_serve.store.sqlite import SqliteRoomStore


class TestTheSweep:
    # The store's own batches (the oldest first, a room touched since kept) are tested on
    # every backend in tests/cluster/test_store.py.

    async def test_rooms_untouched_for_room_days_leave_the_store_and_the_memory(
            self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(service_module, "SWEEP_BATCH", 2)
        now = [1_000_000.0]
        service = RoomService(
            SqliteRoomStore(tmp_path / "rooms.db", clock=lambda: now[0]), LocalEvents(),
            PoolBots(lambda: ThreadPoolExecutor(1), pending_searches=4),
            rooms_in_memory=100, room_days=30, clock=lambda: now[0])
        await service.start()
        made = [await service.create("humans") for _ in range(5)]
        old = [room for room, _, _, _ in made]
        now[0] += 20 * DAY_SECONDS
        await service.join(old[0].room_id, made[0][3])        # touched 11 days before the sweep
        fresh, _, _, _ = await service.create("humans")
        now[0] += 11 * DAY_SECONDS

        assert await service.sweep() == 4
        for room in old[1:]:
            assert service.cached(room.room_id) is None
            with pytest.raises(NotFound):
                await service.room(room.room_id)
        for room in (old[0], fresh):
            assert (await service.room(room.room_id)).room_id == room.room_id
        assert service.in_memory() == 2
        assert await service.sweep() == 0
        await service.close()

    async def test_a_server_sweeps_when_it_starts(self, start: Any, tmp_path: Path) -> None:
        db = tmp_path / "rooms.db"
        store = SqliteRoomStore(db, clock=lambda: time.time() - 31 * DAY_SECONDS)
        await store.create(Room.for_humans("forgotten")[0].to_stored())
        await store.close()
        client = await start(db)
        made = await (await client.post("/api/rooms", json={"mode": "humans"})).json()
        await wait_for(lambda: client.varno.cached("forgotten") is None)
        assert (await client.get("/api/rooms/forgotten")).status == 404
        assert (await client.get(f"/api/rooms/{made['room']}")).status == 200


# The table of the first schema, as its servers made it.
FIRST_SCHEMA = """
CREATE TABLE rooms (
    id TEXT PRIMARY KEY, version INTEGER NOT NULL, board BLOB NOT NULL, host TEXT NOT NULL,
    mode TEXT NOT NULL, free_seat TEXT, bot_to_move INTEGER NOT NULL, over INTEGER NOT NULL,
    moves INTEGER NOT NULL, changed INTEGER NOT NULL
);
CREATE INDEX rooms_open ON rooms (over, changed);
"""


def first_schema_row(room: Room, changed: int) -> tuple[Any, ...]:
    """The room as a server of the first schema stored it: no start step, a counter."""
    stored = room.to_stored()
    host = json.loads(stored.host)
    host.pop("started", None)
    return (stored.room_id, stored.version, stored.board, json.dumps(host), stored.mode,
            stored.free_seat, int(room.bot_to_move), int(stored.over), stored.moves, changed)


def full_room_for_two(room_id: str) -> Room:
    """A room for two whose seats are both taken (one the lobby lists)."""
    room, _, invite = Room.for_humans(room_id)
    room.join(invite)
    return room


class TestAnOldDatabase:
    async def test_the_first_schema_is_brought_up_to_date(self, start: Any, tmp_path: Path) -> None:
        db = tmp_path / "old.db"
        rooms = [full_room_for_two("lobby1"), Room.against_bot("bot1", "B", 2)[0],
                 Room.against_bot("bot2", "B", 1)[0], full_room_for_two("lobby2")]
        with sqlite3.connect(db) as connection:
            connection.executescript(FIRST_SCHEMA)
            connection.executemany("INSERT INTO rooms VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                   [first_schema_row(room, n + 1) for n, room in enumerate(rooms)])
        connection.close()

        client = await start(db)
        # Rooms of the first schema had no start step: the bot moves where it was to.
        for room_id in ("bot1", "bot2"):
            await wait_for(lambda: client.varno.cached(room_id) is not None
                           and cached(client, room_id).version == 1)
            state = await get_state(client, room_id)
            assert state["started"] and [t["by"] for t in state["history"]] == ["bot"]
        # Nothing swept, and the lobby's order (the most recently changed first) kept.
        listed = [r["room"] for r in (await (await client.get("/api/rooms")).json())["rooms"]]
        assert set(listed) == {"lobby1", "lobby2", "bot1", "bot2"}
        assert listed.index("lobby2") < listed.index("lobby1")
        await client.close()

        with sqlite3.connect(db) as connection:
            assert connection.execute("PRAGMA user_version").fetchone()[0] == 1
            changed = [row[0] for row in connection.execute("SELECT changed FROM rooms")]
        connection.close()
        assert all(abs(when - time.time()) < 600 for when in changed)
