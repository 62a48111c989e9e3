"""A room's new public state, out to whoever watches the room.

``Events`` is the one seam: the room service publishes each state it has stored, and the
WebSocket handler subscribes a ``Feed`` per watcher. ``LocalEvents`` delivers within this
process. A server running beside others would implement ``Events`` on a message bus
(publish to the room's channel, and a listener that offers what arrives to the local
feeds of that room), with the handlers and the service unchanged.
"""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator
from contextlib import AbstractAsyncContextManager
from typing import Protocol


class Feed:
    """What one watcher of a room has still to be sent. Only the newest state is kept,
    so a slow reader skips the states it has not read rather than holding up the room;
    a state no newer than one already offered is dropped."""

    def __init__(self) -> None:
        self._version = -1
        self._text: str | None = None
        self._wake = asyncio.Event()

    def offer(self, version: int, text: str) -> None:
        if version <= self._version:
            return
        self._version, self._text = version, text
        self._wake.set()

    async def next(self) -> str:
        """The newest state not yet taken, once there is one."""
        while self._text is None:
            self._wake.clear()
            await self._wake.wait()
        text, self._text = self._text, None
        return text


class Events(Protocol):
    def publish(self, room_id: str, version: int, state: str) -> None:
        """``state`` (the JSON text of the room's public state at ``version``) goes to
        every watcher of the room. It does not wait for them."""

    def subscribe(self, room_id: str) -> AbstractAsyncContextManager[Feed]:
        """A feed of the room's states from now on, for the time of the ``async with``."""

    async def close(self) -> None: ...


class LocalEvents:
    """``Events`` within one process: the feeds of each room, by room."""

    def __init__(self) -> None:
        self._feeds: dict[str, set[Feed]] = {}

    def publish(self, room_id: str, version: int, state: str) -> None:
        for feed in self._feeds.get(room_id, ()):
            feed.offer(version, state)

    @contextlib.asynccontextmanager
    async def subscribe(self, room_id: str) -> AsyncIterator[Feed]:
        feed = Feed()
        self._feeds.setdefault(room_id, set()).add(feed)
        try:
            yield feed
        finally:
            feeds = self._feeds.get(room_id)
            if feeds is not None:
                feeds.discard(feed)
                if not feeds:
                    del self._feeds[room_id]

    def watched(self) -> int:
        """How many rooms have a watcher here."""
        return len(self._feeds)

    async def close(self) -> None:
        self._feeds.clear()
