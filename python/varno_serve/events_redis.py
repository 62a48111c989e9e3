"""``Events`` across server processes, on Redis pub/sub (``--events redis://HOST:PORT/N``).

How a state goes out:

* the process that stored it offers it to its own watchers at once (so that they see
  their moves even while Redis is away), and publishes it once, to the room's channel
  ``varno:room:{room_id}``, as the text ``encode_event`` makes;
* every process holds one subscription connection to Redis, subscribed to the channels
  of the rooms it has watchers for: SUBSCRIBE with a room's first watcher (waiting for
  Redis to confirm it, so that the watcher's first read of the room comes after the
  subscription), UNSUBSCRIBE with its last. A process then receives the states of its
  own watchers' rooms only, rather than every room's as a pattern subscription would
  give every process: the traffic grows with the watchers, not with the number of
  processes times the moves. It also holds ``varno:nodes``, on which nothing is sent yet,
  so that the connection is always subscribed and pinged while no room is watched;
* what arrives is offered to the room's feeds; a feed drops a state no newer than one it
  was offered, so a process's own states coming back from Redis are dropped there.

Publishing is one task: the states to publish wait there, the newest of each room only,
and go out in pipelined batches. It never fails the change that published: a failure is
logged (once an outage) and counted, and the states wait (at most ``MAX_WAITING`` rooms;
beyond, the oldest are dropped and counted) and are tried again with backoff.

When the subscription connection is lost (an error, or no answer to pings for
``SILENT_SECONDS``), ``healthy`` is False, and the listener connects again with backoff.
Once connected it subscribes again to every watched room and then **resynchronises**
them: each is read again from the store (``RoomStates.room_state``) and its current state
offered, so watchers catch up on whatever was published while this process was not
listening.

The client is redis-py's ``redis.asyncio``: Redis's own Python client, asyncio-native, with
pub/sub, pipelining and connection pools, kept by Redis's developers; the former separate
asyncio client was merged into it and is no longer kept.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import random
import time
from collections import OrderedDict, deque
from collections.abc import AsyncIterator, Coroutine, Iterable
from dataclasses import dataclass
from typing import Any, Final

import redis.asyncio as aioredis
from redis.asyncio.client import PubSub
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from redis.exceptions import RedisError

from .events import Feed, RoomStates, Watchers, shown_url
from .metrics import Metrics, ProcessMetrics

log = logging.getLogger("varno_serve.events")

ROOM_CHANNEL: Final = "varno:room:"
NODES_CHANNEL: Final = "varno:nodes"
# Seconds: to connect, and for a command's answer.
CONNECT_SECONDS: Final = 1.0
COMMAND_SECONDS: Final = 2.0
# The listener pings Redis after this much silence, and takes the connection as lost
# after SILENT_SECONDS without a word from it.
PING_SECONDS: Final = 1.0
SILENT_SECONDS: Final = 5.0
# How long a new watcher waits for Redis to confirm its room's subscription.
CONFIRM_SECONDS: Final = 2.0
# Reconnecting and publishing again: the first wait, doubled up to the last.
BACKOFF_SECONDS: Final = (0.1, 5.0)
# States waiting to be published (rooms), and published in one round trip at most.
MAX_WAITING: Final = 10_000
BATCH: Final = 256
# Rooms read again from the store at once, in a resynchronisation.
RESYNC_AT_ONCE: Final = 16
# On close, how long the states still waiting may take to go out.
CLOSE_SECONDS: Final = 0.5

# What a lost or unreachable Redis raises.
FAILURES: Final = (RedisError, OSError, asyncio.TimeoutError)


def room_channel(room_id: str) -> str:
    return ROOM_CHANNEL + room_id


@dataclass(frozen=True)
class Event:
    """A room's state as it travels between processes: its version, the JSON text of its
    public state, and when it was published (seconds since the epoch), if known."""

    version: int
    state: str
    published: float | None = None


def encode_event(version: int, state: str, published: float | None = None) -> str:
    """The message of a room's new state: the JSON object ``{"version": V, "state": S}``
    where ``S`` is a JSON string holding the state's JSON text exactly as the room service
    published it, and ``"published"`` (seconds since the epoch) if given."""
    message: dict[str, Any] = {"version": version, "state": state}
    if published is not None:
        message["published"] = published
    return json.dumps(message)


def decode_event(data: bytes | str) -> Event:
    """The event a message holds; ``ValueError`` if it is not one."""
    try:
        message = json.loads(data)
    except (ValueError, UnicodeDecodeError) as wrong:
        raise ValueError(f"not JSON: {wrong}") from None
    if not isinstance(message, dict):
        raise ValueError("not a JSON object")
    version, state = message.get("version"), message.get("state")
    published = message.get("published")
    if type(version) is not int or version < 0:
        raise ValueError("no version")
    if not isinstance(state, str):
        raise ValueError("no state")
    if published is not None and type(published) not in (int, float):
        raise ValueError("published is not a time")
    return Event(version, state, None if published is None else float(published))


class Backoff:
    """Waits that double from ``first`` up to ``last``, each with up to half taken off at
    random, so that processes that lost Redis together do not come back together."""

    def __init__(self, first: float, last: float) -> None:
        self._first, self._last = first, last
        self._next = first

    def reset(self) -> None:
        self._next = self._first

    def next(self) -> float:
        wait = self._next * random.uniform(0.5, 1.0)
        self._next = min(self._last, self._next * 2)
        return wait


class RedisEvents:
    """``Events`` on Redis pub/sub (see the module). ``start`` starts listening;
    publishing alone (a process without watchers) needs no ``start``."""

    shared = True

    def __init__(self, url: str, metrics: ProcessMetrics | None = None, *,
                 silent_seconds: float = SILENT_SECONDS,
                 backoff_seconds: tuple[float, float] = BACKOFF_SECONDS) -> None:
        self.url = url
        self._metrics: ProcessMetrics = metrics if metrics is not None else Metrics()
        self._silent_seconds = silent_seconds
        self._backoff_seconds = backoff_seconds
        options: dict[str, Any] = {"socket_connect_timeout": CONNECT_SECONDS,
                                   "socket_timeout": COMMAND_SECONDS, "socket_keepalive": True}
        # Publishing tries once more on a fresh connection: a pooled one may be stale
        # after Redis restarted.
        self._client = aioredis.Redis.from_url(url, retry=Retry(NoBackoff(), 1), **options)
        # The subscription never reconnects by itself: a connection lost is this class's
        # to see, since the states sent meanwhile are to be caught up on.
        self._listen_client = aioredis.Redis.from_url(url, retry=Retry(NoBackoff(), 0),
                                                      **options)
        self._watchers = Watchers()
        self._states: RoomStates | None = None
        # The subscription connection while it is up; the confirmations it owes, by
        # channel, in the order the subscriptions were sent.
        self._live: PubSub | None = None
        self._confirming: dict[str, deque[asyncio.Future[None]]] = {}
        self._heard = 0.0
        # The states to publish, the newest of each room, the oldest first.
        self._waiting: OrderedDict[str, tuple[int, str, float]] = OrderedDict()
        self._wake = asyncio.Event()
        self._listener: asyncio.Task[None] | None = None
        self._publisher: asyncio.Task[None] | None = None
        self._tasks: set[asyncio.Task[None]] = set()
        # What is failing now (logged once until it works again).
        self._failing: set[str] = set()
        self._closed = False
        self._metrics.events_up.set(0)

    # -- Events --------------------------------------------------------------------------

    async def start(self, states: RoomStates) -> None:
        self._states = states
        if self._listener is None and not self._closed:
            log.info("events: states go to the other nodes through %s", shown_url(self.url))
            self._listener = asyncio.create_task(self._listen(), name="varno-events-listen")

    def publish(self, room_id: str, version: int, state: str) -> None:
        published = time.time()
        self._watchers.offer(room_id, version, state, published, "local")
        if self._closed:
            return
        self._waiting[room_id] = (version, state, published)
        self._waiting.move_to_end(room_id)
        self._bound_waiting()
        self._wake.set()
        if self._publisher is None or self._publisher.done():
            self._publisher = asyncio.create_task(self._publishing(), name="varno-events-publish")

    @contextlib.asynccontextmanager
    async def subscribe(self, room_id: str) -> AsyncIterator[Feed]:
        feed = Feed()
        first = self._watchers.add(room_id, feed)
        try:
            if first:
                await self._follow(room_id)
            yield feed
        finally:
            if self._watchers.discard(room_id, feed):
                self._spawn(self._unfollow(room_id))

    async def healthy(self) -> bool:
        if self._listener is not None and self._live is None:
            return False
        try:
            answered = bool(await asyncio.wait_for(self._client.ping(), COMMAND_SECONDS))
        except FAILURES as failure:
            self._failed("ping", failure)
            return False
        self._recovered("ping")
        return answered

    async def close(self) -> None:
        self._closed = True
        tasks = [*self._tasks, *([self._listener] if self._listener is not None else [])]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        if self._publisher is not None:
            # The states still waiting go out if Redis takes them at once.
            self._wake.set()
            await asyncio.wait({self._publisher}, timeout=CLOSE_SECONDS)
            self._publisher.cancel()
            await asyncio.gather(self._publisher, return_exceptions=True)
        self._watchers.clear()
        for client in (self._client, self._listen_client):
            with contextlib.suppress(*FAILURES):
                await client.aclose()

    # -- for the tests and the operators ------------------------------------------------

    def listening(self) -> bool:
        """Whether the subscription connection is up."""
        return self._live is not None

    def waiting(self) -> int:
        """Rooms whose newest state is still to be published."""
        return len(self._waiting)

    # -- publishing ----------------------------------------------------------------------

    async def _publishing(self) -> None:
        backoff = Backoff(*self._backoff_seconds)
        while True:
            if not self._waiting:
                if self._closed:
                    return
                self._wake.clear()
                await self._wake.wait()
                continue
            batch = [self._waiting.popitem(last=False)
                     for _ in range(min(BATCH, len(self._waiting)))]
            if await self._send(batch):
                backoff.reset()
                continue
            # Back where they were, unless a newer state of the room came meanwhile.
            for room_id, entry in reversed(batch):
                if room_id not in self._waiting:
                    self._waiting[room_id] = entry
                    self._waiting.move_to_end(room_id, last=False)
            self._bound_waiting()
            if self._closed:
                return
            await asyncio.sleep(backoff.next())

    async def _send(self, batch: list[tuple[str, tuple[int, str, float]]]) -> bool:
        try:
            async with self._client.pipeline(transaction=False) as pipe:
                for room_id, (version, state, published) in batch:
                    pipe.publish(room_channel(room_id), encode_event(version, state, published))
                await pipe.execute()
        except FAILURES as failure:
            self._failed("publish", failure, "states wait, the newest of each room, and "
                         "are published when Redis is back")
            return False
        self._metrics.events_published.inc(len(batch))
        self._recovered("publish", "events: publishing to Redis again")
        return True

    def _bound_waiting(self) -> None:
        while len(self._waiting) > MAX_WAITING:
            self._waiting.popitem(last=False)
            self._metrics.events_dropped.inc()

    # -- listening -----------------------------------------------------------------------

    async def _listen(self) -> None:
        backoff = Backoff(*self._backoff_seconds)
        while True:
            pubsub = self._listen_client.pubsub()
            try:
                await pubsub.subscribe(NODES_CHANNEL)
                # Up once Redis answers, not once a connection is open (a Redis that is
                # stopped still has the kernel accept connections).
                answer = await pubsub.get_message(timeout=COMMAND_SECONDS)
                if answer is None or answer.get("type") != "subscribe":
                    raise ConnectionError("Redis did not confirm the subscription")
                self._live = pubsub
                self._heard = asyncio.get_running_loop().time()
                rooms = self._watchers.rooms()
                confirmations = await self._subscribe_on(pubsub, rooms)
                self._metrics.events_up.set(1)
                backoff.reset()
                self._recovered("listen", f"events: listening to Redis again; {len(rooms)} "
                                "watched rooms are read again from the store")
                if rooms:
                    self._spawn(self._resync(rooms, confirmations))
                await self._read(pubsub)
            except FAILURES as failure:
                self._failed("listen", failure, "watchers here get this node's states "
                             "only until it is back")
            except Exception:
                # Not a failure of Redis's: logged whole, and listening begins again.
                log.exception("events: listening to Redis failed")
            finally:
                self._live = None
                self._metrics.events_up.set(0)
                for waiting in self._confirming.values():
                    for confirmation in waiting:
                        if not confirmation.done():
                            confirmation.set_result(None)
                self._confirming.clear()
                with contextlib.suppress(*FAILURES):
                    await pubsub.aclose()
            await asyncio.sleep(backoff.next())

    async def _read(self, pubsub: PubSub) -> None:
        """Takes what arrives on the subscription until it fails or falls silent."""
        loop = asyncio.get_running_loop()
        while True:
            message = await pubsub.get_message(timeout=PING_SECONDS)
            now = loop.time()
            if message is None:
                silent = now - self._heard
                if silent >= self._silent_seconds:
                    raise ConnectionError(f"no answer from Redis in {silent:.1f} s")
                if silent >= PING_SECONDS:
                    await pubsub.ping()
                continue
            self._heard = now
            self._received(message)

    def _received(self, message: dict[str, Any]) -> None:
        kind, name = message.get("type"), message.get("channel")
        if isinstance(name, bytes):
            name = name.decode("utf-8", "replace")
        if not isinstance(name, str):
            return
        if kind == "subscribe":
            waiting = self._confirming.get(name)
            if waiting:
                confirmation = waiting.popleft()
                if not waiting:
                    del self._confirming[name]
                if not confirmation.done():
                    confirmation.set_result(None)
            return
        if kind != "message" or not name.startswith(ROOM_CHANNEL):
            return
        room_id = name[len(ROOM_CHANNEL):]
        if not self._watchers.watching(room_id):
            return      # its last watcher left; the unsubscription is on its way
        try:
            event = decode_event(message.get("data", b""))
        except ValueError as wrong:
            self._metrics.redis_errors.labels("decode").inc()
            log.debug("events: a message on %s is not a room's state: %s", name, wrong)
            return
        self._metrics.events_received.inc()
        self._watchers.offer(room_id, event.version, event.state, event.published, "bus")

    async def _subscribe_on(self, pubsub: PubSub,
                            rooms: Iterable[str]) -> list[asyncio.Future[None]]:
        """Subscribes ``pubsub`` to the rooms' channels; the confirmations to wait for."""
        loop = asyncio.get_running_loop()
        channels = [room_channel(room_id) for room_id in rooms]
        confirmations: list[asyncio.Future[None]] = []
        for name in channels:
            confirmation: asyncio.Future[None] = loop.create_future()
            self._confirming.setdefault(name, deque()).append(confirmation)
            confirmations.append(confirmation)
        if channels:
            await pubsub.subscribe(*channels)
        return confirmations

    async def _follow(self, room_id: str) -> None:
        """Subscribes to the room's channel (its first watcher here), and waits for Redis
        to confirm it. Without Redis, nothing: the listener subscribes it once it is back."""
        pubsub = self._live
        if pubsub is None:
            return
        try:
            confirmations = await self._subscribe_on(pubsub, [room_id])
            await asyncio.wait_for(asyncio.shield(confirmations[0]), CONFIRM_SECONDS)
        except FAILURES as failure:
            self._failed("subscribe", failure)
        else:
            self._recovered("subscribe")

    async def _unfollow(self, room_id: str) -> None:
        """Unsubscribes from the room's channel, unless a watcher came back meanwhile."""
        pubsub = self._live
        if pubsub is None or self._watchers.watching(room_id):
            return
        try:
            await pubsub.unsubscribe(room_channel(room_id))
        except FAILURES as failure:
            self._failed("subscribe", failure)

    async def _resync(self, rooms: list[str], confirmations: list[asyncio.Future[None]]) -> None:
        """Once subscribed again, offers each watched room's current state, read from the
        store: whatever was published while this process was not listening."""
        if confirmations:
            await asyncio.wait(confirmations, timeout=CONFIRM_SECONDS)
        rooms = [room_id for room_id in rooms if self._watchers.watching(room_id)]
        for first in range(0, len(rooms), RESYNC_AT_ONCE):
            await asyncio.gather(*map(self._catch_up, rooms[first:first + RESYNC_AT_ONCE]))

    async def _catch_up(self, room_id: str) -> None:
        states = self._states
        if states is None:
            return
        try:
            found = await states.room_state(room_id)
        except Exception:
            log.exception("events: room %s could not be read again", room_id)
            return
        if found is not None:
            version, state = found
            self._watchers.offer(room_id, version, state, None, "store")
            self._metrics.events_resynced.inc()

    # -- tasks and failures --------------------------------------------------------------

    def _spawn(self, work: Coroutine[Any, Any, None]) -> None:
        if self._closed:
            work.close()
            return
        task = asyncio.create_task(work)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    def _failed(self, operation: str, failure: BaseException, consequence: str = "") -> None:
        """Counts a failed Redis call; logs it if ``operation`` was working until now (a
        warning per outage, not per failure)."""
        self._metrics.redis_errors.labels(operation).inc()
        if operation in self._failing or self._closed:
            log.debug("events: %s failed again: %s", operation, failure)
            return
        self._failing.add(operation)
        log.warning("events: Redis %s failed (%s: %s)%s", operation, type(failure).__name__,
                    failure, f"; {consequence}" if consequence else "")

    def _recovered(self, operation: str, message: str = "") -> None:
        """``operation`` works (again); ``message`` is logged if it had failed."""
        if operation in self._failing:
            self._failing.discard(operation)
            if message:
                log.info("%s", message)
