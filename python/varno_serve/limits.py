"""The server's limits, by name, and the rate limits of its clients.

Every limit has a name and a default sensible for one public machine; ``--limit
NAME=VALUE`` (repeatable) sets one. ``ClientAddresses`` says which client a request
comes from (its address, or the one a trusted proxy forwards for) and ``RateLimiter``
what that client may still do; a ``RoomAllowance`` counts its new rooms.
"""

from __future__ import annotations

import argparse
import dataclasses
import ipaddress
import math
import time
from collections import OrderedDict
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Final, Protocol


@dataclass(frozen=True)
class Limits:
    # Requests one client address may make: a burst of request_burst, then this many a
    # second (a page and its files are five requests; a move is one).
    requests_per_second: float = 20.0
    request_burst: int = 60
    # New rooms one client address may make in a minute.
    room_creations_per_minute: int = 20
    # Searches of the bot waiting or running (varno_serve.bots); a change that would queue
    # one more is refused (503). A search at the greatest depth takes about a second at
    # the deal, at the default depth a hundredth: 64 are a minute of one worker at worst,
    # while a hundred people playing the bot at once keep a few waiting at a time (each
    # has one search at most, and thinks far longer than the bot). A shallow search goes
    # before deep ones, so the bound is what the server owes the rooms waiting for the
    # bot after a restart, not what a person waits. Each room waiting stays in memory: at
    # most rooms_in_memory.
    pending_searches: int = 64
    # Connections (varno_serve.connections). A player's tab holds a WebSocket (busy,
    # never idle) and a kept-alive connection or two for its requests (browsers open at
    # most six per server). Many players share an address behind NAT, so an address may
    # hold 256 connections, of which 128 idle: a hundred-odd players at once. A flood of
    # silent sockets from one address then holds 128 files, a sixth of the 768
    # connections that the usual limit of 1,024 files leaves. Closing an idle connection
    # costs its client one new handshake, while idle connections cost an attacker
    # nothing. 15 s is ample for a request head or a body of 4 KiB (one packet from any
    # client) and keeps a page's connection between its fetches (the lobby refreshes
    # every 5 s); a connection that has sent no complete request that long is closed.
    idle_seconds: float = 15.0
    idle_connections_per_address: int = 128
    connections_per_address: int = 256
    # Connections of the whole server; None: the process's limit of open files less what
    # the server keeps for itself (varno_serve.connections.default_connections).
    connections: int | None = None
    # Rooms kept in memory at most (beyond, idle ones are read again from the store).
    rooms_in_memory: int = 10_000
    # Days a room may go untouched (no move, no seat taken) before a sweep deletes it.
    room_days: int = 30

    def check(self) -> None:
        """``ValueError`` if the limits contradict each other."""
        if self.pending_searches > self.rooms_in_memory:
            raise ValueError(
                f"pending_searches ({self.pending_searches}) may not exceed rooms_in_memory "
                f"({self.rooms_in_memory}): every room waiting for the bot is kept in memory")

    def set(self, settings: Iterable[tuple[str, float]]) -> Limits:
        """These limits with ``settings`` (name, value) applied in order."""
        values: dict[str, Any] = dict(settings)
        return dataclasses.replace(self, **values)

    @classmethod
    def names(cls) -> tuple[str, ...]:
        return tuple(field.name for field in dataclasses.fields(cls))


LIMIT_NAMES: Final = Limits.names()
# Each limit's annotation, as text ("int", "float", "int | None").
_TYPES: Final = {field.name: str(field.type) for field in dataclasses.fields(Limits)}


def parse_limit(text: str) -> tuple[str, float]:
    """``NAME=VALUE`` as (name, value), for argparse: the name one of the limits, the
    value a positive number (a whole one where the limit counts things)."""
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or name not in LIMIT_NAMES:
        raise argparse.ArgumentTypeError(
            f"not NAME=VALUE with a known limit: {text!r} (limits: {', '.join(LIMIT_NAMES)})")
    whole = "int" in _TYPES[name]
    try:
        number: float = int(value) if whole else float(value)
    except ValueError:
        kind = "a whole number" if whole else "a number"
        raise argparse.ArgumentTypeError(f"{name} must be {kind}, not {value!r}") from None
    if not math.isfinite(number) or number <= 0:
        raise argparse.ArgumentTypeError(f"{name} must be above 0, not {value!r}")
    return name, number


Address = ipaddress.IPv4Address | ipaddress.IPv6Address
Network = ipaddress.IPv4Network | ipaddress.IPv6Network


def parse_network(text: str) -> Network:
    """An address or a network (``10.0.0.7``, ``10.0.0.0/8``, ``fd00::/8``), for argparse."""
    try:
        return ipaddress.ip_network(text.strip(), strict=False)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an address or a network: {text!r}") from None


def _address(text: str | None) -> Address | None:
    """The address in ``text`` (a port after it, or brackets around it, allowed); None
    if there is none."""
    if not text:
        return None
    text = text.strip()
    if text.startswith("["):
        text = text[1:].partition("]")[0]
    elif text.count(":") == 1:
        text = text.partition(":")[0]
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


class ClientAddresses:
    """Who a request comes from, for the limits: the connection's peer, or, when the peer
    is one of the ``trusted`` proxies, the address that proxy says it forwards for.

    ``X-Forwarded-For`` is read from the right: each trusted proxy appends the address it
    was connected from, so the first address from the right that is not a trusted proxy
    is the client; what lies left of it is the client's own to write and is not read.
    An IPv6 client is its /64, the block one machine is usually given.
    """

    def __init__(self, trusted: Iterable[Network] = ()) -> None:
        self._trusted = tuple(trusted)

    def _is_trusted(self, address: Address) -> bool:
        return any(address in network for network in self._trusted)

    def trusts(self, peer: str | None) -> bool:
        """Whether ``peer`` (a connection's address) is one of the trusted proxies, whose
        forwarding headers are believed."""
        address = _address(peer)
        return address is not None and self._is_trusted(address)

    def client(self, peer: str | None, forwarded: Iterable[str] = ()) -> str:
        address = _address(peer)
        if address is None:
            return peer or "local"      # a Unix socket: one local client
        if self._trusted and self._is_trusted(address):
            for hop in reversed([hop for value in forwarded for hop in value.split(",")]):
                found = _address(hop)
                if found is None:
                    break
                address = found
                if not self._is_trusted(found):
                    break
        if isinstance(address, ipaddress.IPv6Address):
            return str(ipaddress.IPv6Network((address, 64), strict=False))
        return str(address)


# Clients whose allowance is kept at most: beyond, the one seen least recently is
# forgotten (it starts again with a full allowance).
MAX_CLIENTS: Final = 65_536


class _Allowance:
    """What one client may still do: requests and new rooms (token buckets), as of
    ``stamp``."""

    __slots__ = ("requests", "rooms", "stamp")

    def __init__(self, requests: float, rooms: float, stamp: float) -> None:
        self.requests, self.rooms, self.stamp = requests, rooms, stamp


class RateLimiter:
    """The rate limits of each client address: requests (a burst of ``request_burst``,
    then ``requests_per_second``) and new rooms (``room_creations_per_minute``, as a
    burst and as the rate it comes back at). Each check costs the same whatever the
    number of clients, whose table is bounded by ``max_clients``."""

    def __init__(self, limits: Limits, clock: Callable[[], float] = time.monotonic,
                 max_clients: int = MAX_CLIENTS) -> None:
        self._request_burst = float(limits.request_burst)
        self._request_rate = limits.requests_per_second
        self._room_burst = float(limits.room_creations_per_minute)
        self._room_rate = limits.room_creations_per_minute / 60.0
        self._clock = clock
        self._max_clients = max_clients
        self._clients: OrderedDict[str, _Allowance] = OrderedDict()

    def __len__(self) -> int:
        return len(self._clients)

    def _allowance(self, client: str) -> _Allowance:
        now = self._clock()
        allowance = self._clients.get(client)
        if allowance is None:
            allowance = _Allowance(self._request_burst, self._room_burst, now)
            self._clients[client] = allowance
            if len(self._clients) > self._max_clients:
                self._clients.popitem(last=False)
            return allowance
        self._clients.move_to_end(client)
        elapsed = max(0.0, now - allowance.stamp)
        allowance.requests = min(self._request_burst,
                                 allowance.requests + elapsed * self._request_rate)
        allowance.rooms = min(self._room_burst, allowance.rooms + elapsed * self._room_rate)
        allowance.stamp = now
        return allowance

    def request(self, client: str) -> float:
        """Counts a request of ``client``: 0 if it may be made, else the seconds until
        it may (and nothing counted)."""
        return self._take(client, "requests", self._request_rate)

    def new_room(self, client: str) -> float:
        """Counts a new room of ``client``, as ``request`` counts a request."""
        return self._take(client, "rooms", self._room_rate)

    def _take(self, client: str, kind: str, rate: float) -> float:
        allowance = self._allowance(client)
        left: float = getattr(allowance, kind)
        if left >= 1:
            setattr(allowance, kind, left - 1)
            return 0.0
        return (1 - left) / rate


class RoomAllowance(Protocol):
    """Who counts a client's new rooms: this process (``LocalRoomAllowance``), or every
    node of a site together (``varno_serve.limits_redis.SharedRoomAllowance``)."""

    async def new_room(self, client: str) -> float:
        """Counts a new room of ``client``: 0 if it may be made, else the seconds until
        it may (and nothing counted)."""
        ...


class LocalRoomAllowance:
    """New rooms counted by this process's ``RateLimiter``."""

    def __init__(self, limiter: RateLimiter) -> None:
        self._limiter = limiter

    async def new_room(self, client: str) -> float:
        return self._limiter.new_room(client)
