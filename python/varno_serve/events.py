"""A room's new public state, out to whoever watches the room.

``Events`` is the one seam: the room service publishes each state it has stored, and the
WebSocket handler subscribes a ``Feed`` per watcher. ``LocalEvents`` delivers within this
process; ``varno_serve.events_redis.RedisEvents`` also delivers to the watchers of other
server processes (``--events redis://...``), with the handlers and the service unchanged.
"""

from __future__ import annotations

import asyncio
import contextlib
import time
from collections.abc import AsyncIterator
from contextlib import AbstractAsyncContextManager
from typing import Final, Literal, NamedTuple, Protocol
from urllib.parse import urlsplit

# The schemes of the Redis URLs ``--events`` takes (TCP, TLS, a Unix socket).
EVENTS_SCHEMES: Final = ("redis", "rediss", "unix")

# How a state reached a watcher: published by this process, from another process through
# the message bus, or read again from the store after the bus was out of reach.
Via = Literal["local", "bus", "store"]


class Push(NamedTuple):
    """A state to send to a watcher: its text, when it was published (seconds since the
    epoch; None for a state read rather than published) and how it came."""

    text: str
    published: float | None
    via: Via


class Feed:
    """What one watcher of a room has still to be sent. Only the newest state is kept,
    so a slow reader skips the states it has not read rather than holding up the room;
    a state no newer than one already offered is dropped."""

    def __init__(self) -> None:
        self._version = -1
        self._push: Push | None = None
        self._wake = asyncio.Event()

    def offer(self, version: int, text: str, published: float | None = None,
              via: Via = "local") -> None:
        if version <= self._version:
            return
        self._version, self._push = version, Push(text, published, via)
        self._wake.set()

    async def take(self) -> Push:
        """The newest state not yet taken, once there is one."""
        while self._push is None:
            self._wake.clear()
            await self._wake.wait()
        push, self._push = self._push, None
        return push

    async def next(self) -> str:
        """The text of the newest state not yet taken, once there is one."""
        return (await self.take()).text


class RoomStates(Protocol):
    """Where the events read a room's current state again (the room service)."""

    async def room_state(self, room_id: str) -> tuple[int, str] | None:
        """The room's version and public state as the store has it now; None if there is
        no such room."""


class Events(Protocol):
    # Whether states reach the watchers of other server processes too.
    shared: bool

    async def start(self, states: RoomStates) -> None:
        """From now on, the watchers' rooms can be read again through ``states`` (to catch
        up on states a shared bus could not deliver). It does not wait for the bus."""

    def publish(self, room_id: str, version: int, state: str) -> None:
        """``state`` (the JSON text of the room's public state at ``version``) goes to
        every watcher of the room. It does not wait for them, and never fails."""

    def subscribe(self, room_id: str) -> AbstractAsyncContextManager[Feed]:
        """A feed of the room's states from now on, for the time of the ``async with``."""

    async def healthy(self) -> bool:
        """Whether states published now reach every watcher."""

    async def close(self) -> None: ...


class Watchers:
    """The feeds of each room watched in this process."""

    def __init__(self) -> None:
        self._feeds: dict[str, set[Feed]] = {}

    def offer(self, room_id: str, version: int, text: str, published: float | None,
              via: Via) -> None:
        for feed in self._feeds.get(room_id, ()):
            feed.offer(version, text, published, via)

    def add(self, room_id: str, feed: Feed) -> bool:
        """Adds ``feed``; whether it is the room's first."""
        feeds = self._feeds.setdefault(room_id, set())
        feeds.add(feed)
        return len(feeds) == 1

    def discard(self, room_id: str, feed: Feed) -> bool:
        """Removes ``feed``; whether the room has no feed left."""
        feeds = self._feeds.get(room_id)
        if feeds is None:
            return False
        feeds.discard(feed)
        if feeds:
            return False
        del self._feeds[room_id]
        return True

    def watching(self, room_id: str) -> bool:
        return room_id in self._feeds

    def rooms(self) -> list[str]:
        return list(self._feeds)

    def clear(self) -> None:
        self._feeds.clear()


class LocalEvents:
    """``Events`` within one process: the feeds of each room, by room."""

    shared = False

    def __init__(self) -> None:
        self._watchers = Watchers()

    async def start(self, states: RoomStates) -> None:
        pass

    def publish(self, room_id: str, version: int, state: str) -> None:
        self._watchers.offer(room_id, version, state, time.time(), "local")

    @contextlib.asynccontextmanager
    async def subscribe(self, room_id: str) -> AsyncIterator[Feed]:
        feed = Feed()
        self._watchers.add(room_id, feed)
        try:
            yield feed
        finally:
            self._watchers.discard(room_id, feed)

    def watched(self) -> int:
        """How many rooms have a watcher here."""
        return len(self._watchers.rooms())

    async def healthy(self) -> bool:
        return True

    async def close(self) -> None:
        self._watchers.clear()


def check_events_url(url: str) -> str:
    """``url`` if it names a Redis server (``redis://HOST:PORT/N``, ``rediss://...``,
    ``unix:///PATH``); ``ValueError`` otherwise (for the command line, before anything is
    imported or connected)."""
    try:
        parts = urlsplit(url)
        if parts.port == 0:     # reading it refuses a port that is no number
            raise ValueError
    except ValueError:
        raise ValueError(f"not a URL: {url!r}") from None
    if parts.scheme not in EVENTS_SCHEMES:
        known = ", ".join(f"{scheme}://..." for scheme in EVENTS_SCHEMES)
        raise ValueError(f"not a Redis URL: {url!r} (known: {known})")
    if parts.scheme == "unix" and not parts.path:
        raise ValueError(f"{url!r} names no socket")
    if parts.scheme != "unix" and not parts.hostname:
        raise ValueError(f"{url!r} names no host")
    return url


def shown_url(url: str) -> str:
    """``url`` without its password, for the logs."""
    parts = urlsplit(url)
    if parts.password is None:
        return url
    user = f"{parts.username}:***" if parts.username else ":***"
    host = parts.netloc.rpartition("@")[2]
    return parts._replace(netloc=f"{user}@{host}").geturl()
