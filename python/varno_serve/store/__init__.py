"""Where rooms are kept between moves and across restarts.

``RoomStore`` is the whole interface the server uses. Its methods are coroutines: a
backend may run a blocking driver on threads of its own (``sqlite``) or use an
asynchronous one. A store shared by several server processes (a database server) would
implement the same methods: its ``update`` already refuses a write that was not made
on the version it replaces, which is what keeps two processes from both applying a move
to the same position.

``open_store`` picks the backend from a URL (``sqlite:///srv/varno/rooms.db``); a new
backend is one more entry in ``BACKENDS``.
"""

from __future__ import annotations

import importlib
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Final, Literal, Protocol

Mode = Literal["bot", "humans"]


@dataclass(frozen=True)
class StoredRoom:
    """A room as the store keeps it. ``board`` is the pickled board and ``host`` the JSON
    of everything else; the other fields repeat what listings and restarts look for.

    ``bot_due`` is set while the room waits for the bot's search (its game has started
    and the bot is to move): where the search stands in the bot's queue, a time in
    seconds since the epoch (``varno_serve.bots.due``). The rooms waiting after a restart
    are taken up in that order.
    """

    room_id: str
    version: int
    board: bytes
    host: str
    mode: Mode
    free_seat: Literal["A", "B"] | None
    bot_to_move: bool
    over: bool
    moves: int
    bot_due: float | None = None


@dataclass(frozen=True)
class WaitingRoom:
    """A room waiting for the bot's search: at which version, and when it is due."""

    room_id: str
    version: int
    due: float


@dataclass(frozen=True)
class RoomSummary:
    """A line of the lobby's list of rooms."""

    room_id: str
    mode: Mode
    moves: int


class RoomStore(Protocol):
    async def create(self, room: StoredRoom) -> None:
        """Stores a new room, durably before returning; fails if the identifier is taken."""

    async def load(self, room_id: str) -> StoredRoom | None:
        """The room as last committed, or None if there is no such room."""

    async def update(self, room: StoredRoom) -> bool:
        """Replaces version ``room.version - 1`` of the room by ``room``, atomically and
        durably before returning; False (and nothing written) if the stored version is
        another."""

    async def open_rooms(self, limit: int) -> list[RoomSummary]:
        """Rooms whose game is not over and whose seats are all held (no seat waits for
        an invited player), the most recently changed first."""

    async def rooms_waiting_for_bot(self, after: WaitingRoom | None,
                                    limit: int) -> list[WaitingRoom]:
        """At most ``limit`` of the rooms waiting for the bot's search (those stored with
        a ``bot_due``), in the order they are due (then by identifier), from the first
        one after ``after``: a restart takes them up a few at a time."""

    async def delete_untouched(self, before: float, limit: int) -> list[str]:
        """Deletes at most ``limit`` rooms last created or changed before ``before``
        (seconds since the epoch), the oldest first, in one short transaction; their
        identifiers. A sweep calls it until it deletes fewer than ``limit``."""

    async def healthy(self) -> bool:
        """Whether the store answers now (a cheap query; False rather than an error)."""

    async def close(self) -> None: ...


class StoreURLError(ValueError):
    """A store URL that names no backend, or that its backend cannot use."""


# scheme -> "module:function"; the function takes what follows "scheme://" and opens
# the store. Backends are imported only when chosen.
BACKENDS: Final = {
    "sqlite": "varno_serve.store.sqlite:open_sqlite",
}


async def open_store(url: str) -> RoomStore:
    """The store that ``url`` names: ``sqlite://PATH`` (``sqlite:///abs/rooms.db``,
    ``sqlite://rooms.db`` relative to the working directory)."""
    opener = _opener(url)
    return await opener(url.partition("://")[2])


def check_store_url(url: str) -> str:
    """``url`` if it names a known backend; ``StoreURLError`` otherwise (for the command
    line, before anything is opened)."""
    _opener(url)
    return url


def _opener(url: str) -> Callable[[str], Awaitable[RoomStore]]:
    scheme, sep, rest = url.partition("://")
    if not sep or scheme not in BACKENDS:
        known = ", ".join(f"{name}://..." for name in BACKENDS)
        raise StoreURLError(f"not a store URL: {url!r} (known: {known})")
    if not rest:
        raise StoreURLError(f"{url!r} names no place to keep the rooms")
    module, _, name = BACKENDS[scheme].partition(":")
    opener: Callable[[str], Awaitable[RoomStore]] = getattr(importlib.import_module(module), name)
    return opener
