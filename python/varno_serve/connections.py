"""The web server's connections: how long one may sit idle, and how many one client
address may hold, so that no client can use up the process's files.

A connection is in one of three states:

* **waiting**: it has not sent a complete request since it was opened or since its
  last response. It is idle, and it is closed once ``idle_seconds`` have passed since
  then, whatever it sends meanwhile: a client trickling its request head a byte at a
  time is closed as surely as one sending nothing, and a kept-alive connection with
  nothing in flight the same way;
* **receiving**: its request head has arrived and its body is still coming. It is in
  the middle of a request, so it is not idle; the handler reading the body gives it
  ``idle_seconds`` from then and answers 408 (and closes the connection) if it takes
  longer (``varno_serve.web.bodies``), so the timer here leaves it alone. A handler that
  does not read the body ends at once, and its connection is waiting again;
* **busy**: its request is complete and being answered. A WebSocket is a request
  answered for as long as it stays open, so it is never closed here (its heartbeat
  finds dead peers).

Caps, checked whenever a connection opens or becomes idle again:

* an address holds at most ``idle_connections_per_address`` idle connections, and at
  most ``connections_per_address`` in all (idle, busy and WebSockets alike). Over a
  cap, that address's oldest idle connections are closed, so that its newest
  connection (the one about to send a request) is served; only when none of its
  connections is idle is the newcomer closed. Other addresses' connections are never
  closed for it. Idle connections that have never sent a request go before those kept
  alive after a response, oldest first in each: a flood of silent sockets closes its
  own sockets, not the connections its address's real clients are using;
* the whole server holds at most ``connections`` connections, by default the process's
  limit of open files less ``RESERVED_FILES`` for its database, bot workers and files
  served, and for the connections the event loop accepts in one go before any of them
  is counted here. Over it, the server's oldest idle connection is closed, whichever
  address it is from, else the newcomer.

Addresses in ``exempt`` (networks such as a reverse proxy's, through which many clients
come) have no cap of their own; the idle timer and the server's cap still hold. An IPv6
client is counted by its /64 network, which is what one subscriber is usually given.

Bookkeeping is O(1) per event: each idle or timed connection sits in insertion-ordered
tables (the oldest first, and since ``idle_seconds`` is one value for all, the first
deadline first), one timer waits for the earliest deadline, and an address is forgotten
with its last connection.

The guard sits in aiohttp's low-level server (``GuardedServer``): its public hooks
``connection_made`` and ``connection_lost`` see connections come and go, and its request
handler, wrapped, sees each request start and end. ``GuardedAppRunner`` is
``web.AppRunner`` building that server.

When ``accept()`` fails for want of files (EMFILE), asyncio's selector loop logs it,
stops listening for one second and listens again; the caps keep the process below its
limit, and the idle timer frees files without any help from clients.
"""

from __future__ import annotations

import asyncio
import ipaddress
import logging
import resource
from collections import OrderedDict
from collections.abc import Awaitable, Callable, Iterable
from enum import Enum
from typing import Any, Final, Protocol

from aiohttp import web

from .limits import Limits

log = logging.getLogger("varno_serve.connections")

# Files kept beside the connections: the database and its journals, the bot workers'
# pipes, files being served, and up to a listen backlog (128) of connections accepted
# before the guard sees them.
RESERVED_FILES: Final = 256
# The fewest connections the server's cap allows, however low the limit of files.
MIN_CONNECTIONS: Final = 16
# A deadline this close is due: the loop's timers may fire a little early.
_SLACK: Final = 0.001

RequestHandler = Callable[[web.BaseRequest], Awaitable[web.StreamResponse]]


class Closable(Protocol):
    """What the guard needs of a connection: to close it (aiohttp's RequestHandler)."""

    def force_close(self) -> None: ...


class _State(Enum):
    WAITING = "waiting"
    RECEIVING = "receiving"
    BUSY = "busy"
    CLOSED = "closed"


class _Idle:
    """Idle connections in the order they are to be closed: those that have never sent a
    request (``fresh``), then those kept alive after a response, the oldest first."""

    __slots__ = ("fresh", "kept")

    def __init__(self) -> None:
        self.fresh: OrderedDict[_Connection, None] = OrderedDict()
        self.kept: OrderedDict[_Connection, None] = OrderedDict()

    def __len__(self) -> int:
        return len(self.fresh) + len(self.kept)

    def add(self, connection: _Connection) -> None:
        """Adds ``connection`` as the newest of its kind."""
        self.discard(connection)
        (self.kept if connection.answered else self.fresh)[connection] = None

    def discard(self, connection: _Connection) -> None:
        self.fresh.pop(connection, None)
        self.kept.pop(connection, None)

    def first(self) -> _Connection | None:
        """The first to close, if any."""
        for table in (self.fresh, self.kept):
            if table:
                return next(iter(table))
        return None


class _Address:
    __slots__ = ("key", "exempt", "count", "idle")

    def __init__(self, key: str, exempt: bool) -> None:
        self.key = key
        self.exempt = exempt
        self.count = 0
        self.idle = _Idle()


class _Connection:
    __slots__ = ("handler", "address", "state", "deadline", "answered")

    def __init__(self, handler: Closable, address: _Address) -> None:
        self.handler = handler
        self.address = address
        self.state = _State.WAITING
        self.deadline = 0.0
        # Whether a request of it has been answered (it is kept alive, if idle).
        self.answered = False


def client_ip(peername: Any) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    """The IP address of a connection's peer (an IPv4 address mapped into IPv6 as the
    IPv4 address), None for anything else (a Unix socket)."""
    host = peername[0] if isinstance(peername, tuple) and peername else peername
    try:
        ip = ipaddress.ip_address(str(host))
    except ValueError:
        return None
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        return ip.ipv4_mapped
    return ip


def address_key(ip: ipaddress.IPv4Address | ipaddress.IPv6Address) -> str:
    """The client address a connection is counted under: the IPv4 address, or the /64
    network of an IPv6 address."""
    if isinstance(ip, ipaddress.IPv6Address):
        return str(ipaddress.IPv6Network((int(ip) >> 64 << 64, 64)))
    return str(ip)


def default_connections(reserved_files: int = RESERVED_FILES) -> int:
    """The server's cap on connections: the process's soft limit of open files less
    ``reserved_files`` (at least ``MIN_CONNECTIONS``)."""
    soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or soft > 1 << 20:
        soft = 1 << 20
    return max(MIN_CONNECTIONS, soft - reserved_files)


class ConnectionGuard:
    """The idle timer and the caps of one server's connections (see the module)."""

    def __init__(
        self,
        *,
        idle_seconds: float = Limits.idle_seconds,
        idle_connections_per_address: int = Limits.idle_connections_per_address,
        connections_per_address: int = Limits.connections_per_address,
        connections: int | None = None,
        exempt: Iterable[str] = (),
    ) -> None:
        if not idle_seconds > 0:
            raise ValueError(f"idle_seconds must be above 0, not {idle_seconds}")
        for name, value in (("idle_connections_per_address", idle_connections_per_address),
                            ("connections_per_address", connections_per_address),
                            ("connections", connections)):
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1, not {value}")
        self.idle_seconds = float(idle_seconds)
        self.idle_per_address = idle_connections_per_address
        self.per_address = connections_per_address
        self.limit = connections if connections is not None else default_connections()
        self._exempt = [ipaddress.ip_network(net, strict=False) for net in exempt]
        self._connections: dict[Closable, _Connection] = {}
        self._addresses: dict[str, _Address] = {}
        # Waiting and receiving connections, the first deadline first.
        self._timed: OrderedDict[_Connection, None] = OrderedDict()
        # Idle (waiting) connections of every address.
        self._idle = _Idle()
        self._timer: asyncio.TimerHandle | None = None

    # -- what the tests and the logs read --------------------------------------------

    @property
    def open(self) -> int:
        """The connections open (closing ones excepted)."""
        return len(self._connections)

    @property
    def addresses(self) -> int:
        """The client addresses with a connection open."""
        return len(self._addresses)

    # -- events ----------------------------------------------------------------------

    def opened(self, handler: Closable, peername: Any) -> None:
        """A connection was accepted: it waits for its first request, and the caps make
        room for it by closing idle connections (or it is closed at once)."""
        key, exempt = self._client(peername)
        address = self._addresses.get(key)
        if address is None:
            address = self._addresses[key] = _Address(key, exempt)
        connection = _Connection(handler, address)
        self._connections[handler] = connection
        address.count += 1
        # Room is made before it joins the idle ones, so that it is closed only if none is.
        if not address.exempt:
            self._cap_idle(address, joining=1)
            if address.count > self.per_address:
                log.debug("%s holds %d connections; closing an idle one", key, address.count)
                if not self._make_room(address.idle, connection):
                    return
        if len(self._connections) > self.limit:
            log.debug("the server holds %d connections; closing an idle one",
                      len(self._connections))
            if not self._make_room(self._idle, connection):
                return
        self._wait(connection)

    def lost(self, handler: Closable) -> None:
        """The connection is gone (closed by either side)."""
        connection = self._connections.get(handler)
        if connection is not None:
            self._forget(connection)

    def watch(self, handle: RequestHandler) -> RequestHandler:
        """``handle`` (the server's request handler), telling the guard when each
        request starts and when its handler returns."""

        async def watched(request: web.BaseRequest) -> web.StreamResponse:
            connection = self._connections.get(request.protocol)
            if connection is None:
                return await handle(request)
            self._started(connection, request.content)
            try:
                return await handle(request)
            finally:
                self._ended(connection)

        return watched

    def stop(self) -> None:
        """Cancels the timer (the server is shutting down)."""
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    # -- states ----------------------------------------------------------------------

    def _started(self, connection: _Connection, body: Any) -> None:
        if connection.state is not _State.WAITING:
            return
        connection.state = _State.RECEIVING
        self._idle.discard(connection)
        connection.address.idle.discard(connection)
        # The body's own deadline is the handler's: it answers 408 rather than hang up.
        self._timed.pop(connection, None)
        # Called at once if the body is complete (or there is none).
        body.on_eof(lambda: self._received(connection))

    def _received(self, connection: _Connection) -> None:
        if connection.state is _State.RECEIVING:
            connection.state = _State.BUSY

    def _ended(self, connection: _Connection) -> None:
        if connection.state is _State.CLOSED:
            return
        connection.answered = True
        self._wait(connection)
        if not connection.address.exempt:
            self._cap_idle(connection.address, joining=0)

    def _wait(self, connection: _Connection) -> None:
        """Makes ``connection`` idle, due to be closed ``idle_seconds`` from now."""
        loop = asyncio.get_running_loop()
        connection.state = _State.WAITING
        connection.deadline = loop.time() + self.idle_seconds
        # Last in each table: its deadline is the latest, and it the newest idle.
        self._timed.pop(connection, None)
        self._timed[connection] = None
        self._idle.add(connection)
        connection.address.idle.add(connection)
        if self._timer is None:
            self._timer = loop.call_at(connection.deadline, self._expire)

    def _cap_idle(self, address: _Address, joining: int) -> None:
        """Closes idle connections of ``address`` until its idle ones and ``joining``
        more are within its cap."""
        while len(address.idle) + joining > self.idle_per_address:
            first = address.idle.first()
            if first is None:
                return
            log.debug("%s holds %d idle connections; closing one", address.key,
                      len(address.idle))
            self._close(first)

    def _expire(self) -> None:
        """Closes the connections whose deadline has passed; waits for the next one."""
        self._timer = None
        loop = asyncio.get_running_loop()
        now = loop.time() + _SLACK
        while self._timed:
            first = next(iter(self._timed))
            if first.deadline > now:
                self._timer = loop.call_at(first.deadline, self._expire)
                return
            log.debug("closing a connection of %s: no complete request in %g s",
                      first.address.key, self.idle_seconds)
            self._close(first)

    # -- closing and forgetting ----------------------------------------------------------

    def _make_room(self, idle: _Idle, newcomer: _Connection) -> bool:
        """Closes the first of ``idle``; if there is none, the newcomer (False)."""
        first = idle.first()
        self._close(first or newcomer)
        return first is not None

    def _close(self, connection: _Connection) -> None:
        self._forget(connection)
        connection.handler.force_close()

    def _forget(self, connection: _Connection) -> None:
        if connection.state is _State.CLOSED:
            return
        connection.state = _State.CLOSED
        address = connection.address
        del self._connections[connection.handler]
        self._timed.pop(connection, None)
        self._idle.discard(connection)
        address.idle.discard(connection)
        address.count -= 1
        if address.count == 0:
            del self._addresses[address.key]

    def _client(self, peername: Any) -> tuple[str, bool]:
        """The key of a connection's address, and whether that address is exempt from
        the caps of one address (an exempt one is counted by itself)."""
        ip = client_ip(peername)
        if ip is None:
            return str(peername), False
        if any(ip in network for network in self._exempt):
            return str(ip), True
        return address_key(ip), False


class GuardedServer(web.Server):
    """aiohttp's low-level server with the guard watching its connections and requests:
    the request handler, request factory and connection options of ``plain`` (the
    server aiohttp built for the application), unchanged."""

    def __init__(self, plain: web.Server, guard: ConnectionGuard) -> None:
        # The connection options (access log, keep-alive, sizes of heads) that aiohttp
        # collected for its own server are kept only in its private ``_kwargs``; they
        # are passed on as they are. The tests' access log and limits depend on it.
        options: dict[str, Any] = dict(plain._kwargs)
        super().__init__(guard.watch(plain.request_handler),
                         request_factory=plain.request_factory,
                         handler_cancellation=plain.handler_cancellation, **options)
        self.guard = guard

    def connection_made(self, handler: web.RequestHandler, transport: asyncio.Transport) -> None:
        super().connection_made(handler, transport)
        self.guard.opened(handler, transport.get_extra_info("peername"))

    def connection_lost(self, handler: web.RequestHandler,
                        exc: BaseException | None = None) -> None:
        super().connection_lost(handler, exc)
        self.guard.lost(handler)

    async def shutdown(self, timeout: float | None = None) -> None:
        await super().shutdown(timeout)
        self.guard.stop()


class GuardedAppRunner(web.AppRunner):
    """``web.AppRunner`` whose server is a ``GuardedServer`` under ``guard``."""

    __slots__ = ("_guard",)

    def __init__(self, app: web.Application, guard: ConnectionGuard, **options: Any) -> None:
        super().__init__(app, **options)
        self._guard = guard

    async def _make_server(self) -> web.Server:
        # AppRunner has no public way to choose the class of its server: this hook (the
        # same from aiohttp 3.0 to 3.14) builds aiohttp's own, which the guarded server
        # takes over. ``setup`` checks that the hook was used.
        return GuardedServer(await super()._make_server(), self._guard)

    async def setup(self) -> None:
        await super().setup()
        if not isinstance(self.server, GuardedServer):
            raise RuntimeError("aiohttp built its server without AppRunner._make_server; "
                               "the connection guard would be off")
