"""What an anonymous client on the open internet may try, and what the server does about
it: made-up room identifiers, floods from one address over many connections, bodies
that are not what they claim, clients that hang up; and the database file, which no
other user of the machine may read."""

from __future__ import annotations

import asyncio
import gzip
import logging
import os
import stat
import time
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from serve_helpers import ServerProcess, create
from varno_serve.room import Room
from varno_serve.store.sqlite import SqliteRoomStore
from varno_serve.web.middleware import SAFETY_HEADERS

JSON = {"Content-Type": "application/json"}
# Identifiers that name no room: the shape of real ones, and far longer.
MADE_UP = ["nosuchroom", "A" * 32, "0123456789ab", "x" * 33, "y" * 8000, "-_" * 700]


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


async def ask_for_unknown_rooms(session: Any, count: int, start: int = 0) -> None:
    """``count`` requests of every kind about rooms that do not exist, each a 404
    (``session`` an aiohttp session or test client)."""
    for n in range(start, start + count):
        room = f"{n:032d}" if n % 2 else f"{MADE_UP[n // 2 % len(MADE_UP)]}{n}"
        kind = n % 5
        if kind == 0:
            response = await session.post(f"/api/rooms/{room}/join", json={})
        elif kind == 1:
            response = await session.post(f"/api/rooms/{room}/moves",
                                          json={"move": "A1", "token": "t" * 40})
        elif kind == 2:
            response = await session.get(f"/api/rooms/{room}")
        elif kind == 3:
            response = await session.get(f"/api/rooms/{room}/ws")
        else:
            response = await session.get(f"/rooms/{room}")
        async with response:
            assert response.status == 404, (n, room[:40])
            await response.read()


async def join_made_up_rooms(session: aiohttp.ClientSession, count: int, start: int) -> None:
    """Joins of, and moves in, ``count`` rooms of made-up 4 KB identifiers (about the
    longest a request line may hold): each a 404."""
    for n in range(start, start + count):
        room = f"{n:08d}" + "z" * 3992
        if n % 2:
            response = await session.post(f"/api/rooms/{room}/join", json={})
        else:
            response = await session.post(f"/api/rooms/{room}/moves", json={"move": "A1", "token": "t"})
        async with response:
            assert response.status == 404, n


class TestNothingKeptForUnknownRooms:
    async def test_404s_leave_no_entry_behind(self, client: Any) -> None:
        made = await create(client, mode="humans")
        await ask_for_unknown_rooms(client, 300)
        # Only the room that exists is in memory; nobody watches anything.
        assert client.varno.in_memory() == 1 and client.varno.cached(made["room"]) is not None
        assert client.varno.events.watched() == 0

    def test_memory_stays_flat_under_any_number_of_404s(self, tmp_path: Path) -> None:
        server = ServerProcess(tmp_path / "rooms.db")

        async def flood() -> tuple[int, int]:
            async with aiohttp.ClientSession(server.url) as session:
                await join_made_up_rooms(session, 1000, start=0)
                before = rss_kib(server.process.pid)
                await join_made_up_rooms(session, 4000, start=1000)
                return before, rss_kib(server.process.pid)

        try:
            before, after = asyncio.run(asyncio.wait_for(flood(), 120))
        finally:
            server.stop()
        # A lock kept per made-up identifier grew the server by about 10 KiB a request
        # of an 8 KB identifier (its key among it): some 25 MiB here, at 4 KB.
        assert after - before < 8 * 1024, (before, after)


async def statuses_on_fresh_connections(client: Any, count: int, method: str, path: str,
                                        **options: Any) -> list[tuple[int, dict[str, Any], str]]:
    """``count`` requests, each on a connection of its own: status, body and Retry-After."""
    seen = []
    headers = {"Connection": "close", **options.pop("headers", {})}
    for _ in range(count):
        async with client.request(method, path, headers=headers, **options) as response:
            body = await response.json() if response.content_type == "application/json" else {}
            seen.append((response.status, body, response.headers.get("Retry-After", "")))
    return seen


class TestRateLimitsPerAddress:
    async def test_a_flood_over_fresh_connections_is_slowed_down(self, start: Any) -> None:
        client = await start(request_burst=5, requests_per_second=0.5)
        seen = await statuses_on_fresh_connections(client, 12, "POST", "/api/rooms/nosuch/join",
                                                   json={})
        assert [status for status, _, _ in seen] == [404] * 5 + [429] * 7
        status, body, retry = seen[-1]
        assert body == {"error": "too many requests from this address; slow down",
                        "code": "too_many_requests"}
        assert retry == "2"
        # Every request counts, whatever it asks for.
        async with client.get("/static/app.js") as response:
            assert response.status == 429

    async def test_room_creations_per_minute(self, start: Any) -> None:
        client = await start(room_creations_per_minute=3)
        seen = await statuses_on_fresh_connections(client, 5, "POST", "/api/rooms",
                                                   json={"mode": "humans"})
        assert [status for status, _, _ in seen] == [201, 201, 201, 429, 429]
        assert seen[-1][1] == {"error": "too many new rooms from this address; try again later",
                               "code": "too_many_rooms"}
        assert seen[-1][2] == "20"
        # Other requests go on, and a refused creation made nothing.
        assert (await client.get("/api/rooms")).status == 200
        assert client.varno.in_memory() == 3

    async def test_forwarded_for_is_read_from_a_trusted_proxy_only(self, start: Any) -> None:
        proxied = await start(request_burst=2, requests_per_second=0.01,
                              trusted_proxies=["127.0.0.0/8"])
        for client_address in ("203.0.113.5", "203.0.113.6"):
            seen = await statuses_on_fresh_connections(
                proxied, 3, "GET", "/api/rooms", headers={"X-Forwarded-For": client_address})
            assert [status for status, _, _ in seen] == [200, 200, 429], client_address
        # What the client wrote itself, left of what the proxy added, is not read.
        seen = await statuses_on_fresh_connections(
            proxied, 1, "GET", "/api/rooms", headers={"X-Forwarded-For": "198.51.100.9, 203.0.113.5"})
        assert seen[0][0] == 429

        direct = await start(request_burst=2, requests_per_second=0.01)
        seen = [
            (await statuses_on_fresh_connections(
                direct, 1, "GET", "/api/rooms", headers={"X-Forwarded-For": f"203.0.113.{n}"}))[0]
            for n in range(3)
        ]
        assert [status for status, _, _ in seen] == [200, 200, 429]


async def raw_exchange(client: Any, head: bytes, body_parts: tuple[bytes, ...] = (),
                       pause: float = 0.0, timeout: float = 10.0) -> tuple[bytes, bool]:
    """Sends ``head`` and then ``body_parts`` ``pause`` seconds apart on a connection of
    its own (stopping once the server answers); what came back, and whether the server
    closed the connection."""
    reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
    answer = b""
    try:
        writer.write(head)
        await writer.drain()
        for part in body_parts:
            try:
                answer += await asyncio.wait_for(reader.read(65536), pause)
            except TimeoutError:
                pass
            if answer:
                break
            writer.write(part)
            await writer.drain()
        async with asyncio.timeout(timeout):
            while chunk := await reader.read(65536):
                answer += chunk
        return answer, True
    except TimeoutError:
        return answer, False
    finally:
        writer.close()


def post_head(path: str, length: int, *more: str) -> bytes:
    lines = [f"POST {path} HTTP/1.1", "Host: 127.0.0.1", "Content-Type: application/json",
             f"Content-Length: {length}", *more]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


class TestBadInput:
    @pytest.mark.parametrize("body", [
        "[" * 1900 + "]" * 1900,
        "[" * 2000 + "]" * 2000,
        '{"mode": "bot", "depth": ' + "[" * 1900 + "]" * 1900 + "}",
    ])
    async def test_deep_json_is_refused(self, client: Any, body: str) -> None:
        made = await create(client, mode="humans")
        for path in ("/api/rooms", f"/api/rooms/{made['room']}/moves"):
            response = await client.post(path, data=body, headers=JSON)
            assert response.status == 400, path
            assert (await response.json())["error"]

    async def test_a_body_that_does_not_decode(self, client: Any,
                                               caplog: pytest.LogCaptureFixture) -> None:
        body = b'{"mode": "humans"}'
        answer, closed = await raw_exchange(
            client, post_head("/api/rooms", len(body), "Content-Encoding: gzip") + body)
        assert answer.startswith(b"HTTP/1.1 400 "), answer[:200]
        assert b'{"error": "the body cannot be decoded", "code": "body_not_decoded"}' in answer \
            and closed
        compressed = gzip.compress(b'{"mode": "humans"}')
        response = await client.post("/api/rooms", data=compressed, headers={
            "Content-Encoding": "gzip", "Content-Type": "application/json"})
        assert response.status == 201    # one that does decode is read as it says
        assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []

    def test_a_client_hanging_up_is_no_error(self, tmp_path: Path) -> None:
        """On a real server: a client that hangs up in the middle of its body leaves the
        access log's line and nothing else (it used to leave an error and a traceback,
        1.5 KB a request)."""
        server = ServerProcess(tmp_path / "rooms.db")
        host, port = server.url.removeprefix("http://").split(":")

        async def hang_up(path: str) -> None:
            reader, writer = await asyncio.open_connection(host, int(port))
            writer.write(post_head(path, 100) + b'{"mode"')
            await writer.drain()
            await asyncio.sleep(0.3)    # the handler is reading the body by now
            writer.close()

        async def hang_ups() -> None:
            async with aiohttp.ClientSession(server.url) as session:
                async with session.post("/api/rooms", json={"mode": "humans"}) as response:
                    room = (await response.json())["room"]
                paths = ["/api/rooms", f"/api/rooms/{room}/moves", f"/api/rooms/{room}/join"]
                for _ in range(4):
                    await asyncio.gather(*(hang_up(path) for path in paths * 10))
                async with session.get(f"/api/rooms/{room}") as response:
                    assert (await response.json())["version"] == 0

        try:
            asyncio.run(asyncio.wait_for(hang_ups(), 60))
            deadline = time.monotonic() + 10
            while server.log.read_text().count('HTTP/1.1" 400 ') < 120:
                assert time.monotonic() < deadline, server.log.read_text()[-2000:]
                time.sleep(0.05)
        finally:
            server.stop()
        lines = server.log.read_text().splitlines()
        assert [line for line in lines if "aiohttp.access" not in line
                and not line.startswith("varno-serve")] == [], lines[-20:]


    async def test_a_body_trickled_slower_than_idle_seconds(self, start: Any) -> None:
        client = await start(idle_seconds=0.5)
        # A byte every tenth of a second, three of the forty promised, then nothing: the
        # server gives up half a second after it started reading.
        answer, closed = await raw_exchange(
            client, post_head("/api/rooms", 40), (b" ",) * 3, pause=0.1, timeout=5)
        assert answer.startswith(b"HTTP/1.1 408 "), answer[:200]
        assert b"the body did not arrive within 0.5 s" in answer and closed

    async def test_every_response_carries_the_safety_headers(self, start: Any) -> None:
        client = await start(request_burst=30, requests_per_second=0.01)
        made = await create(client, mode="humans")
        room = made["room"]
        requests: list[tuple[str, str, dict[str, Any], int]] = [
            ("GET", "/", {}, 200),
            ("GET", f"/rooms/{room}", {}, 200),
            ("GET", "/rooms/nosuchroom", {}, 404),
            ("GET", "/static/app.js", {}, 200),
            ("GET", "/static/nothing.js", {}, 404),
            ("GET", "/nothing", {}, 404),
            ("POST", "/", {}, 405),
            ("GET", f"/api/rooms/{room}", {}, 200),
            ("GET", "/api/rooms/nosuchroom", {}, 404),
            ("PUT", "/api/rooms", {}, 405),
            ("DELETE", f"/api/rooms/{room}", {}, 405),
            ("POST", "/api/rooms", {"data": "x", "headers": JSON}, 400),
            ("POST", f"/api/rooms/{room}/moves", {"json": {"move": "A1", "token": "x"}}, 403),
            ("POST", f"/api/rooms/{room}/moves",
             {"data": "x" * 5000, "headers": JSON}, 413),
        ]
        for method, path, options, status in requests:
            async with client.request(method, path, **options) as response:
                assert response.status == status, (method, path)
                for name, value in SAFETY_HEADERS.items():
                    assert response.headers.get(name) == value, (method, path, name)
                if status == 405:
                    assert response.headers["Allow"], (method, path)
        while (response := await client.get("/api/rooms")).status != 429:
            pass
        assert response.headers["Content-Security-Policy"] == SAFETY_HEADERS[
            "Content-Security-Policy"]


class TestTheDatabaseFile:
    @pytest.mark.parametrize("umask", [0o022, 0o000])
    async def test_it_and_its_journal_files_are_the_owners_alone(
            self, tmp_path: Path, umask: int) -> None:
        db = tmp_path / "rooms.db"
        old = os.umask(umask)
        try:
            store = SqliteRoomStore(db)
            room, _, _ = Room.for_humans("r1")
            await store.create(room.to_stored())
            files = [db, db.with_name("rooms.db-wal"), db.with_name("rooms.db-shm")]
            assert all(path.exists() for path in files)
            assert {path.name: stat.S_IMODE(path.stat().st_mode) for path in files} == {
                path.name: 0o600 for path in files}
            await store.close()
        finally:
            os.umask(old)

    async def test_a_file_others_may_read_is_left_as_it_is_with_a_warning(
            self, tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
        db = tmp_path / "rooms.db"
        db.touch(mode=0o644)
        db.chmod(0o644)
        store = SqliteRoomStore(db)
        await store.close()
        assert stat.S_IMODE(db.stat().st_mode) == 0o644
        assert "may be read by other users (mode 644)" in caplog.text
