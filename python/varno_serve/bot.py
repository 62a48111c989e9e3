"""The bot's searches, run in worker processes so that the server's event loop never waits
for one.

A worker gets the pickled board, not the room: it only chooses a move. The server then
plays that move with ``Board.play`` on the room's own board, so a move from a worker is
checked like any other before it is stored.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import threading
import time
from concurrent.futures import ProcessPoolExecutor

import varno
from varno_play.rules import PLAYERS, Side

_WATCH_SECONDS = 0.5


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
