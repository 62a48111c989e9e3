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
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

from . import RoomSummary, StoredRoom, WaitingRoom

T = TypeVar("T")

log = logging.getLogger("varno_serve")

# The schema's version, in the file's user_version: 0 is the first one, whose ``changed``
# was a counter and which had no ``bot_due``; ``_migrate`` brings it up to date.
SCHEMA_VERSION = 1

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
    changed REAL NOT NULL,
    bot_due REAL
);
"""

# The indexes of both versions of the schema (made after a migration, too): the lobby's
# list, the sweep of old rooms, and the rooms waiting for the bot in their order.
_INDEXES = """
CREATE INDEX IF NOT EXISTS rooms_open ON rooms (over, changed);
CREATE INDEX IF NOT EXISTS rooms_changed ON rooms (changed);
CREATE INDEX IF NOT EXISTS rooms_waiting ON rooms (bot_due, id) WHERE bot_due IS NOT NULL;
"""

_COLUMNS = "id, version, board, host, mode, free_seat, bot_to_move, over, moves, bot_due"


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
    """Rooms in a SQLite database file (``RoomStore``), for one server process."""

    shared = False

    def __init__(self, path: str | Path, clock: Callable[[], float] = time.time) -> None:
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
        self._clock = clock
        self._set_up()
        self._changed = float(
            self._db.execute("SELECT COALESCE(MAX(changed), 0) FROM rooms").fetchone()[0])

    def _set_up(self) -> None:
        """Creates the table, or brings that of an older version up to date, in one
        transaction."""
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            exists = db.execute(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'rooms'").fetchone()
            version = db.execute("PRAGMA user_version").fetchone()[0]
            if exists and version < SCHEMA_VERSION:
                self._migrate()
            db.execute(_SCHEMA)
            for statement in filter(str.strip, _INDEXES.split(";")):
                db.execute(statement)
            if version < SCHEMA_VERSION:
                db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def _migrate(self) -> None:
        """The first schema: ``changed`` was a counter of changes, and the rooms waiting for
        the bot were only flagged. Every room gets the time of the migration as its last
        change, less a microsecond per change since (so that the lobby's order stays),
        and a room waiting for the bot is due in the same order: it is taken up after a
        restart as it would have been before."""
        db = self._db
        columns = {row[1] for row in db.execute("PRAGMA table_info(rooms)")}
        if "bot_due" not in columns:
            db.execute("ALTER TABLE rooms ADD COLUMN bot_due REAL")
        now = self._clock()
        last = db.execute("SELECT COALESCE(MAX(changed), 0) FROM rooms").fetchone()[0]
        db.execute("UPDATE rooms SET changed = ? - (? - changed) * 1e-6", (now, last))
        db.execute("UPDATE rooms SET bot_due = changed WHERE bot_to_move = 1 AND over = 0")
        log.info("%s: rooms brought up to the schema of version %d", self.path, SCHEMA_VERSION)

    async def _run(self, call: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self._thread, call, *args)

    def _tick(self) -> float:
        # The time of the change, kept increasing (the clock may step back, and two
        # changes may fall in one tick of it): the lobby's order is the order of changes.
        self._changed = max(self._clock(), self._changed + 1e-6)
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

    async def rooms_waiting_for_bot(self, after: WaitingRoom | None,
                                    limit: int) -> list[WaitingRoom]:
        return await self._run(self._rooms_waiting_for_bot, after, limit)

    async def delete_untouched(self, before: float, limit: int) -> list[str]:
        return await self._run(self._delete_untouched, before, limit)

    async def version(self, room_id: str) -> int | None:
        return await self._run(self._version, room_id)

    async def healthy(self) -> bool:
        try:
            await self._run(self._probe)
        except (sqlite3.Error, RuntimeError):
            # RuntimeError: the store's thread was shut down (the store is closed).
            return False
        return True

    async def close(self) -> None:
        await self._run(self._db.close)
        self._thread.shutdown(wait=True)

    # -- on the store's thread ---------------------------------------------------------

    def _probe(self) -> None:
        """Reads the file (the first page of the rooms' table), as a request would."""
        self._db.execute("SELECT 1 FROM rooms LIMIT 1").fetchall()

    def _create(self, room: StoredRoom) -> None:
        self._db.execute(
            f"INSERT INTO rooms ({_COLUMNS}, changed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (room.room_id, room.version, room.board, room.host, room.mode, room.free_seat,
             int(room.bot_to_move), int(room.over), room.moves, room.bot_due, self._tick()),
        )

    def _load(self, room_id: str) -> StoredRoom | None:
        row = self._db.execute(f"SELECT {_COLUMNS} FROM rooms WHERE id = ?", (room_id,)).fetchone()
        if row is None:
            return None
        return StoredRoom(room_id=row[0], version=row[1], board=row[2], host=row[3], mode=row[4],
                          free_seat=row[5], bot_to_move=bool(row[6]), over=bool(row[7]),
                          moves=row[8], bot_due=row[9])

    def _version(self, room_id: str) -> int | None:
        row = self._db.execute("SELECT version FROM rooms WHERE id = ?", (room_id,)).fetchone()
        return None if row is None else int(row[0])

    def _update(self, room: StoredRoom) -> bool:
        cursor = self._db.execute(
            "UPDATE rooms SET version = ?, board = ?, host = ?, free_seat = ?, bot_to_move = ?,"
            " over = ?, moves = ?, bot_due = ?, changed = ? WHERE id = ? AND version = ?",
            (room.version, room.board, room.host, room.free_seat, int(room.bot_to_move),
             int(room.over), room.moves, room.bot_due, self._tick(), room.room_id,
             room.version - 1),
        )
        return cursor.rowcount == 1

    def _open_rooms(self, limit: int) -> list[RoomSummary]:
        rows = self._db.execute(
            "SELECT id, mode, moves FROM rooms WHERE over = 0 AND free_seat IS NULL"
            " ORDER BY changed DESC LIMIT ?", (limit,)).fetchall()
        return [RoomSummary(room_id=r[0], mode=r[1], moves=r[2]) for r in rows]

    def _rooms_waiting_for_bot(self, after: WaitingRoom | None,
                               limit: int) -> list[WaitingRoom]:
        if after is None:
            rows = self._db.execute(
                "SELECT id, version, bot_due FROM rooms WHERE bot_due IS NOT NULL"
                " ORDER BY bot_due, id LIMIT ?", (limit,)).fetchall()
        else:
            rows = self._db.execute(
                "SELECT id, version, bot_due FROM rooms WHERE bot_due IS NOT NULL"
                " AND (bot_due > ? OR (bot_due = ? AND id > ?)) ORDER BY bot_due, id LIMIT ?",
                (after.due, after.due, after.room_id, limit)).fetchall()
        return [WaitingRoom(room_id=r[0], version=r[1], due=r[2]) for r in rows]

    def _delete_untouched(self, before: float, limit: int) -> list[str]:
        rows = self._db.execute(
            "DELETE FROM rooms WHERE id IN (SELECT id FROM rooms WHERE changed < ?"
            " ORDER BY changed LIMIT ?) RETURNING id", (before, limit)).fetchall()
        return [r[0] for r in rows]
