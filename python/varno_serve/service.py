"""The rooms of one server process: made, joined and moved in, one change at a time.

How a change goes through, and why it is safe:

* every change to a room (a move, a seat taken, the bot's move) holds that room's lock,
  so two moves sent at once are judged one after the other, the second against the
  position the first left;
* the change is made on a copy of the room, the copy is stored with a compare-and-set
  on its version, and only then does it replace the room in memory and go out
  (``_stored``: the bot's turn asked for, the new state published): a failed commit
  leaves nothing behind, and nothing is acknowledged before the store has it;
* the rooms in memory are a cache of the store, least recently used first and at most
  ``rooms_in_memory`` of them beyond those in use. A room's lock lives with it in the
  cache, so nothing is kept for an identifier that names no room.
"""

from __future__ import annotations

import asyncio
import logging
import secrets
from collections import OrderedDict
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Final

from varno_play.rules import Side

from .bots import BotScheduler, Search
from .errors import Conflict, Forbidden, NotFound, Refused
from .events import Events
from .room import DEFAULT_DEPTH, ROOM_ID, Room
from .store import Mode, RoomStore, RoomSummary

log = logging.getLogger("varno_serve")

NO_SUCH_ROOM: Final = "no such room"


class _Entry:
    """A room in memory, its lock, and how many tasks are using it (waiting for its lock
    or holding it, or reading it). ``room`` is None after a failed commit: whether the
    write happened is not known, so the store is asked again before the room is used."""

    __slots__ = ("room", "lock", "users")

    def __init__(self, room: Room) -> None:
        self.room: Room | None = room
        self.lock = asyncio.Lock()
        self.users = 0


class RoomService:
    """Creates rooms, seats people, plays their moves and the bot's; the ``BotHost`` of
    its bot scheduler."""

    def __init__(self, store: RoomStore, events: Events, bots: BotScheduler, *,
                 rooms_in_memory: int) -> None:
        self.store = store
        self.events = events
        self.bots = bots
        self._rooms_in_memory = rooms_in_memory
        # The rooms in memory, least recently used first; the store has them all.
        self._entries: OrderedDict[str, _Entry] = OrderedDict()

    # -- start and end -------------------------------------------------------------

    async def start(self) -> None:
        """The bot takes up its turn in every room waiting for it. A room the store
        cannot give back is logged and left, so that it does not keep the server, and
        every other room, from starting."""
        self.bots.start(self)
        for room_id in await self.store.rooms_waiting_for_bot():
            try:
                room = await self.room(room_id)
            except Exception:
                log.exception("room %s cannot be loaded; its bot turn is not resumed", room_id)
                continue
            if room.bot_to_move:
                self.bots.request(room_id, room.version)

    async def close(self) -> None:
        await self.bots.close()
        await self.events.close()
        await self.store.close()

    # -- what is asked -----------------------------------------------------------------

    async def create(self, mode: Mode, side: Side = "A",
                     depth: int = DEFAULT_DEPTH) -> tuple[Room, Side, str, str | None]:
        """A new room: against the bot (the person plays ``side``) or for two people (the
        creator holds A). The room, the creator's seat, its secret, and the invite that
        takes the other seat of a room for two people (None against the bot)."""
        room_id = secrets.token_urlsafe(9)
        invite: str | None = None
        if mode == "bot":
            room, token = Room.against_bot(room_id, side, depth)
        else:
            room, token, invite = Room.for_humans(room_id)
            side = "A"
        await self.store.create(room.to_stored())
        entry = _Entry(room)
        self._entries[room_id] = entry
        self._stored(room)
        self._trim()
        return room, side, token, invite

    async def room(self, room_id: str) -> Room:
        """The room as last committed; ``NotFound`` if there is none."""
        entry = await self._entry(room_id)
        try:
            if entry.room is not None:
                return entry.room
            async with entry.lock:
                return await self._current(room_id, entry)
        finally:
            self._release(entry)

    async def join(self, room_id: str, invite: str | None) -> tuple[Room, Side, str]:
        """Gives the room's free seat to the holder of its ``invite``: the room, the seat
        and its secret."""
        async with self._changing(room_id) as (entry, room):
            candidate = room.copy()
            side, token = candidate.join(invite)
            await self._commit(entry, candidate)
        return candidate, side, token

    async def move(self, room_id: str, move: str, token: str) -> Room:
        """Plays ``move`` for the seat whose secret is ``token``; the room after it."""
        async with self._changing(room_id) as (entry, room):
            side = room.seat_of(token)
            if side is None:
                raise Forbidden("that secret holds no seat in this room")
            candidate = room.copy()
            try:
                candidate.play(move, side)
            except ValueError as refused:
                raise Refused(str(refused)) from None
            await self._commit(entry, candidate)
        return candidate

    async def open_rooms(self, limit: int) -> list[RoomSummary]:
        return await self.store.open_rooms(limit)

    # -- the bot's turns (BotHost) ---------------------------------------------------------

    async def bot_search(self, room_id: str, version: int) -> Search | None:
        try:
            room = await self.room(room_id)
        except NotFound:
            return None
        if room.version != version or not room.bot_to_move or room.to_move is None \
                or room.depth is None:
            return None
        return Search(room.board_blob(), room.to_move, room.depth)

    async def apply_bot_move(self, room_id: str, version: int, move: str) -> None:
        async with self._changing(room_id) as (entry, room):
            if room.version != version or not room.bot_to_move:
                return
            candidate = room.copy()
            refused = candidate.play_bot(move)
            if refused is not None:
                # Never expected: the first legal move was played instead.
                log.error("room %s: the bot's move was not played (%s)", room_id, refused)
            await self._commit(entry, candidate)

    # -- for the tests and the operators ------------------------------------------------

    def cached(self, room_id: str) -> Room | None:
        """The room if it is in memory (and known to be as stored)."""
        entry = self._entries.get(room_id)
        return entry.room if entry is not None else None

    def in_memory(self) -> int:
        """How many rooms are kept in memory."""
        return len(self._entries)

    # -- the cache, the locks and the commit ---------------------------------------------

    async def _entry(self, room_id: str) -> _Entry:
        """The room's entry, loaded if it is not in memory, counted as used: every call
        is paired with ``_release``. ``NotFound`` (and nothing kept) if there is no such
        room."""
        entry = self._entries.get(room_id)
        if entry is None:
            if ROOM_ID.fullmatch(room_id) is None:
                raise NotFound(NO_SUCH_ROOM)
            stored = await self.store.load(room_id)
            if stored is None:
                raise NotFound(NO_SUCH_ROOM)
            # Another task may have loaded it meanwhile; the first one loaded stays.
            entry = self._entries.get(room_id)
            if entry is None:
                entry = _Entry(Room.from_stored(stored))
                self._entries[room_id] = entry
        self._entries.move_to_end(room_id)
        entry.users += 1
        self._trim()
        return entry

    def _release(self, entry: _Entry) -> None:
        entry.users -= 1
        self._trim()

    async def _current(self, room_id: str, entry: _Entry) -> Room:
        """The room of ``entry``, whose lock the caller holds, read again from the store
        if a failed commit left it unknown."""
        if entry.room is None:
            stored = await self.store.load(room_id)
            if stored is None:
                if self._entries.get(room_id) is entry and entry.users <= 1:
                    del self._entries[room_id]
                raise NotFound(NO_SUCH_ROOM)
            entry.room = Room.from_stored(stored)
        return entry.room

    @asynccontextmanager
    async def _changing(self, room_id: str) -> AsyncIterator[tuple[_Entry, Room]]:
        """The room's entry and room, under the room's lock."""
        entry = await self._entry(room_id)
        try:
            async with entry.lock:
                yield entry, await self._current(room_id, entry)
        finally:
            self._release(entry)

    async def _commit(self, entry: _Entry, candidate: Room) -> None:
        """Stores ``candidate`` (a changed copy of the entry's room) and makes it the
        room; nothing if it fails. The caller holds the room's lock."""
        try:
            written = await self.store.update(candidate.to_stored())
        except BaseException:
            # Whether the write happened is not known: the store decides, on the next use.
            entry.room = None
            raise
        if not written:
            entry.room = None
            raise Conflict("the room was changed meanwhile; try again")
        entry.room = candidate
        self._stored(candidate)

    def _stored(self, room: Room) -> None:
        """What follows every change the store has taken: the bot's turn is asked for if
        it is the bot's move, and the new state goes out to the room's watchers."""
        if room.bot_to_move:
            self.bots.request(room.room_id, room.version)
        self.events.publish(room.room_id, room.version, room.public_json())

    def _trim(self) -> None:
        """Keeps at most ``rooms_in_memory`` rooms in memory, dropping the least recently
        used ones that no task is using."""
        excess = len(self._entries) - self._rooms_in_memory
        if excess <= 0:
            return
        idle: list[str] = []
        for room_id, entry in self._entries.items():
            if not entry.users:
                idle.append(room_id)
                if len(idle) == excess:
                    break
        for room_id in idle:
            del self._entries[room_id]
