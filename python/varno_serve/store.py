"""Where rooms are kept between moves and across restarts.

``RoomStore`` is the whole interface the server uses; ``SqliteRoomStore`` keeps rooms
in one SQLite file (write-ahead log, every commit synced). A store shared by several
server processes (a database server) would implement the same five methods: its
``update`` already refuses a write that was not made on the version it replaces, which
is what keeps two processes from both applying a move to the same position.

The methods block; the server calls them from one thread of its own so that its event
loop never waits on the disk.
"""

from __future__ import annotations

import sqlite3
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from .room import Mode, StoredRoom


@dataclass(frozen=True)
class RoomSummary:
    """A line of the lobby's list of rooms."""

    room_id: str
    mode: Mode
    free_seat: str | None
    moves: int


class RoomStore(Protocol):
    def create(self, room: StoredRoom) -> None:
        """Stores a new room; fails if the identifier is taken."""

    def load(self, room_id: str) -> StoredRoom | None:
        """The room as last committed, or None if there is no such room."""

    def update(self, room: StoredRoom) -> bool:
        """Replaces version ``room.version - 1`` of the room by ``room``, atomically and
        durably before returning; False (and nothing written) if the stored version is
        another."""

    def open_rooms(self, limit: int) -> list[RoomSummary]:
        """Rooms whose game is not over, the most recently changed first."""

    def rooms_waiting_for_bot(self) -> list[str]:
        """Rooms whose game goes on with the bot to move (to resume after a restart)."""

    def close(self) -> None: ...


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


class SqliteRoomStore:
    """Rooms in a SQLite database file. Safe to call from any thread (one at a time)."""

    def __init__(self, path: str | Path) -> None:
        self._lock = threading.Lock()
        self._db = sqlite3.connect(str(path), check_same_thread=False, isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        # FULL: a commit is on the disk before it returns, so an acknowledged move survives
        # a crash of the machine, not only of the process.
        self._db.execute("PRAGMA synchronous=FULL")
        self._db.execute("PRAGMA busy_timeout=5000")
        self._db.executescript(_SCHEMA)
        self._changed = self._db.execute("SELECT COALESCE(MAX(changed), 0) FROM rooms").fetchone()[0]

    def _tick(self) -> int:
        # A counter rather than a clock orders the rooms by their last change.
        self._changed += 1
        return int(self._changed)

    def create(self, room: StoredRoom) -> None:
        with self._lock:
            self._db.execute(
                f"INSERT INTO rooms ({_COLUMNS}, changed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (room.room_id, room.version, room.board, room.host, room.mode, room.free_seat,
                 int(room.bot_to_move), int(room.over), room.moves, self._tick()),
            )

    def load(self, room_id: str) -> StoredRoom | None:
        with self._lock:
            row = self._db.execute(f"SELECT {_COLUMNS} FROM rooms WHERE id = ?",
                                   (room_id,)).fetchone()
        if row is None:
            return None
        return StoredRoom(room_id=row[0], version=row[1], board=row[2], host=row[3], mode=row[4],
                          free_seat=row[5], bot_to_move=bool(row[6]), over=bool(row[7]),
                          moves=row[8])

    def update(self, room: StoredRoom) -> bool:
        with self._lock:
            cursor = self._db.execute(
                "UPDATE rooms SET version = ?, board = ?, host = ?, free_seat = ?, bot_to_move = ?,"
                " over = ?, moves = ?, changed = ? WHERE id = ? AND version = ?",
                (room.version, room.board, room.host, room.free_seat, int(room.bot_to_move),
                 int(room.over), room.moves, self._tick(), room.room_id, room.version - 1),
            )
            return cursor.rowcount == 1

    def open_rooms(self, limit: int) -> list[RoomSummary]:
        with self._lock:
            rows = self._db.execute(
                "SELECT id, mode, free_seat, moves FROM rooms WHERE over = 0"
                " ORDER BY changed DESC LIMIT ?", (limit,)).fetchall()
        return [RoomSummary(room_id=r[0], mode=r[1], free_seat=r[2], moves=r[3]) for r in rows]

    def rooms_waiting_for_bot(self) -> list[str]:
        with self._lock:
            rows = self._db.execute(
                "SELECT id FROM rooms WHERE over = 0 AND bot_to_move = 1").fetchall()
        return [r[0] for r in rows]

    def close(self) -> None:
        with self._lock:
            self._db.close()
