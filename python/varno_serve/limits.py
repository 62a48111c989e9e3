"""The server's limits, by name, and the rate limit of its clients.

Every limit has a name and a default sensible for one public machine; ``--limit
NAME=VALUE`` (repeatable) sets one. ``RateLimiter`` holds the requests a client may still
make.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Final


@dataclass(frozen=True)
class Limits:
    # Requests a client may make: a burst of request_burst, then this many a second.
    requests_per_second: float = 10.0
    request_burst: int = 20
    # New rooms a client may make in a minute.
    room_creations_per_minute: int = 20
    # Searches that may wait for a bot worker. Not enforced yet: the bot's queue is
    # not bounded.
    pending_searches: int = 200
    # Seconds a request's body may take to arrive (varno_serve.web.bodies). Connections
    # idle this long are not closed yet.
    idle_seconds: float = 20.0
    # Idle connections one client address may hold open. Not enforced yet.
    idle_connections_per_address: int = 64
    # Rooms kept in memory at most (beyond, idle ones are read again from the store).
    rooms_in_memory: int = 10_000
    # Days a room may go untouched before it is deleted. Not enforced yet: rooms are
    # kept for good.
    room_days: int = 30

    def set(self, settings: Iterable[tuple[str, float]]) -> Limits:
        """These limits with ``settings`` (name, value) applied in order."""
        values: dict[str, Any] = dict(settings)
        return dataclasses.replace(self, **values)

    @classmethod
    def names(cls) -> tuple[str, ...]:
        return tuple(field.name for field in dataclasses.fields(cls))


LIMIT_NAMES: Final = Limits.names()


def parse_limit(text: str) -> tuple[str, float]:
    """``NAME=VALUE`` as (name, value), for argparse: the name one of the limits, the
    value a positive number (a whole one where the limit counts things)."""
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or name not in LIMIT_NAMES:
        raise argparse.ArgumentTypeError(
            f"not NAME=VALUE with a known limit: {text!r} (limits: {', '.join(LIMIT_NAMES)})")
    whole = isinstance(getattr(Limits(), name), int)
    try:
        number: float = int(value) if whole else float(value)
    except ValueError:
        kind = "a whole number" if whole else "a number"
        raise argparse.ArgumentTypeError(f"{name} must be {kind}, not {value!r}") from None
    if not math.isfinite(number) or number <= 0:
        raise argparse.ArgumentTypeError(f"{name} must be above 0, not {value!r}")
    return name, number


class Bucket:
    """A token bucket: ``take`` is False when the client has used up its allowance."""

    def __init__(self, burst: int, rate: float, now: float) -> None:
        self.burst, self.rate = burst, rate
        self.tokens, self.stamp = float(burst), now

    def take(self, now: float) -> bool:
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now
        if self.tokens < 1:
            return False
        self.tokens -= 1
        return True


class RateLimiter:
    """The rate limit of each client connection (``key``)."""

    def __init__(self, limits: Limits, clock: Callable[[], float] = time.monotonic) -> None:
        self._rate = (limits.request_burst, limits.requests_per_second)
        self._clock = clock
        self._buckets: dict[object, Bucket] = {}

    def allow(self, key: object) -> bool:
        now = self._clock()
        bucket = self._buckets.get(key)
        if bucket is None:
            if len(self._buckets) > 10_000:
                self._buckets = {k: b for k, b in self._buckets.items() if now - b.stamp < 60}
            bucket = self._buckets[key] = Bucket(*self._rate, now)
        return bucket.take(now)
