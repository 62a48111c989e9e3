"""Rooms in one SQLite file: write-ahead log, every commit synced.

SQLite's calls block, so the store runs them on one thread of its own, one at a time,
and its coroutines wait for that thread: the event loop never waits on the disk.

The file holds every face-down card (the boards' saved states), so it is created
readable and writable by its owner alone; SQLite gives its journal files (``-wal``,
``-shm``) the database file's permissions.
"""

from __future__ import annotations

import asyncio
import logging
import os
import sqlite3
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

from . import RoomSummary, StoredRoom

T = TypeVar("T")

log = logging.getLogger("varno_serve")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS rooms (
    id TEXT PRIMARY KEY,
    version INTEGER NOT NULL,
    board BLOB NOT NULL,
    host TEXT NOT NULL,
    mode TEXT NOT NULL,
    free_seat TEXT,
    bot_to_move INTEGER NOT NULL,
    over INTEGER NOT NULL,
    moves INTEGER NOT NULL,
    changed INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS rooms_open ON rooms (over, changed);
"""

_COLUMNS = "id, version, board, host, mode, free_seat, bot_to_move, over, moves"


async def open_sqlite(path: str) -> SqliteRoomStore:
    """The store of ``sqlite://PATH``."""
    return SqliteRoomStore(Path(path))


def _create_private(path: Path) -> None:
    """Creates the file at ``path`` with mode 0600, unless it is there already: then it
    is left as it is, with a warning if other users may read it."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        mode = path.stat().st_mode & 0o777
        if mode & 0o077:
            log.warning("%s may be read by other users (mode %03o), and it holds every "
                        "face-down card: chmod 600 it", path, mode)


class SqliteRoomStore:
    """Rooms in a SQLite database file (``RoomStore``)."""

    def __init__(self, path: str | Path) -> None:
        self.path = Path(path)
        if str(path) != ":memory:":
            _create_private(self.path)
        self._thread = ThreadPoolExecutor(max_workers=1, thread_name_prefix="varno-store")
        # Used from the store's thread only (and here, before that thread has any work).
        self._db = sqlite3.connect(str(path), check_same_thread=False, isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        # FULL: a commit is on the disk before it returns, so an acknowledged move survives
        # a crash of the machine, not only of the process.
        self._db.execute("PRAGMA synchronous=FULL")
        self._db.execute("PRAGMA busy_timeout=5000")
        self._db.executescript(_SCHEMA)
        self._changed = int(
            self._db.execute("SELECT COALESCE(MAX(changed), 0) FROM rooms").fetchone()[0])

    async def _run(self, call: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self._thread, call, *args)

    def _tick(self) -> int:
        # A counter rather than a clock orders the rooms by their last change.
        self._changed += 1
        return self._changed

    # -- RoomStore -------------------------------------------------------------------

    async def create(self, room: StoredRoom) -> None:
        await self._run(self._create, room)

    async def load(self, room_id: str) -> StoredRoom | None:
        return await self._run(self._load, room_id)

    async def update(self, room: StoredRoom) -> bool:
        return await self._run(self._update, room)

    async def open_rooms(self, limit: int) -> list[RoomSummary]:
        return await self._run(self._open_rooms, limit)

    async def rooms_waiting_for_bot(self) -> list[str]:
        return await self._run(self._rooms_waiting_for_bot)

    async def close(self) -> None:
        await self._run(self._db.close)
        self._thread.shutdown(wait=True)

    # -- on the store's thread ---------------------------------------------------------

    def _create(self, room: StoredRoom) -> None:
        self._db.execute(
            f"INSERT INTO rooms ({_COLUMNS}, changed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (room.room_id, room.version, room.board, room.host, room.mode, room.free_seat,
             int(room.bot_to_move), int(room.over), room.moves, self._tick()),
        )

    def _load(self, room_id: str) -> StoredRoom | None:
        row = self._db.execute(f"SELECT {_COLUMNS} FROM rooms WHERE id = ?", (room_id,)).fetchone()
        if row is None:
            return None
        return StoredRoom(room_id=row[0], version=row[1], board=row[2], host=row[3], mode=row[4],
                          free_seat=row[5], bot_to_move=bool(row[6]), over=bool(row[7]),
                          moves=row[8])

    def _update(self, room: StoredRoom) -> bool:
        cursor = self._db.execute(
            "UPDATE rooms SET version = ?, board = ?, host = ?, free_seat = ?, bot_to_move = ?,"
            " over = ?, moves = ?, changed = ? WHERE id = ? AND version = ?",
            (room.version, room.board, room.host, room.free_seat, int(room.bot_to_move),
             int(room.over), room.moves, self._tick(), room.room_id, room.version - 1),
        )
        return cursor.rowcount == 1

    def _open_rooms(self, limit: int) -> list[RoomSummary]:
        rows = self._db.execute(
            "SELECT id, mode, moves FROM rooms WHERE over = 0 AND free_seat IS NULL"
            " ORDER BY changed DESC LIMIT ?", (limit,)).fetchall()
        return [RoomSummary(room_id=r[0], mode=r[1], moves=r[2]) for r in rows]

    def _rooms_waiting_for_bot(self) -> list[str]:
        rows = self._db.execute(
            "SELECT id FROM rooms WHERE over = 0 AND bot_to_move = 1").fetchall()
        return [r[0] for r in rows]
