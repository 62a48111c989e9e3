"""New rooms per client address counted across every node that shares a Redis server
(``--events redis://...``), so that a client spread over the nodes by the load balancer
makes no more rooms than it could on one.

A client's allowance is a token bucket in the hash ``varno:limits:rooms:{client}`` (the
tokens and when they were counted), taken by one Lua script on Redis's own clock, so
that the nodes' clocks need not agree. A bucket untouched for as long as it takes to
fill again expires: Redis holds only the clients that made rooms lately.

Requests stay counted by each node alone (``RateLimiter``): they bound that node's work.
While Redis cannot be reached, new rooms are counted by the node alone too, as without
``--events``: the site's bound is then the nodes' sum for that while, never none.
"""

from __future__ import annotations

import asyncio
import logging
import math
from typing import Final

from redis.exceptions import RedisError

from .limits import Limits, RateLimiter
from .metrics import Metrics
from .redis_bots import connect

log = logging.getLogger("varno_serve")

KEY: Final = "varno:limits:rooms:"
# How long a count may take before the node counts alone.
TIMEOUT_SECONDS: Final = 1.0
# Takes a token from KEYS[1] (burst ARGV[1], ARGV[2] a second, expiring after ARGV[3]
# ms): 0 if one was there, else the seconds until there is one (and nothing taken).
TAKE: Final = """
local burst, rate, expire = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local clock = redis.call('TIME')
local now = tonumber(clock[1]) + tonumber(clock[2]) / 1000000
local held = redis.call('HMGET', KEYS[1], 'tokens', 'stamp')
local tokens, stamp = tonumber(held[1]), tonumber(held[2])
if tokens == nil or stamp == nil then
  tokens, stamp = burst, now
end
tokens = math.min(burst, tokens + math.max(0, now - stamp) * rate)
local wait = 0
if tokens >= 1 then
  tokens = tokens - 1
else
  wait = (1 - tokens) / rate
end
redis.call('HSET', KEYS[1], 'tokens', tostring(tokens), 'stamp', tostring(now))
redis.call('PEXPIRE', KEYS[1], expire)
return tostring(wait)
"""


class SharedRoomAllowance:
    """``RoomAllowance`` on Redis at ``url``: ``room_creations_per_minute`` per client
    address for the whole site, as a burst and as the rate it comes back at."""

    def __init__(self, url: str, limits: Limits, metrics: Metrics) -> None:
        self._redis = connect(url)
        self._take = self._redis.register_script(TAKE)
        self._burst = float(limits.room_creations_per_minute)
        self._rate = limits.room_creations_per_minute / 60.0
        # A second beyond the time an empty bucket takes to fill.
        self._expire_ms = math.ceil(self._burst / self._rate * 1000) + 1000
        self._alone = RateLimiter(limits)
        self._metrics = metrics
        self._failing = False

    async def new_room(self, client: str) -> float:
        try:
            wait = await asyncio.wait_for(
                self._take(keys=[KEY + client], args=[self._burst, self._rate, self._expire_ms]),
                TIMEOUT_SECONDS)
        except (RedisError, OSError, asyncio.TimeoutError) as failure:
            self._metrics.redis_errors.labels("limits").inc()
            if not self._failing:
                self._failing = True
                log.warning("new rooms are counted by this node alone: Redis failed (%s: %s)",
                            type(failure).__name__, failure)
            return self._alone.new_room(client)
        if self._failing:
            self._failing = False
            log.info("new rooms are counted for the whole site again")
        return float(wait)

    async def close(self) -> None:
        await self._redis.aclose()
