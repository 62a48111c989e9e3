"""The bot's queue on Redis, shared by every server node and ``varno-bot-worker``:
``RedisQueue`` (the queue itself) and ``RedisBots``, the ``BotScheduler`` of a node
started with ``--queue redis://...``, which searches nothing itself.

**The choice.** Redis Streams with a consumer group: an entry is taken by one consumer
(``XREADGROUP``), stays in the group's list of pending entries until it is acknowledged
(``XACK``), and an entry whose consumer has not touched it for the lease's time is taken
over by another (``XPENDING ... IDLE`` then ``XCLAIM`` with that minimum idle time, the
claim being refused if the consumer renewed it meanwhile). A worker renews its lease
while it searches (``XCLAIM ... JUSTID``, which resets the entry's idle time and not its
count of deliveries). That is the whole of what a job needs from a broker, built into
the Redis server the events already use, and it keeps the two things a plain task queue
would not: the bound and the order. (A task-queue library on Redis orders its jobs by
the time they may start, so a job ordered by a due time in the future would keep a free
worker idle until then; and none knows of a bound taken before the job exists.)

**The keys**, all ``varno:bots:*``:

* ``varno:bots:places``: a hash, room → its place in the queue. ``r:TOKEN:TIME`` is a
  place reserved by a node before its commit; ``v:VERSION:CLASS:ENTRY`` a job enqueued
  for the room at that version (the stream entry that carries it). The bound is this
  hash's length: a place is reserved (``reserve``, one Lua script: the room's place if
  it holds one, else a new one if fewer than ``pending_searches`` are taken) before the
  change that hands the turn to the bot is stored, given back if the commit fails
  (``release``, only the place that node reserved), turned into a job once the change
  is stored (``enqueue``), and freed with the job (``finish``). So at most
  ``pending_searches`` searches wait or run across all nodes.
* ``varno:bots:jobs:K``: the streams of jobs, one per cost class ``K``; an entry is
  ``room``, ``version``, ``due`` and ``asked`` (when it was enqueued). Group ``workers``.
* ``varno:bots:wake``: a short stream that each job enqueued touches, on which idle
  workers block (``XREAD BLOCK`` from the last entry they saw: no wake-up is missed).
* ``varno:bots:ready``: set once the rooms that the store lists as waiting for the bot
  are known to the queue (``reconcile``); until then no place is reserved, so after
  Redis restarts empty the rooms that were waiting take their places before new ones.
* ``varno:bots:reconciling``, ``varno:bots:pass``: one reconciliation at a time.

Every process that uses the queue names itself: a worker by its ``--name`` (its consumer
in the group), a node by its address and pid. A worker that holds no job and has not
been seen for ``FORGET_SECONDS`` is dropped from the group.

**A job** is a room and a version: the worker plays the bot's move only if the room is
still at that version, with the store's compare-and-set, so a job run twice (its worker
died after playing, a lease taken over from a slow worker, a job enqueued twice) plays
the turn once. ``enqueue`` is idempotent: a room whose place already holds a job for
that version, whose entry still exists, is left as it is, and an older version never
replaces a newer one.

**The order.** A job's ``due`` is the time it was asked for plus ``AGEING`` times its
expected cost (``varno_serve.bots.due``). Its cost class is the bucket of its *slack*,
``due`` less the time it is enqueued (30 times the expected cost for a fresh job; 0 or
less for a job that is overdue, which goes to the cheapest class): classes are
``CLASS_STEP`` (the square root of 2) apart. A free worker takes, in one Lua script, the
entry due first among the first waiting entry of each class and the first entry of
each class whose lease has lapsed. Within a class entries go in the order they were
enqueued. So the job taken is never due later than any waiting job J's own due plus
``CLASS_STEP - 1`` (0.42) of J's slack (about 12 times J's expected cost), except that
an overdue job waits behind the class-0 jobs enqueued before it (each due within
0.042 s of its enqueueing): a depth-1 search is not stuck behind depth-12 ones, and a
deep search asked long ago goes before shallow ones asked since, so nothing starves.

**Nothing lost.** A node that dies after storing a change that hands the bot its turn,
before enqueuing the job, leaves the room waiting in the store with no job; Redis
restarted empty leaves every waiting room without one. ``reconcile`` lists the rooms the
store has waiting for the bot and enqueues each (idempotent, as above); every node and
every worker runs it at start and every ``RECONCILE_SECONDS``, one pass at a time across
the cluster. It also drops places reserved more than ``RESERVATION_SECONDS`` ago and
never committed (the node died before its commit ended).

While Redis cannot be reached, a change that would hand the bot its turn is refused
(``Busy``, 503): the bound cannot be checked, and no worker could take the job anyway.
Every other request goes on as before.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import math
import secrets
import time
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from typing import Any, Final

import redis.asyncio as aioredis
from redis.asyncio.retry import Retry
from redis.backoff import ExponentialBackoff
from redis.exceptions import RedisError

from .bots import AGEING, DISPATCH_SECONDS, UNOBSERVED, BotHost, BotObserver
from .errors import Busy
from .store import RoomStore, WaitingRoom

log = logging.getLogger("varno_serve")

PREFIX: Final = "varno:bots:"
PLACES: Final = PREFIX + "places"
READY: Final = PREFIX + "ready"
WAKE: Final = PREFIX + "wake"
RECONCILING: Final = PREFIX + "reconciling"
PASS: Final = PREFIX + "pass"
GROUP: Final = "workers"

# The cost classes: class 0 holds every job whose slack is under LEAST_SLACK * CLASS_STEP
# (the cheapest searches, and jobs overdue), class K >= 1 those from LEAST_SLACK *
# CLASS_STEP**K on; the last holds all the dearer ones (a depth-12 search at the deal has
# a slack of about 27 s, in class 19).
CLASS_STEP: Final = math.sqrt(2.0)
LEAST_SLACK: Final = AGEING * DISPATCH_SECONDS
CLASSES: Final = 21
STREAMS: Final = tuple(f"{PREFIX}jobs:{k}" for k in range(CLASSES))

# How often every node and worker reconciles the queue with the store (one of them does,
# each time), and after how long a place reserved and never committed is dropped.
RECONCILE_SECONDS: Final = 5.0
RESERVATION_SECONDS: Final = 60.0
# The rooms waiting for the bot that one reconciliation reads from the store at a time.
RECONCILE_PAGE: Final = 200
# How long a worker that holds no job may stay unseen before the queue forgets it.
FORGET_SECONDS: Final = 3600.0
# How long a node's start waits for the queue's first reconciliation.
START_SECONDS: Final = 10.0
# Retry-After of a refusal: while the queue is full, or out of reach or starting.
FULL_RETRY_SECONDS: Final = 2.0
UNREADY_RETRY_SECONDS: Final = 1.0
# Redis's timeouts: a command answers within this (an idle worker blocks for less).
REDIS_TIMEOUT_SECONDS: Final = 3.0
REDIS_CONNECT_SECONDS: Final = 1.0


def cost_class(slack: float) -> int:
    """The class of a job enqueued ``slack`` seconds before it is due."""
    if slack < LEAST_SLACK * CLASS_STEP:
        return 0
    return min(CLASSES - 1, int(math.log(slack / LEAST_SLACK) / math.log(CLASS_STEP)))


# Reserves a place. KEYS: places, ready. ARGV: room, the place's value, the bound (0: none,
# and the queue need not be ready). 1 reserved, 0 the room holds a place already, -1 the
# queue is full, -2 the queue is not ready.
_RESERVE: Final = """
local bound = tonumber(ARGV[3])
if bound > 0 and redis.call('EXISTS', KEYS[2]) == 0 then return -2 end
if redis.call('HEXISTS', KEYS[1], ARGV[1]) == 1 then return 0 end
if bound > 0 and redis.call('HLEN', KEYS[1]) >= bound then return -1 end
redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
return 1
"""

# Gives a place back if it still is the one given. KEYS: places. ARGV: room, place.
_RELEASE: Final = """
if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then
  return redis.call('HDEL', KEYS[1], ARGV[1])
end
return 0
"""

# Enqueues a job unless the room's place holds it (or a newer one) already. KEYS: places,
# wake, the class streams. ARGV: room, version, due, asked, class, group. 1 if enqueued.
_ENQUEUE: Final = """
local room, version = ARGV[1], tonumber(ARGV[2])
local held = redis.call('HGET', KEYS[1], room)
if held then
  local v, k, id = string.match(held, '^v:(%d+):(%d+):(.+)$')
  if v then
    v = tonumber(v)
    if v > version then return 0 end
    if v == version and #redis.call('XRANGE', KEYS[3 + tonumber(k)], id, id) > 0 then
      return 0
    end
  end
end
local stream = KEYS[3 + tonumber(ARGV[5])]
if redis.call('EXISTS', stream) == 0 then
  redis.call('XGROUP', 'CREATE', stream, ARGV[6], '0', 'MKSTREAM')
end
local id = redis.call('XADD', stream, '*', 'room', room, 'version', ARGV[2], 'due', ARGV[3],
                      'asked', ARGV[4])
redis.call('HSET', KEYS[1], room, 'v:' .. ARGV[2] .. ':' .. ARGV[5] .. ':' .. id)
redis.call('XADD', KEYS[2], 'MAXLEN', '~', '100', '*', 'room', room)
return 1
"""

# A field of a reply that lists names and values in turn.
_FIELD: Final = """
local function field(flat, name)
  for i = 1, #flat, 2 do
    if flat[i] == name then return flat[i + 1] end
  end
  return nil
end
"""

# Takes the job due first for a consumer. KEYS: wake, the class streams. ARGV: group,
# consumer, the lease in ms. {wake's last id} when there is none, else {wake's last id,
# class, entry id, entry fields, deliveries}.
_TAKE: Final = _FIELD + """
local group, consumer, lease = ARGV[1], ARGV[2], ARGV[3]
local best, best_due, best_key, best_lapsed
for key = 2, #KEYS do
  local stream = KEYS[key]
  if redis.call('EXISTS', stream) == 1 then
    local lapsed = redis.call('XPENDING', stream, group, 'IDLE', lease, '-', '+', 1)
    if #lapsed > 0 then
      local id = lapsed[1][1]
      local entry = redis.call('XRANGE', stream, id, id)
      if #entry == 0 then
        redis.call('XACK', stream, group, id)
      else
        local due = tonumber(field(entry[1][2], 'due'))
        if best == nil or due < best_due then
          best, best_due, best_key, best_lapsed = id, due, key, true
        end
      end
    end
    local last = '0-0'
    for _, g in ipairs(redis.call('XINFO', 'GROUPS', stream)) do
      if field(g, 'name') == group then last = field(g, 'last-delivered-id') end
    end
    local waiting = redis.call('XRANGE', stream, '(' .. last, '+', 'COUNT', 1)
    if #waiting > 0 then
      local due = tonumber(field(waiting[1][2], 'due'))
      if best == nil or due < best_due then
        best, best_due, best_key, best_lapsed = waiting[1][1], due, key, false
      end
    end
  end
end
local wake = redis.call('XREVRANGE', KEYS[1], '+', '-', 'COUNT', 1)
local wake_id = '0-0'
if #wake > 0 then wake_id = wake[1][1] end
if best == nil then return {wake_id} end
local stream = KEYS[best_key]
local entry
local deliveries = 1
if best_lapsed then
  entry = redis.call('XCLAIM', stream, group, consumer, lease, best)[1]
  deliveries = redis.call('XPENDING', stream, group, best, best, 1)[1][4]
else
  entry = redis.call('XREADGROUP', 'GROUP', group, consumer, 'COUNT', 1, 'STREAMS', stream,
                     '>')[1][2][1]
end
return {wake_id, best_key - 2, entry[1], entry[2], deliveries}
"""

# Renews a consumer's lease on an entry, or gives it back (an idle time past any lease).
# KEYS: stream. ARGV: group, consumer, id, idle in ms. 1 if the entry was the consumer's.
_HOLD: Final = """
local mine = redis.call('XPENDING', KEYS[1], ARGV[1], ARGV[3], ARGV[3], 1, ARGV[2])
if #mine == 0 then return 0 end
redis.call('XCLAIM', KEYS[1], ARGV[1], ARGV[2], 0, ARGV[3], 'IDLE', ARGV[4], 'JUSTID')
return 1
"""

# A job done: acknowledged, deleted, and its place freed unless it holds a newer job.
# KEYS: places, stream. ARGV: group, id, room, place.
_FINISH: Final = """
redis.call('XACK', KEYS[2], ARGV[1], ARGV[2])
redis.call('XDEL', KEYS[2], ARGV[2])
if redis.call('HGET', KEYS[1], ARGV[3]) == ARGV[4] then
  redis.call('HDEL', KEYS[1], ARGV[3])
end
return 1
"""

# Drops the places reserved before ARGV[1] (seconds since the epoch). KEYS: places.
_EXPIRE: Final = """
local gone = 0
local all = redis.call('HGETALL', KEYS[1])
for i = 1, #all, 2 do
  local at = string.match(all[i + 1], '^r:[^:]*:(.+)$')
  if at and tonumber(at) < tonumber(ARGV[1]) then
    redis.call('HDEL', KEYS[1], all[i])
    gone = gone + 1
  end
end
return gone
"""

# Forgets the consumers (workers) that hold no job and were idle longer than ARGV[2] ms:
# each worker that ever ran would be kept for ever. KEYS: the class streams. ARGV: group.
_FORGET: Final = _FIELD + """
local gone = 0
for _, stream in ipairs(KEYS) do
  if redis.call('EXISTS', stream) == 1 then
    for _, consumer in ipairs(redis.call('XINFO', 'CONSUMERS', stream, ARGV[1])) do
      if field(consumer, 'pending') == 0 and field(consumer, 'idle') > tonumber(ARGV[2]) then
        redis.call('XGROUP', 'DELCONSUMER', stream, ARGV[1], field(consumer, 'name'))
        gone = gone + 1
      end
    end
  end
end
return gone
"""

# The queue is ready if the pass that reconciled it began on this same Redis (its key
# is gone after a restart). KEYS: pass, ready. ARGV: the pass's token.
_READY: Final = """
if redis.call('GET', KEYS[1]) == ARGV[1] then
  redis.call('SET', KEYS[2], ARGV[1])
  return 1
end
return 0
"""

# The places taken, and the jobs a worker holds. KEYS: places, the class streams. ARGV:
# group. {places, held}.
_LENGTHS: Final = """
local held = 0
for key = 2, #KEYS do
  if redis.call('EXISTS', KEYS[key]) == 1 then
    held = held + redis.call('XPENDING', KEYS[key], ARGV[1])[1]
  end
end
return {redis.call('HLEN', KEYS[1]), held}
"""

# A given-back job's idle time: past any lease, so the next free worker takes it over.
GIVEN_BACK_MS: Final = 10**9


@dataclass(frozen=True)
class Job:
    """A job taken from the queue: the bot is to move in ``room_id`` at ``version``."""

    room_id: str
    version: int
    due: float
    asked: float
    cost_class: int
    entry: str
    # How many times the entry was taken: more than 1 after a worker died with it.
    deliveries: int

    @property
    def stream(self) -> str:
        return STREAMS[self.cost_class]

    @property
    def place(self) -> str:
        """The room's place while this job is its own."""
        return f"v:{self.version}:{self.cost_class}:{self.entry}"


def _text(value: Any) -> str:
    return value.decode() if isinstance(value, bytes) else str(value)


def _job(reply: list[Any]) -> Job:
    _, cost, entry, flat, deliveries = reply
    fields = {_text(flat[i]): _text(flat[i + 1]) for i in range(0, len(flat), 2)}
    return Job(room_id=fields["room"], version=int(fields["version"]), due=float(fields["due"]),
               asked=float(fields["asked"]), cost_class=int(cost), entry=_text(entry),
               deliveries=int(deliveries))


def connect(url: str) -> aioredis.Redis:
    """A client of the Redis server at ``url``, with short timeouts and one quick retry
    (a connection broken by a restart of the server is made again once)."""
    client: aioredis.Redis = aioredis.Redis.from_url(
        url, decode_responses=True, socket_timeout=REDIS_TIMEOUT_SECONDS,
        socket_connect_timeout=REDIS_CONNECT_SECONDS,
        retry=Retry(ExponentialBackoff(cap=0.1, base=0.02), 1))
    return client


class RedisQueue:
    """The queue's operations, each one round trip (most a Lua script, atomic)."""

    def __init__(self, client: aioredis.Redis, clock: Callable[[], float] = time.time) -> None:
        self.redis = client
        self._clock = clock
        self._reserve = client.register_script(_RESERVE)
        self._release = client.register_script(_RELEASE)
        self._enqueue = client.register_script(_ENQUEUE)
        self._take = client.register_script(_TAKE)
        self._hold = client.register_script(_HOLD)
        self._finish = client.register_script(_FINISH)
        self._expire = client.register_script(_EXPIRE)
        self._forget = client.register_script(_FORGET)
        self._ready = client.register_script(_READY)
        self._lengths = client.register_script(_LENGTHS)

    async def reserve(self, room_id: str, place: str, bound: int) -> int:
        """Reserves ``place`` for the room: 1 reserved, 0 the room holds a place, -1 full,
        -2 not ready (``bound`` 0: no bound, and no need to be ready)."""
        return int(await self._reserve(keys=[PLACES, READY], args=[room_id, place, bound]))

    async def release(self, room_id: str, place: str) -> bool:
        return bool(await self._release(keys=[PLACES], args=[room_id, place]))

    async def enqueue(self, room_id: str, version: int, due: float) -> bool:
        """Enqueues the job of the room at ``version``, due at ``due``, unless it is there
        already; whether it was enqueued now."""
        now = self._clock()
        done = await self._enqueue(
            keys=[PLACES, WAKE, *STREAMS],
            args=[room_id, version, repr(due), repr(now), cost_class(due - now), GROUP])
        return bool(done)

    async def take(self, consumer: str, lease: float) -> tuple[Job | None, str]:
        """The job due first, now ``consumer``'s for ``lease`` seconds unless renewed, or
        None; and the last entry of the wake-up stream, for ``wait``."""
        reply = await self._take(keys=[WAKE, *STREAMS],
                                 args=[GROUP, consumer, max(1, int(lease * 1000))])
        wake = _text(reply[0])
        return (_job(reply) if len(reply) > 1 else None), wake

    async def wait(self, after: str, seconds: float) -> None:
        """Returns once a job is enqueued after the wake-up entry ``after``, or after
        ``seconds``."""
        await self.redis.xread({WAKE: after}, count=1, block=max(1, int(seconds * 1000)))

    async def renew(self, job: Job, consumer: str) -> bool:
        """Renews ``consumer``'s lease on ``job``; False if the job is not its own any more
        (taken over, or gone)."""
        return bool(await self._hold(keys=[job.stream], args=[GROUP, consumer, job.entry, 0]))

    async def give_back(self, job: Job, consumer: str) -> bool:
        """Gives ``job`` back: the next free worker takes it over at once."""
        return bool(await self._hold(keys=[job.stream],
                                     args=[GROUP, consumer, job.entry, GIVEN_BACK_MS]))

    async def finish(self, job: Job) -> None:
        await self._finish(keys=[PLACES, job.stream],
                           args=[GROUP, job.entry, job.room_id, job.place])

    async def places(self) -> int:
        """Places taken: searches reserved, waiting or running."""
        return int(await self.redis.hlen(PLACES))

    async def lengths(self) -> tuple[int, int]:
        """The searches waiting (places reserved included) and those a worker holds."""
        places, held = await self._lengths(keys=[PLACES, *STREAMS], args=[GROUP])
        return max(0, int(places) - int(held)), int(held)

    async def reconcile(self, store: RoomStore, name: str, every: float) -> int | None:
        """Enqueues every room the store lists as waiting for the bot (those enqueued
        already are left as they are), drops the places reserved long ago and never
        committed and the workers long gone, and marks the queue ready; how many jobs
        were enqueued, or None if another process reconciled less than ``every`` seconds
        ago."""
        if not await self.redis.set(RECONCILING, name, nx=True, px=max(1, int(every * 1000))):
            return None
        token = f"{name}:{secrets.token_hex(8)}"
        await self.redis.set(PASS, token)
        enqueued = 0
        after: WaitingRoom | None = None
        while True:
            rooms = await store.rooms_waiting_for_bot(after, RECONCILE_PAGE)
            for room in rooms:
                if await self.enqueue(room.room_id, room.version, room.due):
                    enqueued += 1
            if len(rooms) < RECONCILE_PAGE:
                break
            after = rooms[-1]
        await self._expire(keys=[PLACES], args=[repr(self._clock() - RESERVATION_SECONDS)])
        await self._forget(keys=list(STREAMS), args=[GROUP, int(FORGET_SECONDS * 1000)])
        await self._ready(keys=[PASS, READY], args=[token])
        return enqueued

    async def healthy(self) -> bool:
        try:
            return bool(await asyncio.wait_for(self.redis.ping(), REDIS_TIMEOUT_SECONDS))
        except (RedisError, OSError, asyncio.TimeoutError):
            return False

    async def close(self) -> None:
        await self.redis.aclose()


class RedisBots:
    """``BotScheduler`` on a ``RedisQueue``: the searches are the workers'.

    ``bounded`` is False for the workers' own use: a move of the bot that hands the bot
    its turn again (the person had to pass) keeps the room's place, or takes one beyond
    the bound should the place be lost (the turn was admitted already). ``observer`` is
    told the queue's length (the whole queue's, read from Redis at each reconciliation's
    turn); the searches' waits and times are the workers' to tell.
    """

    # The bot's moves are stored by other processes: rooms in memory may be stale.
    remote = True

    def __init__(self, queue: RedisQueue, store: RoomStore, *, pending_searches: int,
                 name: str, bounded: bool = True, reconcile_seconds: float = RECONCILE_SECONDS,
                 clock: Callable[[], float] = time.time,
                 observer: BotObserver = UNOBSERVED) -> None:
        self.queue = queue
        self.pending_searches = pending_searches
        self.name = name
        self._store = store
        self._bounded = bounded
        self._every = reconcile_seconds
        self._clock = clock
        self._observer = observer
        self._host: BotHost | None = None
        # The places this process reserved and has not committed yet, by room.
        self._reserved: dict[str, str] = {}
        # Enqueuings and releases under way.
        self._sending: set[asyncio.Task[None]] = set()
        self._reconciler: asyncio.Task[None] | None = None
        self._reconcile_now = asyncio.Event()
        self._reconciled = asyncio.Event()

    # -- BotScheduler --------------------------------------------------------------------

    async def start(self, host: BotHost) -> None:
        """Reconciles the queue with the store now and every ``reconcile_seconds``; waits
        (up to ``START_SECONDS``) for the first pass, by this process or another."""
        self._host = host
        self._reconciler = asyncio.create_task(self._reconcile_every())
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._reconciled.wait(), START_SECONDS)

    async def reserve(self, room_id: str) -> bool:
        place = f"r:{secrets.token_hex(6)}:{self._clock():.3f}"
        try:
            taken = await self.queue.reserve(room_id, place,
                                             self.pending_searches if self._bounded else 0)
        except RedisError as failure:
            log.warning("the bot's queue cannot be reached: %s", failure)
            raise Busy("the bot's queue cannot be reached; try again shortly", "bot_busy",
                       UNREADY_RETRY_SECONDS) from None
        if taken == 1:
            self._reserved[room_id] = place
            return True
        if taken == 0:
            return False
        if taken == -2:
            self._reconcile_now.set()
            raise Busy("the bot's queue is starting; try again shortly", "bot_busy",
                   UNREADY_RETRY_SECONDS)
        raise Busy("the bot has too many searches waiting; try again shortly", "bot_busy",
                   FULL_RETRY_SECONDS)

    def request(self, room_id: str, version: int, due: float) -> None:
        self._reserved.pop(room_id, None)
        self._send(self._enqueue(room_id, version, due))
        # The room waits for a worker, not for this process: it need not stay in memory.
        if self._host is not None:
            self._host.bot_done(room_id)

    def cancel(self, room_id: str) -> None:
        place = self._reserved.pop(room_id, None)
        if place is not None:
            self._send(self._release(room_id, place))

    async def close(self) -> None:
        if self._reconciler is not None:
            self._reconciler.cancel()
            await asyncio.gather(self._reconciler, return_exceptions=True)
        await self.flush(timeout=0.5)
        for task in self._sending:
            task.cancel()
        await asyncio.gather(*self._sending, return_exceptions=True)
        await self.queue.close()

    async def healthy(self) -> bool:
        return await self.queue.healthy()

    # -- for the workers and the tests -----------------------------------------------------

    async def flush(self, timeout: float | None = None) -> None:
        """Waits for the enqueuings and releases under way (at most ``timeout`` seconds)."""
        if self._sending:
            await asyncio.wait(set(self._sending), timeout=timeout)

    async def reconcile(self) -> int | None:
        """One reconciliation now (unless another process made one lately)."""
        enqueued = await self.queue.reconcile(self._store, self.name, self._every)
        if enqueued is not None:
            self._reconciled.set()
            if enqueued:
                log.info("%d bot turns waiting in the store were put on the queue", enqueued)
        return enqueued

    # -- inside ------------------------------------------------------------------------------

    def _send(self, sending: Coroutine[Any, Any, None]) -> None:
        task: asyncio.Task[None] = asyncio.create_task(sending)
        self._sending.add(task)
        task.add_done_callback(self._sending.discard)

    async def _enqueue(self, room_id: str, version: int, due: float) -> None:
        try:
            await self.queue.enqueue(room_id, version, due)
        except RedisError as failure:
            # The room waits in the store: the next reconciliation enqueues it.
            log.warning("room %s: the bot's turn was not enqueued (%s); it will be when "
                        "the queue is reconciled", room_id, failure)

    async def _release(self, room_id: str, place: str) -> None:
        try:
            await self.queue.release(room_id, place)
        except RedisError as failure:
            log.warning("room %s: its place in the bot's queue was not given back (%s); it "
                        "lapses in %g s", room_id, failure, RESERVATION_SECONDS)

    async def _reconcile_every(self) -> None:
        while True:
            try:
                if await self.queue.redis.exists(READY):
                    self._reconciled.set()
                await self.reconcile()
                self._observer.queue_length(*await self.queue.lengths())
            except asyncio.CancelledError:
                raise
            except Exception as failure:
                log.warning("the bot's queue was not reconciled with the store: %s", failure)
            self._reconcile_now.clear()
            try:
                await asyncio.wait_for(self._reconcile_now.wait(), self._every)
            except asyncio.TimeoutError:
                pass
