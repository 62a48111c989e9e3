"""Whether this node can serve (``GET /healthz``): its store, its events and its bot's
queue, each asked with a short timeout.

A node serves while its store answers: a node that lost Redis still takes moves and
stores them (its own watchers see them at once, the others catch up once Redis is
back), so a load balancer keeps it. A part that is in-process (events delivered within
the process, searches in its own pool of workers) is ``"local"``: there is nothing to
lose.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Final, Literal

from .service import RoomService

Check = Callable[[], Awaitable[bool]]
State = Literal["up", "down", "local"]
# How long each part may take to answer before it counts as down.
HEALTH_SECONDS: Final = 1.0


@dataclass
class Health:
    """The node's name and how to ask each part (None: an in-process part)."""

    node: str
    store: Check
    events: Check | None = None
    queue: Check | None = None

    @classmethod
    def of(cls, service: RoomService, node: str = "local", queue: Check | None = None) -> Health:
        """The health of ``service``'s store and events (in-process events: local)."""
        return cls(node=node, store=lambda: service.store.healthy(),
                   events=(lambda: service.events.healthy()) if service.events.shared else None,
                   queue=queue)

    async def report(self) -> dict[str, str]:
        """``{"node", "store", "events", "queue"}``, each part up, down or local; the parts
        asked together."""
        store, events, queue = await asyncio.gather(
            _ask(self.store), _ask(self.events), _ask(self.queue))
        return {"node": self.node, "store": store, "events": events, "queue": queue}


async def _ask(check: Check | None) -> State:
    if check is None:
        return "local"
    try:
        async with asyncio.timeout(HEALTH_SECONDS):
            up = await check()
    except Exception:       # a timeout included: not up, whatever the reason
        return "down"
    return "up" if up else "down"
