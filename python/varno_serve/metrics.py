"""What a server process tells its monitoring, in the Prometheus text format at
``GET /metrics`` (``prometheus-client``); and what a bot worker tells alike
(``ProcessMetrics``, which ``varno_serve.worker`` adds its own to).

Every process has a registry of its own (``Metrics.registry``), never the library's
global one, so that several servers in one process (the tests) count apart. The metrics,
all named ``varno_*``:

* ``varno_node_info{node}``: the node's name (``--node``; a worker's ``--name``);
* ``varno_requests_total{route, method, status}``: requests answered, by the route's
  pattern (``/api/rooms/{room}/moves``, never the path asked for, so that the series stay
  few whatever clients send; ``unrouted`` for paths no route takes);
* ``varno_move_ack_seconds``: from a move's request to its answer, for moves accepted;
* ``varno_push_seconds{via}``: from a state's publication to its sending to a watcher,
  by how it came (``local``: stored by this process; ``bus``: by another, through Redis;
  the clocks of both machines count);
* ``varno_watchers``: WebSockets open on rooms;
* ``varno_bot_queue_waiting``, ``varno_bot_searches_running``, ``varno_bot_queue_limit``:
  the bot's queue now, and its bound (``pending_searches``);
* ``varno_bot_wait_seconds``: from a search asked for to its start in a worker (with
  ``--queue``, measured by the workers: a node only asks);
* ``varno_search_seconds{depth}``: searches by depth and their time (its ``_count`` is the
  number of searches), where they run: the node's own pool, or a worker;
* ``varno_store_errors_total{operation}``: calls of the store that failed;
* ``varno_redis_errors_total{operation}``: Redis calls that failed (``publish``,
  ``listen``, ``subscribe``, ``ping``, ``limits``: counting a client's new rooms), and
  messages that did not decode (``decode``);
* ``varno_events_up``: 1 while states reach the other nodes (always 1 for in-process
  events); ``varno_events_published_total``, ``varno_events_received_total``,
  ``varno_events_dropped_total`` (states never sent: too many waiting while Redis was
  away), ``varno_events_resynced_total`` (watched rooms read again from the store after
  Redis came back);
* and the process's own (``process_*``: CPU, memory, open files).
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from typing import Final, TypeVar

from prometheus_client import (
    CONTENT_TYPE_LATEST,
    CollectorRegistry,
    Counter,
    Gauge,
    Histogram,
    Info,
    ProcessCollector,
    disable_created_metrics,
    generate_latest,
)

from .store import RoomStore, RoomSummary, StoredRoom, WaitingRoom

T = TypeVar("T")

CONTENT_TYPE: Final = CONTENT_TYPE_LATEST
# Seconds: a move's acknowledgement and a push, from a millisecond to ten seconds.
LATENCY_BUCKETS: Final = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0,
                          2.5, 5.0, 10.0)
# Seconds a search waits in the bot's queue: a few milliseconds to a few minutes.
WAIT_BUCKETS: Final = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0,
                       60.0, 120.0, 300.0)
# Seconds of one search: from depth 1 (tens of microseconds) to depth 12 (seconds).
SEARCH_BUCKETS: Final = (0.0001, 0.0005, 0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                         1.0, 2.5, 5.0, 10.0, 30.0)
UNROUTED: Final = "unrouted"

# No ``*_created`` series beside each counter and histogram (the library's switch is for
# the whole process): they would double what every scrape carries, for nothing used here.
disable_created_metrics()  # type: ignore[no-untyped-call]


class ProcessMetrics:
    """What every process of the site counts alike, a server node or a bot worker, in a
    registry of its own: its name, the process's own metrics, the bot's searches and
    their wait, failures of the store and of Redis, and the events it publishes (and, on
    a node, receives)."""

    def __init__(self, description: str) -> None:
        self.registry = CollectorRegistry()
        r = self.registry
        ProcessCollector(registry=r)
        self._node = Info("varno_node", description, registry=r)
        self.bot_wait_seconds = Histogram(
            "varno_bot_wait_seconds", "From a search asked for to its start in a worker.",
            buckets=WAIT_BUCKETS, registry=r)
        self.search_seconds = Histogram(
            "varno_search_seconds", "The bot's searches, by depth, and their time.", ["depth"],
            buckets=SEARCH_BUCKETS, registry=r)
        self.store_errors = Counter("varno_store_errors", "Calls of the store that failed.",
                                    ["operation"], registry=r)
        self.redis_errors = Counter("varno_redis_errors", "Redis calls that failed.",
                                    ["operation"], registry=r)
        self.events_up = Gauge("varno_events_up",
                               "1 while published states reach every node's watchers.",
                               registry=r)
        self.events_up.set(1)
        self.events_published = Counter("varno_events_published",
                                        "States published to the other nodes.", registry=r)
        self.events_received = Counter("varno_events_received",
                                       "States received from the message bus.", registry=r)
        self.events_dropped = Counter(
            "varno_events_dropped", "States never published: too many waited while the "
            "message bus was out of reach.", registry=r)
        self.events_resynced = Counter(
            "varno_events_resynced", "Watched rooms read again from the store after the "
            "message bus came back.", registry=r)
        self.set_node("")

    def set_node(self, name: str) -> None:
        self._node.info({"node": name})

    def exposition(self) -> bytes:
        """The metrics in the Prometheus text format (``CONTENT_TYPE``)."""
        return generate_latest(self.registry)


class Metrics(ProcessMetrics):
    """The metrics of one server process (see the module), and the hooks that feed them:
    it is the ``BotObserver`` of the bot's scheduler."""

    def __init__(self) -> None:
        super().__init__("This server process.")
        r = self.registry
        self.requests = Counter(
            "varno_requests", "HTTP requests answered, by route pattern, method and status.",
            ["route", "method", "status"], registry=r)
        self.move_ack_seconds = Histogram(
            "varno_move_ack_seconds", "From a move's request to its answer, moves accepted.",
            buckets=LATENCY_BUCKETS, registry=r)
        self.push_seconds = Histogram(
            "varno_push_seconds", "From a state's publication to its sending to a watcher.",
            ["via"], buckets=LATENCY_BUCKETS, registry=r)
        self.watchers = Gauge("varno_watchers", "WebSockets open on rooms.", registry=r)
        self.bot_waiting = Gauge("varno_bot_queue_waiting",
                                 "The bot's searches waiting for a worker.", registry=r)
        self.bot_running = Gauge("varno_bot_searches_running",
                                 "The bot's searches running.", registry=r)
        self.bot_queue_limit = Gauge("varno_bot_queue_limit",
                                     "Searches waiting or running at most (pending_searches).",
                                     registry=r)

    # -- BotObserver ---------------------------------------------------------------------

    def queue_length(self, waiting: int, running: int) -> None:
        self.bot_waiting.set(waiting)
        self.bot_running.set(running)

    def search_started(self, waited: float) -> None:
        self.bot_wait_seconds.observe(max(0.0, waited))

    def search_done(self, depth: int, seconds: float) -> None:
        self.search_seconds.labels(str(depth)).observe(seconds)


class CountingStore:
    """A ``RoomStore`` that counts the failures of the one it wraps (by operation) in
    ``varno_store_errors_total``, and otherwise is that store."""

    def __init__(self, store: RoomStore, metrics: ProcessMetrics) -> None:
        self.inner = store
        self.shared = store.shared
        self._errors = metrics.store_errors

    async def _counted(self, operation: str, call: Callable[[], Awaitable[T]]) -> T:
        try:
            return await call()
        except asyncio.CancelledError:
            raise
        except Exception:
            self._errors.labels(operation).inc()
            raise

    async def create(self, room: StoredRoom) -> None:
        await self._counted("create", lambda: self.inner.create(room))

    async def load(self, room_id: str) -> StoredRoom | None:
        return await self._counted("load", lambda: self.inner.load(room_id))

    async def update(self, room: StoredRoom) -> bool:
        return await self._counted("update", lambda: self.inner.update(room))

    async def version(self, room_id: str) -> int | None:
        return await self._counted("version", lambda: self.inner.version(room_id))

    async def open_rooms(self, limit: int) -> list[RoomSummary]:
        return await self._counted("open_rooms", lambda: self.inner.open_rooms(limit))

    async def rooms_waiting_for_bot(self, after: WaitingRoom | None,
                                    limit: int) -> list[WaitingRoom]:
        return await self._counted("rooms_waiting_for_bot",
                                   lambda: self.inner.rooms_waiting_for_bot(after, limit))

    async def delete_untouched(self, before: float, limit: int) -> list[str]:
        return await self._counted("delete_untouched",
                                   lambda: self.inner.delete_untouched(before, limit))

    async def healthy(self) -> bool:
        return await self.inner.healthy()

    async def close(self) -> None:
        await self.inner.close()
