"""The connections of a real varno-serve process on loopback: idle and trickling
connections closed after idle_seconds, WebSockets kept open, one address's flood of idle
sockets under a limit of open files (127.0.0.2 plays another client address), and the
server listening again once files free up; then the guard's bookkeeping itself."""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import os
import resource
import select
import socket
import time
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from serve_helpers import LOOPBACK, ServerProcess
from varno_serve.connections import ConnectionGuard
from varno_serve.limits import Limits

IDLE = 1.0           # idle_seconds of the timer tests
FLOOD = 1_100        # idle sockets from one address
FILES = 1_024        # the server's limit of open files under a flood
OTHER = "127.0.0.2"  # another client address
HEAD = b"GET /api/rooms HTTP/1.1\r\nHost: 127.0.0.1\r\n"
POST = (b"POST /api/rooms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        b"Content-Length: 200\r\n\r\n")


@pytest.fixture(scope="module", autouse=True)
def own_files() -> Iterator[None]:
    """This process's own limit of open files, raised for the floods' sockets."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = FLOOD + 256
    if hard != resource.RLIM_INFINITY and hard < want:
        pytest.skip(f"the floods need {want} open files, the hard limit is {hard}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@contextlib.contextmanager
def serving(db: Path, *limits: str, files: int | None = None) -> Iterator[ServerProcess]:
    server = ServerProcess(db, options=[arg for limit in limits for arg in ("--limit", limit)],
                           files=files)
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="module")
def idle_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ServerProcess]:
    with serving(tmp_path_factory.mktemp("idle") / "rooms.db", f"idle_seconds={IDLE}") as server:
        yield server


def port_of(server: ServerProcess) -> int:
    return int(server.url.rsplit(":", 1)[1])


def accept_queue(port: int) -> int:
    """The connections waiting for the server's accept() on ``port``: the listening
    socket's receive queue in /proc/net/tcp."""
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
            return int(fields[4].rsplit(":", 1)[1], 16)
    return 0


def flood(port: int, count: int, wait: float = 20.0) -> list[socket.socket]:
    """``count`` connections from 127.0.0.1 that send nothing, opened a batch at a time
    once the server has accepted the last (for ``wait`` seconds at most): beyond the
    listen backlog, the kernel would drop connections the client thinks are open."""
    sockets: list[socket.socket] = []
    deadline = time.monotonic() + wait
    while len(sockets) < count:
        poll, pending = select.poll(), min(32, count - len(sockets))
        for _ in range(pending):
            sock = socket.socket()
            sock.setblocking(False)
            sock.connect_ex((LOOPBACK, port))
            sockets.append(sock)
            poll.register(sock, select.POLLOUT)
        while pending and time.monotonic() < deadline:  # connected
            for fd, _ in poll.poll(100):
                poll.unregister(fd)
                pending -= 1
        while accept_queue(port) and time.monotonic() < deadline:  # and accepted
            time.sleep(0.005)
    return sockets


def get(conn: http.client.HTTPConnection) -> int:
    conn.request("GET", "/api/rooms")
    response = conn.getresponse()
    response.read()
    return response.status


def fresh_get(port: int, source: str = LOOPBACK, timeout: float = 10.0) -> int:
    conn = http.client.HTTPConnection(LOOPBACK, port, timeout=timeout, source_address=(source, 0))
    with contextlib.closing(conn):
        return get(conn)


def open_files(server: ServerProcess) -> int:
    return len(os.listdir(f"/proc/{server.process.pid}/fd"))


@contextlib.asynccontextmanager
async def watching(server: ServerProcess) -> AsyncIterator[tuple[Any, Any, dict[str, Any]]]:
    """A session (no keep-alive), a WebSocket following a new two-seat room, and what its
    creation returned."""
    connector = aiohttp.TCPConnector(force_close=True)
    async with aiohttp.ClientSession(server.url, connector=connector) as session:
        async with session.post("/api/rooms", json={"mode": "humans"}) as response:
            made = await response.json()
        async with session.ws_connect(f"/api/rooms/{made['room']}/ws") as ws:
            assert (await ws.receive(timeout=5)).type is aiohttp.WSMsgType.TEXT
            yield session, ws, made


async def assert_pushed(session: Any, ws: Any, made: dict[str, Any]) -> None:
    """The WebSocket is open: a seat taken in the room is pushed to it."""
    async with session.post(f"/api/rooms/{made['room']}/join",
                            json={"invite": made["invite"]}) as response:
        assert response.status == 200
    message = await ws.receive(timeout=5)
    assert message.type is aiohttp.WSMsgType.TEXT and '"taken"' in message.data


def closed_by_server(sock: socket.socket, then: float, trickle: bytes) -> float:
    """Sends ``trickle`` a byte every 0.1 s until the server closes ``sock``; the
    seconds from ``then`` to the close (``IDLE + 3`` at most: not closed)."""
    sock.settimeout(0.1)
    for byte in trickle.ljust(100, b"a"):
        try:
            if trickle:
                sock.send(bytes([byte]))
            if sock.recv(4096) == b"":
                break
        except TimeoutError:
            pass
        except OSError:  # reset: closed too
            break
        if time.monotonic() - then > IDLE + 3:
            break
    return time.monotonic() - then


class TestIdleTimer:
    @pytest.mark.parametrize("first, trickle", [
        (b"", b""), (b"", HEAD + b"X-Slow: "), (HEAD + b"\r\n", b""),
        (HEAD + b"\r\n", HEAD + b"X-Slow: "), (POST, b"{"),
    ], ids=["silent", "trickled head", "kept alive", "trickled next head", "trickled body"])
    def test_closed_idle_seconds_after_connecting_or_answering(
            self, idle_server: ServerProcess, first: bytes, trickle: bytes) -> None:
        with socket.create_connection((LOOPBACK, port_of(idle_server))) as sock:
            sock.sendall(first)
            then = time.monotonic()
            if first.startswith(b"GET"):
                assert sock.recv(4096).startswith(b"HTTP/1.1 200")  # a small answer
                then = time.monotonic()
            assert IDLE - 0.05 <= closed_by_server(sock, then, trickle) <= IDLE + 1.0

    def test_a_body_that_stops_coming_is_answered_408(self, idle_server: ServerProcess) -> None:
        with socket.create_connection((LOOPBACK, port_of(idle_server))) as sock:
            sock.sendall(POST + b'{"mode": ')
            sock.settimeout(IDLE + 5)
            answer = sock.recv(4096)
            assert answer.startswith(b"HTTP/1.1 408"), answer
            assert b"did not arrive" in answer

    async def test_a_websocket_outlives_idle_seconds(self, idle_server: ServerProcess) -> None:
        async with watching(idle_server) as (session, ws, made):
            with socket.create_connection((LOOPBACK, port_of(idle_server))) as beside:
                beside.sendall(HEAD + b"\r\n")
                assert beside.recv(4096).startswith(b"HTTP/1.1 200")
                await asyncio.sleep(2.5 * IDLE)
                beside.settimeout(0)
                assert beside.recv(1) == b""  # the idle keep-alive beside it is closed
            await assert_pushed(session, ws, made)


class TestFloods:
    async def test_a_flood_of_idle_sockets_leaves_its_address_served(self, tmp_path: Path) -> None:
        with serving(tmp_path / "rooms.db", "idle_seconds=60", files=FILES) as server:
            async with watching(server) as (session, ws, made):
                kept = http.client.HTTPConnection(LOOPBACK, port_of(server), timeout=10)
                assert get(kept) == 200
                held, before = kept.sock, open_files(server)
                sockets = await asyncio.to_thread(flood, port_of(server), FLOOD)
                try:
                    assert await asyncio.to_thread(fresh_get, port_of(server)) == 200
                    # Idle connections of one address are capped; its WebSocket is not idle.
                    assert open_files(server) <= before + Limits.idle_connections_per_address + 2
                    await assert_pushed(session, ws, made)
                    # The silent sockets went before the connection kept alive.
                    assert await asyncio.to_thread(get, kept) == 200 and kept.sock is held
                finally:
                    kept.close()
                    for sock in sockets:
                        sock.close()

    def test_a_flood_leaves_other_addresses_alone(self, tmp_path: Path) -> None:
        with serving(tmp_path / "rooms.db", "idle_seconds=60", files=FILES) as server:
            port = port_of(server)
            kept = [http.client.HTTPConnection(LOOPBACK, port, timeout=10,
                                               source_address=(OTHER, 0)) for _ in range(3)]
            assert [get(conn) for conn in kept] == [200] * 3
            held = [conn.sock for conn in kept]
            sockets = flood(port, FLOOD)
            try:
                assert [get(conn) for conn in kept] == [200] * 3
                assert [conn.sock for conn in kept] == held  # the same connections
                assert fresh_get(port, OTHER) == 200
            finally:
                for sock in sockets:
                    sock.close()
                for conn in kept:
                    conn.close()

    def test_the_server_listens_again_once_its_files_free_up(self, tmp_path: Path) -> None:
        # No caps to speak of: accept() runs out of files, and the idle timer frees them.
        uncapped = [f"{name}=100000" for name in
                    ("connections", "connections_per_address", "idle_connections_per_address")]
        with serving(tmp_path / "rooms.db", "idle_seconds=1", *uncapped, files=128) as server:
            sockets = flood(port_of(server), 160, wait=5.0)
            try:
                assert fresh_get(port_of(server), timeout=15.0) == 200
            finally:
                for sock in sockets:
                    sock.close()
            assert "out of system resource" in server.log.read_text()


class Handler:
    """A stand-in for aiohttp's protocol: the one thing the guard asks of it."""

    closed = False

    def force_close(self) -> None:
        self.closed = True


class Request:
    """A stand-in for a request from ``protocol`` whose body is complete; it is answered
    once ``done`` is set."""

    def __init__(self, protocol: Handler) -> None:
        self.protocol, self.content, self.done = protocol, self, asyncio.Event()

    def on_eof(self, callback: Any) -> None:
        callback()


class TestBookkeeping:
    async def test_caps_close_idle_connections_of_the_same_address_else_the_newcomer(
            self) -> None:
        guard = ConnectionGuard(idle_connections_per_address=2, connections_per_address=3)
        answer: Any = guard.watch(lambda request: request.done.wait())
        handlers: list[Handler] = []
        requests: list[tuple[Request, asyncio.Future[Any]]] = []

        def opened(host: str = "10.0.0.1") -> Handler:
            handlers.append(Handler())
            guard.opened(handlers[-1], (host, 1))
            return handlers[-1]

        async def busy(*some: Handler) -> None:
            requests.extend((r, asyncio.ensure_future(answer(r))) for r in map(Request, some))
            await asyncio.sleep(0)

        async def answered() -> None:
            for request, _ in requests:
                request.done.set()
            await asyncio.gather(*(future for _, future in requests))
            requests.clear()

        kept = [opened(), opened()]
        await busy(*kept)
        await answered()
        newcomer = opened()  # 2 idle, kept alive: the older goes, not the newcomer
        assert [kept[0].closed, kept[1].closed, newcomer.closed] == [True, False, False]
        fresh = opened()  # one that never sent a request goes before one kept alive
        assert newcomer.closed and not (kept[1].closed or fresh.closed)
        other = opened("10.0.0.2")
        await busy(kept[1], fresh)
        idle, last = opened(), opened()  # 4 connections: an idle one goes
        assert idle.closed and not last.closed
        await busy(last)
        refused = opened()  # 3 busy: nothing idle to close but the newcomer
        assert refused.closed and not any(h.closed for h in (other, kept[1], fresh, last))
        await answered()
        for handler in handlers:
            guard.lost(handler)
        assert guard.open == 0 and guard.addresses == 0  # nothing kept
        guard.stop()

    async def test_an_ipv6_client_is_its_64_and_exempt_networks_are_uncapped(self) -> None:
        guard = ConnectionGuard(idle_connections_per_address=1, exempt=["10.9.0.0/16"])
        six = [Handler(), Handler()]
        guard.opened(six[0], ("2001:db8:0:1::1", 1, 0, 0))
        guard.opened(six[1], ("2001:db8:0:1:ffff::2", 1, 0, 0))
        proxied = [Handler() for _ in range(3)]
        for handler in proxied:
            guard.opened(handler, ("::ffff:10.9.1.1", 1, 0, 0))
        assert six[0].closed and not six[1].closed
        assert not any(h.closed for h in proxied) and guard.addresses == 2
        guard.stop()
