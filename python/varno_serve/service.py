"""The rooms of one server process: made, joined and moved in, one change at a time.

How a change goes through, and why it is safe:

* every change to a room (a move, a seat taken, the bot's move) holds that room's lock,
  so two moves sent at once are judged one after the other, the second against the
  position the first left;
* the change is made on a copy of the room, the copy is stored with a compare-and-set
  on its version, and only then does it replace the room in memory and go out
  (``_stored``: the bot's turn asked for, the new state published): a failed commit
  leaves nothing behind, and nothing is acknowledged before the store has it;
* a change that hands the turn to the bot first takes a place in the bot's queue
  (``BotScheduler.reserve``, refused with ``Busy`` when the queue is full, before
  anything is stored), and gives it back if the commit fails;
* the rooms in memory are a cache of the store, least recently used first and at most
  ``rooms_in_memory`` of them beyond those in use. A room's lock lives with it in the
  cache, so nothing is kept for an identifier that names no room. A room holding a place
  in the bot's queue stays in the cache while it waits and counts against that bound;
  there are at most ``pending_searches`` of them, which ``Limits`` keeps within
  ``rooms_in_memory``;
* a store shared with other processes (``RoomStore.shared``: several server nodes on
  one database), or rooms whose bot's moves other processes store
  (``BotScheduler.remote``: the workers of a queue on Redis), may hold a newer version of
  a room than the one in memory: before a change, and before a read is answered, the
  store is asked for the room's version (``RoomStore.version``, one indexed read) and
  the room read again if it differs, so a move made on another node is never missed (and
  a change made meanwhile is refused by the compare-and-set). A room just read from the
  store is not asked about again;
* a store out of reach (``StoreUnavailable``) refuses the request as a whole: what was
  not stored is not acknowledged, and a commit whose outcome is unknown leaves the room
  to be read again;
* rooms untouched for ``room_days`` are deleted from the store by a sweep, at start and
  then every ``SWEEP_SECONDS``, ``SWEEP_BATCH`` at a time, and dropped from memory.
"""

from __future__ import annotations

import asyncio
import logging
import secrets
import time
from collections import OrderedDict
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from typing import Final

from varno_play.rules import Side

from .bots import BotScheduler, Search, due, expected_seconds
from .errors import Conflict, Forbidden, NotFound, Refused
from .events import Events
from .room import DEFAULT_DEPTH, ROOM_ID, Room
from .store import Mode, RoomStore, RoomSummary, WaitingRoom
from .texts import rule_refusal

log = logging.getLogger("varno_serve")

NO_SUCH_ROOM: Final = "no such room"
DAY_SECONDS: Final = 86_400.0
# The sweep of old rooms: how often, and how many rooms one transaction deletes at most
# (each batch a short write, so that moves go on between batches).
SWEEP_SECONDS: Final = 3600.0
SWEEP_BATCH: Final = 500


def _seat(room: Room, token: str) -> Side:
    """The side whose secret is ``token`` in ``room``; ``Forbidden`` if none."""
    side = room.seat_of(token)
    if side is None:
        raise Forbidden("that secret holds no seat in this room", "wrong_token")
    return side


class _Entry:
    """A room in memory, its lock, how many tasks are using it (waiting for its lock or
    holding it, or reading it), and whether it holds a place in the bot's queue. ``room``
    is None after a failed commit: whether the write happened is not known, so the store
    is asked again before the room is used."""

    __slots__ = ("room", "lock", "users", "waiting")

    def __init__(self, room: Room) -> None:
        self.room: Room | None = room
        self.lock = asyncio.Lock()
        self.users = 0
        self.waiting = False


class RoomService:
    """Creates rooms, seats people, plays their moves and the bot's; the ``BotHost`` of
    its bot scheduler."""

    def __init__(self, store: RoomStore, events: Events, bots: BotScheduler, *,
                 rooms_in_memory: int, room_days: float | None = None,
                 clock: Callable[[], float] = time.time) -> None:
        self.store = store
        self.events = events
        self.bots = bots
        self._rooms_in_memory = rooms_in_memory
        self._room_days = room_days
        # Seconds since the epoch: when the bot's turns are asked for, and the sweep's age.
        self._clock = clock
        # The rooms in memory, least recently used first; the store has them all.
        self._entries: OrderedDict[str, _Entry] = OrderedDict()
        # The last room waiting in the store that the bot's queue took up.
        self._taken_up: WaitingRoom | None = None
        self._sweeper: asyncio.Task[None] | None = None
        # Whether another process may store a change of a room (another node on the same
        # database, or the bot's workers).
        self._shared = store.shared or bots.remote

    # -- start and end -------------------------------------------------------------

    async def start(self) -> None:
        """The events may read the watched rooms again (``room_state``), the bot's queue
        takes up the rooms waiting for it (``waiting_for_bot``), and the sweep of old
        rooms begins, if rooms are ever to be deleted."""
        await self.events.start(self)
        await self.bots.start(self)
        if self._room_days is not None:
            self._sweeper = asyncio.create_task(self._sweep_every(SWEEP_SECONDS))

    async def shutdown(self) -> None:
        """What is not to wait for the connections to close: the bot's workers are ended
        at once (their rooms stay waiting in the store) and the sweep is stopped."""
        if self._sweeper is not None:
            self._sweeper.cancel()
            await asyncio.gather(self._sweeper, return_exceptions=True)
            self._sweeper = None
        await self.bots.close()

    async def close(self) -> None:
        await self.shutdown()
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
        await self._add(room)
        return room, side, token, invite

    async def _add(self, room: Room) -> None:
        """Stores a new room and keeps it in memory."""
        await self.store.create(room.to_stored())
        entry = _Entry(room)
        self._entries[room.room_id] = entry
        self._stored(entry, room)
        self._trim()

    async def room(self, room_id: str) -> Room:
        """The room as last committed; ``NotFound`` if there is none."""
        entry, fresh = await self._entry(room_id)
        try:
            room = entry.room
            if room is not None:
                if fresh or not self._shared:
                    return room
                if await self.store.version(room_id) == room.version:
                    return room
            async with entry.lock:
                if room is not None and entry.room is room:
                    # Changed (or deleted) by another process: read again.
                    entry.room = None
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

    async def start_game(self, room_id: str, token: str) -> Room:
        """Lets the bot make its first move, for the seat whose secret is ``token``, in a
        bot room that waits for it; the room, changed or not (started already, or not a
        room that waits). ``Busy`` if the bot's queue is full."""
        async with self._changing(room_id) as (entry, room):
            _seat(room, token)
            candidate = room.copy()
            if not candidate.start():
                return room
            await self._commit(entry, candidate)
        return candidate

    async def move(self, room_id: str, move: str, token: str) -> Room:
        """Plays ``move`` for the seat whose secret is ``token``; the room after it."""
        async with self._changing(room_id) as (entry, room):
            side = _seat(room, token)
            candidate = room.copy()
            try:
                candidate.play(move, side)
            except ValueError as refused:
                raise Refused(str(refused), rule_refusal(str(refused))) from None
            await self._commit(entry, candidate)
        return candidate

    async def take_back(self, room_id: str, token: str) -> Room:
        """Undoes the last move of the seat whose secret is ``token`` in a game against
        the bot, and the bot's moves after it (``Room.take_back``); the room after it."""
        async with self._changing(room_id) as (entry, room):
            side = _seat(room, token)
            candidate = room.copy()
            candidate.take_back(side)
            await self._commit(entry, candidate)
        return candidate

    async def rematch(self, room_id: str, token: str) -> tuple[Room, Side, str]:
        """The rematch of a finished game between two people, for the seat whose secret
        is ``token``: the first to ask makes the new room (``Room.rematch_room``), which
        the finished room then names; the other is seated in it when they ask. Asking
        again gives the same seat. The new room, the seat and its secret."""
        async with self._changing(room_id) as (entry, room):
            side = _seat(room, token)
            room.check_rematch()
            rematch_id = room.rematch
            if rematch_id is None:
                candidate = room.copy()
                made, seat, secret = candidate.rematch_room(secrets.token_urlsafe(9), side,
                                                            token)
                await self._add(made)
                await self._commit(entry, candidate)
                return made, seat, secret
        async with self._changing(rematch_id) as (entry, room):
            candidate = room.copy()
            seat, secret, taken = candidate.take_rematch_seat(side, token)
            if not taken:
                return room, seat, secret
            await self._commit(entry, candidate)
        return candidate, seat, secret

    async def open_rooms(self, limit: int) -> list[RoomSummary]:
        return await self.store.open_rooms(limit)

    async def room_state(self, room_id: str) -> tuple[int, str] | None:
        """The room's version and public state as the store has it now (not as this
        process last saw it: another may have changed it since), for the events to catch
        a watcher up; None if there is no such room. The rooms in memory are left as they
        are: a change is judged against the store's version whatever they hold."""
        stored = await self.store.load(room_id)
        if stored is None:
            return None
        return stored.version, Room.from_stored(stored).public_json()

    # -- the bot's turns (BotHost) ---------------------------------------------------------

    async def bot_search(self, room_id: str, version: int) -> Search | None:
        try:
            room = await self.room(room_id)
        except NotFound:
            return None
        if room.version != version or not room.bot_waiting or room.to_move is None \
                or room.depth is None:
            return None
        return Search(room.board_blob(), room.to_move, room.depth)

    async def apply_bot_move(self, room_id: str, version: int, move: str) -> bool:
        async with self._changing(room_id) as (entry, room):
            if room.version != version or not room.bot_waiting:
                return False
            candidate = room.copy()
            refused = candidate.play_bot(move)
            if refused is not None:
                # Never expected: the first legal move was played instead.
                log.error("room %s: the bot's move was not played (%s)", room_id, refused)
            await self._commit(entry, candidate)
        return True

    async def waiting_for_bot(self, count: int) -> tuple[list[WaitingRoom], bool]:
        """The next rooms the store lists as waiting for the bot, loaded and kept in
        memory for their search. A room the store cannot give back is logged and passed
        over, so that it does not keep every other room from the bot."""
        listed = await self.store.rooms_waiting_for_bot(self._taken_up, count)
        ready: list[WaitingRoom] = []
        for waiting in listed:
            self._taken_up = waiting
            try:
                entry, _ = await self._entry(waiting.room_id)
            except NotFound:
                continue
            except Exception:
                log.exception("room %s cannot be loaded; its bot turn is not resumed",
                              waiting.room_id)
                continue
            try:
                room = entry.room
                if room is not None and room.bot_waiting and room.version == waiting.version:
                    entry.waiting = True
                    ready.append(waiting)
            finally:
                self._release(entry)
        return ready, len(listed) == count

    def bot_done(self, room_id: str) -> None:
        entry = self._entries.get(room_id)
        if entry is not None and entry.waiting:
            entry.waiting = False
            self._trim()

    # -- the sweep of old rooms ------------------------------------------------------------

    async def sweep(self) -> int:
        """Deletes the rooms untouched for ``room_days`` (none if that is None), a batch
        at a time, and drops them from memory; how many."""
        if self._room_days is None:
            return 0
        before = self._clock() - self._room_days * DAY_SECONDS
        deleted = 0
        while True:
            gone = await self.store.delete_untouched(before, SWEEP_BATCH)
            for room_id in gone:
                self._forget(room_id)
            deleted += len(gone)
            if len(gone) < SWEEP_BATCH:
                return deleted

    async def _sweep_every(self, seconds: float) -> None:
        while True:
            try:
                deleted = await self.sweep()
            except Exception:
                log.exception("the sweep of old rooms failed")
            else:
                if deleted:
                    log.info("deleted %d rooms untouched for %g days", deleted,
                             self._room_days)
            await asyncio.sleep(seconds)

    def _forget(self, room_id: str) -> None:
        """A room deleted from the store leaves the bot's queue and the memory (a task
        using it finds it gone once it reads it again)."""
        self.bots.cancel(room_id)
        entry = self._entries.get(room_id)
        if entry is None:
            return
        entry.waiting = False
        if entry.users:
            entry.room = None
        else:
            del self._entries[room_id]

    # -- for the tests and the operators ------------------------------------------------

    def cached(self, room_id: str) -> Room | None:
        """The room if it is in memory (and known to be as stored)."""
        entry = self._entries.get(room_id)
        return entry.room if entry is not None else None

    def in_memory(self) -> int:
        """How many rooms are kept in memory."""
        return len(self._entries)

    # -- the cache, the locks and the commit ---------------------------------------------

    async def _entry(self, room_id: str) -> tuple[_Entry, bool]:
        """The room's entry, loaded if it is not in memory, counted as used: every call
        is paired with ``_release``; and whether this call read it from the store.
        ``NotFound`` (and nothing kept) if there is no such room."""
        fresh = False
        entry = self._entries.get(room_id)
        if entry is None:
            if ROOM_ID.fullmatch(room_id) is None:
                raise NotFound(NO_SUCH_ROOM, "no_such_room")
            stored = await self.store.load(room_id)
            if stored is None:
                raise NotFound(NO_SUCH_ROOM, "no_such_room")
            # Another task may have loaded it meanwhile; the first one loaded stays.
            entry = self._entries.get(room_id)
            if entry is None:
                entry = _Entry(Room.from_stored(stored))
                self._entries[room_id] = entry
                fresh = True
        self._entries.move_to_end(room_id)
        entry.users += 1
        self._trim()
        return entry, fresh

    def _release(self, entry: _Entry) -> None:
        entry.users -= 1
        self._trim()

    async def _current(self, room_id: str, entry: _Entry) -> Room:
        """The room of ``entry``, whose lock the caller holds, read again from the store
        if a failed commit left it unknown (or another process changed it)."""
        if entry.room is None:
            stored = await self.store.load(room_id)
            if stored is None:
                if self._entries.get(room_id) is entry and entry.users <= 1:
                    del self._entries[room_id]
                raise NotFound(NO_SUCH_ROOM, "no_such_room")
            entry.room = Room.from_stored(stored)
        return entry.room

    @asynccontextmanager
    async def _changing(self, room_id: str) -> AsyncIterator[tuple[_Entry, Room]]:
        """The room's entry and room, under the room's lock (as stored, if the store is
        shared)."""
        entry, fresh = await self._entry(room_id)
        try:
            async with entry.lock:
                room = entry.room
                if self._shared and not fresh and room is not None \
                        and await self.store.version(room_id) != room.version:
                    entry.room = None
                yield entry, await self._current(room_id, entry)
        finally:
            self._release(entry)

    async def _commit(self, entry: _Entry, candidate: Room) -> None:
        """Stores ``candidate`` (a changed copy of the entry's room) and makes it the
        room; nothing if it fails. The caller holds the room's lock.

        A change after which the room waits for the bot first takes the room's place in
        the bot's queue (``Busy``, and nothing stored, when the queue is full) and the
        time its search is due; the place is given back if the store refuses the change.
        """
        held = False
        if candidate.bot_waiting:
            held = await self.bots.reserve(candidate.room_id)
            assert candidate.depth is not None
            candidate.bot_due = due(
                self._clock(), expected_seconds(candidate.depth, candidate.cards_on_grid()))
        try:
            written = await self.store.update(candidate.to_stored())
        except BaseException:
            # Whether the write happened is not known: the store decides, on the next use.
            entry.room = None
            if candidate.bot_waiting and candidate.bot_due is not None:
                # The search keeps its place: it reads the room again, and searches only
                # if the store has this version.
                entry.waiting = True
                self.bots.request(candidate.room_id, candidate.version, candidate.bot_due)
            raise
        if not written:
            entry.room = None
            if held:
                self.bots.cancel(candidate.room_id)
            raise Conflict("the room was changed meanwhile; try again", "room_changed")
        entry.room = candidate
        self._stored(entry, candidate)

    def _stored(self, entry: _Entry, room: Room) -> None:
        """What follows every change the store has taken: the bot's search is asked for if
        the room waits for it (the room is kept in memory meanwhile), and the new state
        goes out to the room's watchers."""
        if room.bot_waiting and room.bot_due is not None:
            entry.waiting = True
            self.bots.request(room.room_id, room.version, room.bot_due)
        self.events.publish(room.room_id, room.version, room.public_json())

    def _trim(self) -> None:
        """Keeps at most ``rooms_in_memory`` rooms in memory, dropping the least recently
        used ones that no task is using and that do not wait for the bot."""
        excess = len(self._entries) - self._rooms_in_memory
        if excess <= 0:
            return
        idle: list[str] = []
        for room_id, entry in self._entries.items():
            if not entry.users and not entry.waiting:
                idle.append(room_id)
                if len(idle) == excess:
                    break
        for room_id in idle:
            del self._entries[room_id]
