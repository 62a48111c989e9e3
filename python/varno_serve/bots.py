"""The bot's turns: a bounded queue of searches in front of a pool of worker processes,
so that the server's event loop never waits for a search and no client can queue more
searches than the server can run.

The seam (``BotScheduler``) is queue-shaped and keyed by room:

* ``reserve(room_id)`` takes a place for the room's next search before the change that
  hands the turn to the bot is stored; ``Busy`` when ``pending_searches`` places (the
  searches waiting or running) are taken, so that the change is refused rather than
  queued beyond the bound. A room holds one place at most;
* ``request(room_id, version, due)`` asks for the search once the change is stored;
* ``cancel(room_id)`` gives the place back when the change was not stored (or the room
  is deleted).

A job is a room, its version and when it is due, nothing more, so jobs could as well wait
in a queue shared by several servers and be taken by worker processes of their own, with
the same bound and order. The scheduler asks the room service what to search
(``BotHost.bot_search``), has a worker choose a move, and hands the move back
(``BotHost.apply_bot_move``); the service plays it on the room's own board, and only if
the room is still at that version.

**The order.** Which search goes to a free worker next is decided here, not by the pool
(at most one search per worker is in the pool at a time): the one due first. A search is
due at the time it was asked for plus ``AGEING`` times its expected cost (``due``), a
virtual deadline: a shallow search asked after deep ones still goes before them, while
a search asked later than another's due goes after it, so nothing waits for ever (a
search waits about ``AGEING`` times its own cost, plus the searches due before it).
The expected cost comes from the depth and the cards on the grid (``expected_seconds``).

**After a restart** the places are first kept for the rooms the store lists as waiting
for the bot: they are taken up in the order they are due, as many as there are places
(``BotHost.waiting_for_bot``), and then one more each time a search ends, until the store
has none left; until then new searches are refused as the bound says.

A worker gets the pickled board, not the room: it only chooses a move, and that move is
checked by ``Board.play`` like any other before it is stored.
"""

from __future__ import annotations

import asyncio
import ctypes
import heapq
import itertools
import logging
import multiprocessing
import os
import pickle
import signal
import threading
import time
from collections.abc import Callable
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Final, Protocol

import varno
from varno_play.rules import PLAYERS, Side

from .errors import Busy, NotFound
from .store import WaitingRoom

log = logging.getLogger("varno_serve")

_WATCH_SECONDS: Final = 0.5
# After a failed turn (the store failing, say) the bot tries again this much later.
RETRY_SECONDS: Final = 1.0
# How long a start waits for the store's first rooms waiting for the bot.
START_SECONDS: Final = 10.0

# The mean seconds of ``Board.play_bot`` at the deal (12 cards on the grid), by depth:
# bench/serve/search_costs.py on this project's 2-core test machine, under the load of
# other builds (load average about 2). A depth-12 search ranges from 0.3 to 2 s there.
SECONDS_AT_DEAL: Final = {
    1: 0.00001, 2: 0.00002, 3: 0.00003, 4: 0.00025, 5: 0.0005, 6: 0.0019,
    7: 0.0034, 8: 0.010, 9: 0.027, 10: 0.078, 11: 0.32, 12: 0.90,
}
# Each card fewer on the grid makes a search at least this many times cheaper (the same
# script: at depth 8 and 10, 11 cards cost a third to a tenth of 12, 10 cards a tenth to
# a fiftieth).
CHEAPER_PER_CARD: Final = 3.0
# What a search costs beside the search: its board pickled to a worker and back.
DISPATCH_SECONDS: Final = 0.001
# A search is due at the time it was asked for plus this many times its expected cost.
AGEING: Final = 30.0


def expected_seconds(depth: int, cards: int) -> float:
    """What a search of ``depth`` with ``cards`` cards on the grid is expected to take."""
    at_deal = SECONDS_AT_DEAL[min(max(depth, min(SECONDS_AT_DEAL)), max(SECONDS_AT_DEAL))]
    return DISPATCH_SECONDS + at_deal / CHEAPER_PER_CARD ** max(0, 12 - cards)


def due(asked: float, expected: float) -> float:
    """When a search asked for at ``asked`` that is expected to take ``expected`` seconds
    is due in the bot's queue."""
    return asked + AGEING * expected


@dataclass(frozen=True)
class Search:
    """What a worker searches: the pickled board, the bot's side and its depth."""

    board: bytes
    side: Side
    depth: int


class BotHost(Protocol):
    """What the scheduler needs of the room service."""

    async def bot_search(self, room_id: str, version: int) -> Search | None:
        """What to search for the bot's move in the room at ``version``; None when the
        room is no longer there or it is not the bot's turn."""

    async def apply_bot_move(self, room_id: str, version: int, move: str) -> bool:
        """Plays the move the bot chose at ``version``, if the room is still there at that
        version; whether it was played."""

    async def waiting_for_bot(self, count: int) -> tuple[list[WaitingRoom], bool]:
        """Up to ``count`` of the rooms that the store lists as waiting for the bot and
        that were not taken up yet, in the order they are due, made ready for their
        search; and whether the store may list more."""

    def bot_done(self, room_id: str) -> None:
        """The room holds no place in the bot's queue any more."""


class BotObserver(Protocol):
    """What a scheduler tells about its queue as it goes (the server's metrics): every
    scheduler calls it, whoever runs the searches."""

    def queue_length(self, waiting: int, running: int) -> None:
        """Searches now waiting for a worker (places reserved included), and running."""

    def search_started(self, waited: float) -> None:
        """A search went to a worker ``waited`` seconds after it was asked for."""

    def search_done(self, depth: int, seconds: float) -> None:
        """A search of ``depth`` took ``seconds`` in its worker."""


class _Unobserved:
    def queue_length(self, waiting: int, running: int) -> None:
        pass

    def search_started(self, waited: float) -> None:
        pass

    def search_done(self, depth: int, seconds: float) -> None:
        pass


UNOBSERVED: Final[BotObserver] = _Unobserved()


class BotScheduler(Protocol):
    # Whether the bot's moves are stored by other processes (workers of a queue shared by
    # several servers): then a room in memory may be older than the store's.
    remote: bool

    async def start(self, host: BotHost) -> None:
        """From now on, turns are played through ``host``, beginning with the rooms the
        store lists as waiting for the bot (the first of them taken up before it
        returns)."""

    async def reserve(self, room_id: str) -> bool:
        """Takes a place in the queue for the room's next search, before the change that
        asks for it is stored: True if the place is taken now (``cancel`` it if the change
        is not stored), False if the room holds one already. ``Busy`` when all places are
        taken."""

    def request(self, room_id: str, version: int, due: float) -> None:
        """The bot is to move in the room at ``version`` (a change now stored), due at
        ``due``: search and play its move, in its place. It does not wait for the search."""

    def cancel(self, room_id: str) -> None:
        """Gives back the room's place, unless its search is under way (which then ends
        by itself: the room is checked at its version before the move is played)."""

    async def close(self) -> None:
        """Ends the workers at once, whatever they are searching, and drops the turns not
        played yet: the store still lists their rooms as waiting for the bot."""

    async def healthy(self) -> bool:
        """Whether the bot's turns can be queued now."""


class _Place:
    """A room's place in the queue: reserved, queued (``version`` and ``due`` set, and in
    the heap under ``seq``; ``asked`` on the monotonic clock) or running; ``again`` is a
    turn asked for while running."""

    __slots__ = ("room_id", "version", "due", "seq", "asked", "running", "again")

    def __init__(self, room_id: str) -> None:
        self.room_id = room_id
        self.version = -1
        self.due = 0.0
        self.seq = -1
        self.asked = 0.0
        self.running = False
        self.again: tuple[int, float] | None = None


class PoolBots:
    """``BotScheduler`` on a pool of ``workers`` processes: at most ``pending_searches``
    searches waiting or running, at most ``workers`` of them in the pool, the one due
    first going next. ``observer`` is told how the queue goes."""

    remote = False

    def __init__(self, make_pool: Callable[[], Executor], *, pending_searches: int,
                 workers: int = 1, retry_seconds: float = RETRY_SECONDS,
                 observer: BotObserver = UNOBSERVED) -> None:
        self._make_pool = make_pool
        self._observer = observer
        self._pool: Executor | None = None
        self._host: BotHost | None = None
        self.pending_searches = pending_searches
        self.workers = workers
        self._retry_seconds = retry_seconds
        self._places: dict[str, _Place] = {}
        # The queued places by (due, seq); an entry whose place has moved on is skipped.
        self._queue: list[tuple[float, int, str]] = []
        self._seq = itertools.count()
        self._running: dict[str, asyncio.Task[None]] = {}
        # Places kept for rooms the store lists as waiting and not taken up yet; whether
        # the store may still list such rooms; the task taking them up.
        self._loading = 0
        self._backlog = False
        self._taking_up: asyncio.Task[None] | None = None
        # How long a search took lately (for Retry-After).
        self._seconds = 1.0
        self._closed = False

    # -- BotScheduler --------------------------------------------------------------------

    async def start(self, host: BotHost) -> None:
        self._host = host
        self._backlog = True
        self._loading = max(0, self.pending_searches - len(self._places))
        self._take_up()
        if self._taking_up is not None:
            # Requests are taken once the first rooms are (a store failing meanwhile is
            # tried again in the background, its places kept for those rooms).
            await asyncio.wait({self._taking_up}, timeout=START_SECONDS)

    async def reserve(self, room_id: str) -> bool:
        if room_id in self._places:
            return False
        if self._closed or self.taken() >= self.pending_searches:
            raise Busy("the bot has too many searches waiting; try again shortly", "bot_busy",
                       max(1.0, self._seconds / self.workers))
        self._places[room_id] = _Place(room_id)
        self._report()
        return True

    def request(self, room_id: str, version: int, due: float) -> None:
        if self._closed:
            return
        place = self._places.get(room_id)
        if place is None:
            place = self._places[room_id] = _Place(room_id)
        if place.running:
            place.again = (version, due)
            return
        place.version, place.due, place.seq = version, due, next(self._seq)
        place.asked = time.monotonic()
        heapq.heappush(self._queue, (due, place.seq, room_id))
        self._dispatch()

    def cancel(self, room_id: str) -> None:
        place = self._places.get(room_id)
        if place is None:
            return
        if place.running:
            place.again = None
            return
        self._free(place)

    async def close(self) -> None:
        self._closed = True
        tasks = list(self._running.values())
        if self._taking_up is not None:
            tasks.append(self._taking_up)
        for task in tasks:
            task.cancel()
        # The searches under way hold the interpreter lock in their workers: only ending
        # the processes stops them.
        pool, self._pool = self._pool, None
        if pool is not None:
            end_workers(pool)
        await asyncio.gather(*tasks, return_exceptions=True)
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)
        self._places.clear()
        self._queue.clear()
        self._report()

    async def healthy(self) -> bool:
        return True

    # -- for the tests and the operators ------------------------------------------------

    def taken(self) -> int:
        """Places taken: searches reserved, waiting or running, and places kept for the
        rooms that wait in the store."""
        return len(self._places) + self._loading

    def pending(self) -> int:
        """Rooms holding a place (a search reserved, waiting or running)."""
        return len(self._places)

    def running(self) -> int:
        return len(self._running)

    # -- the queue ------------------------------------------------------------------------

    def _dispatch(self) -> None:
        """Hands the searches due first to the free workers."""
        while len(self._running) < self.workers and self._queue and not self._closed:
            _, seq, room_id = heapq.heappop(self._queue)
            place = self._places.get(room_id)
            if place is None or place.seq != seq or place.running:
                continue
            place.running = True
            self._observer.search_started(time.monotonic() - place.asked)
            self._running[room_id] = asyncio.create_task(self._turn(place))
        self._report()

    def _report(self) -> None:
        running = len(self._running)
        self._observer.queue_length(max(0, len(self._places) - running), running)

    async def _turn(self, place: _Place) -> None:
        try:
            await self._play(place.room_id, place.version)
        finally:
            del self._running[place.room_id]
            place.running = False
            if not self._closed:
                if place.again is not None:
                    # The move played asked for the next (the person had to pass).
                    (version, due_at), place.again = place.again, None
                    self.request(place.room_id, version, due_at)
                else:
                    self._free(place)
                self._dispatch()

    def _free(self, place: _Place) -> None:
        del self._places[place.room_id]
        self._report()
        if self._host is not None:
            self._host.bot_done(place.room_id)
        if self._backlog:
            # Rooms wait in the store: the place is theirs before any new search's.
            self._loading += 1
            self._take_up()

    def _take_up(self) -> None:
        if self._taking_up is None and self._loading and not self._closed:
            self._taking_up = asyncio.create_task(self._taking_up_rooms())

    async def _taking_up_rooms(self) -> None:
        """Takes up the rooms waiting in the store into the places kept for them."""
        host = self._host
        assert host is not None, "start() first"
        try:
            while self._backlog and self._loading:
                count = self._loading
                try:
                    rooms, more = await host.waiting_for_bot(count)
                except Exception:
                    log.exception("the rooms waiting for the bot could not be read; "
                                  "trying again")
                    await asyncio.sleep(self._retry_seconds)
                    continue
                # The places kept are now theirs, or free for new searches.
                self._loading -= count
                self._backlog = more
                if not more:
                    self._loading = 0
                for room in rooms:
                    if room.room_id not in self._places:
                        self.request(room.room_id, room.version, room.due)
        finally:
            self._taking_up = None

    async def _play(self, room_id: str, version: int) -> None:
        host = self._host
        assert host is not None, "start() first"
        while True:
            try:
                search = await host.bot_search(room_id, version)
                if search is None:
                    return
                move = await self._search(search)
                await host.apply_bot_move(room_id, version, move)
                return
            except asyncio.CancelledError:
                raise
            except NotFound:
                return
            except Exception:
                log.exception("the bot's move in room %s failed; trying again", room_id)
                await asyncio.sleep(self._retry_seconds)

    async def _search(self, search: Search) -> str:
        loop = asyncio.get_running_loop()
        for attempt in range(2):
            if self._closed:
                raise asyncio.CancelledError
            if self._pool is None:
                self._pool = self._make_pool()
            pool = self._pool
            began = time.monotonic()
            try:
                move = await loop.run_in_executor(
                    pool, choose_move, search.board, search.side, search.depth)
            except BrokenProcessPool:
                # A worker died (killed, out of memory): start a new pool and search again.
                log.error("a bot worker died; starting new workers")
                if self._pool is pool:
                    self._pool = None
                    pool.shutdown(wait=False, cancel_futures=True)
                if attempt:
                    raise
                continue
            took = time.monotonic() - began
            self._seconds = 0.8 * self._seconds + 0.2 * took
            self._observer.search_done(search.depth, took)
            return move
        raise AssertionError("unreachable")


def end_workers(pool: Executor) -> None:
    """Kills the worker processes of ``pool`` (none for a pool of threads)."""
    # ProcessPoolExecutor keeps its processes, by pid, in ``_processes`` (from Python 3.2
    # to 3.13); it has no public way to end them.
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        try:
            process.kill()
        except (OSError, ValueError):
            pass


# -- in the worker processes ---------------------------------------------------------

def choose_move(board_blob: bytes, side: Side, depth: int) -> str:
    """The bot's move for ``side`` on the pickled board (``""`` if it has none)."""
    board = pickle.loads(board_blob)
    if not isinstance(board, varno.Board):
        raise TypeError("not a pickled varno.Board")
    return board.play_bot(PLAYERS[side], depth)


# prctl's option that has the kernel send a signal to a process when its parent ends.
_PR_SET_PDEATHSIG: Final = 1


def _die_with_parent() -> bool:
    """Has the kernel kill this process when its parent ends (Linux); False elsewhere."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        options = (ctypes.c_ulong(int(signal.SIGKILL)), ctypes.c_ulong(0), ctypes.c_ulong(0),
                   ctypes.c_ulong(0))
        return int(libc.prctl(ctypes.c_int(_PR_SET_PDEATHSIG), *options)) == 0
    except (OSError, AttributeError):
        return False


def _start_worker(server_pid: int) -> None:
    """Runs in each worker as it starts: ends the worker when the server is gone.

    A worker holds both ends of the pool's job queue, so it would never see the queue
    close after the server is killed (SIGKILL runs no clean-up), and it would outlive it
    for good. The kernel kills it when the server ends (``_die_with_parent``), even in
    the middle of a search, which holds the interpreter lock until it ends; a thread
    watching the worker's parent is the fallback where that is not available.
    """
    _die_with_parent()
    if os.getppid() != server_pid:
        os._exit(0)     # the server ended before the kernel was told

    def watch() -> None:
        while os.getppid() == server_pid:
            time.sleep(_WATCH_SECONDS)
        os._exit(0)

    threading.Thread(target=watch, name="varno-watch-server", daemon=True).start()
    # Load the module and its pickle helper before the first search is timed.
    varno.Board()


def bot_pool(workers: int) -> ProcessPoolExecutor:
    """A pool of ``workers`` processes for ``choose_move``.

    The workers are started fresh ("spawn") rather than forked from a server that
    already runs threads and an event loop.
    """
    return ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("spawn"),
        initializer=_start_worker, initargs=(os.getpid(),),
    )
