"""The bot's turns: a scheduler in front of a pool of worker processes, so that the
server's event loop never waits for a search.

The room service asks for the bot's turn in a room with ``request(room_id, version)``.
The scheduler asks the service what to search (``BotHost.bot_search``), has a worker
choose a move, and hands the move back (``BotHost.apply_bot_move``); the service plays it
on the room's own board, and only if the room is still at that version. A job is its
room and version and nothing more, so jobs could as well wait in a queue shared by
several servers and be taken by worker processes of their own.

A worker gets the pickled board, not the room: it only chooses a move, and that move is
checked by ``Board.play`` like any other before it is stored.
"""

from __future__ import annotations

import asyncio
import logging
import multiprocessing
import os
import pickle
import threading
import time
from collections.abc import Callable
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Final, Protocol

import varno
from varno_play.rules import PLAYERS, Side

from .errors import NotFound

log = logging.getLogger("varno_serve")

_WATCH_SECONDS: Final = 0.5
# After a failed turn (the store failing, say) the bot tries again this much later.
RETRY_SECONDS: Final = 1.0


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

    async def apply_bot_move(self, room_id: str, version: int, move: str) -> None:
        """Plays the move the bot chose at ``version``, if the room is still there."""


class BotScheduler(Protocol):
    def start(self, host: BotHost) -> None:
        """From now on, turns are played through ``host``."""

    def request(self, room_id: str, version: int) -> None:
        """The bot is to move in the room at ``version``: search and play its move. It
        does not wait for the search."""

    async def close(self) -> None:
        """Drops the turns not played yet (the store still lists their rooms as waiting
        for the bot) and ends the workers."""


class PoolBots:
    """``BotScheduler`` on a pool of worker processes: one turn at a time per room, and
    the pool's queue between rooms, in the order the turns were asked for.

    ``pending_searches`` is kept for the queue's bound, which this scheduler does not
    enforce yet: the searches waiting for a worker are not limited.
    """

    def __init__(self, make_pool: Callable[[], Executor], *, pending_searches: int,
                 retry_seconds: float = RETRY_SECONDS) -> None:
        self._make_pool = make_pool
        self._pool: Executor | None = None
        self._host: BotHost | None = None
        self.pending_searches = pending_searches
        self._retry_seconds = retry_seconds
        # The version each room's next turn is for, and the task playing its turns.
        self._wanted: dict[str, int] = {}
        self._turns: dict[str, asyncio.Task[None]] = {}

    def start(self, host: BotHost) -> None:
        self._host = host

    def request(self, room_id: str, version: int) -> None:
        self._wanted[room_id] = version
        if room_id not in self._turns:
            self._turns[room_id] = asyncio.create_task(self._take_turns(room_id))

    def pending(self) -> int:
        """Rooms with a bot turn asked for or under way."""
        return len(self._turns)

    async def close(self) -> None:
        tasks = list(self._turns.values())
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
            self._pool = None

    async def _take_turns(self, room_id: str) -> None:
        try:
            # A turn played may ask for the next (the person had to pass): it is taken
            # here, by the same task.
            while (version := self._wanted.pop(room_id, None)) is not None:
                await self._turn(room_id, version)
        finally:
            self._turns.pop(room_id, None)
            self._wanted.pop(room_id, None)

    async def _turn(self, room_id: str, version: int) -> None:
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
            if self._pool is None:
                self._pool = self._make_pool()
            pool = self._pool
            try:
                return await loop.run_in_executor(
                    pool, choose_move, search.board, search.side, search.depth)
            except BrokenProcessPool:
                # A worker died (killed, out of memory): start a new pool and search again.
                log.error("a bot worker died; starting new workers")
                if self._pool is pool:
                    self._pool = None
                    pool.shutdown(wait=False, cancel_futures=True)
                if attempt:
                    raise
        raise AssertionError("unreachable")


# -- in the worker processes ---------------------------------------------------------

def choose_move(board_blob: bytes, side: Side, depth: int) -> str:
    """The bot's move for ``side`` on the pickled board (``""`` if it has none)."""
    board = pickle.loads(board_blob)
    if not isinstance(board, varno.Board):
        raise TypeError("not a pickled varno.Board")
    return board.play_bot(PLAYERS[side], depth)


def _start_worker(server_pid: int) -> None:
    """Runs in each worker as it starts: ends the worker when the server is gone.

    A worker holds both ends of the pool's job queue, so it would never see the queue
    close after the server is killed (SIGKILL runs no clean-up), and it would outlive it
    for good. A thread watches the worker's parent instead.
    """

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
