"""What a real varno-serve process writes about the requests it gets, read from its log:
over-long request lines and headers are refused by the parser (400) with no traceback,
and the access log keeps a bounded part of what a client chose (path, Referer,
User-Agent), so that the log grows by a short line a request whatever is sent."""

from __future__ import annotations

import asyncio
import time
from collections import Counter
from pathlib import Path
from typing import Any

import aiohttp
from serve_helpers import ServerProcess
from varno_serve.web.logs import LOGGED_CHARACTERS

REQUESTS = 200  # of each kind
WITHIN = 3000   # characters of a room identifier the request line has room for
# The longest an access log line may be: its time, address, status, size and the
# bounded parts, each of at most LOGGED_CHARACTERS and a count of what was cut.
LONGEST_LINE = 4 * LOGGED_CHARACTERS + 200


def settled_size(log: Path, lines: int) -> int:
    """The log's size once it has at least ``lines`` access lines (10 s at most)."""
    deadline = time.monotonic() + 10
    while log.read_text().count("aiohttp.access") < lines:
        assert time.monotonic() < deadline, log.read_text()[-2000:]
        time.sleep(0.05)
    return log.stat().st_size


async def send_long_requests(url: str) -> Counter[str]:
    """Requests whose path or headers are long: what each got, by kind."""
    seen: Counter[str] = Counter()
    async with aiohttp.ClientSession(url) as session:

        async def ask(kind: str, method: str, path: str, **options: Any) -> None:
            try:
                async with session.request(method, path, **options) as response:
                    await response.read()
                    seen[f"{kind} {response.status}"] += 1
            except aiohttp.ClientError:
                # Refused before its request was all sent: the server may have closed first.
                seen[f"{kind} cut"] += 1

        for n in range(REQUESTS):
            # 8 KB identifiers: over the request line's limit.
            room = f"{n:08d}" + "z" * 7992
            if n % 2:
                await ask("over", "POST", f"/api/rooms/{room}/join", json={})
            else:
                await ask("over", "GET", f"/api/rooms/{room}")
            # 3 KB identifiers: within it, a 404 logged with its path cut short.
            await ask("within", "GET", f"/api/rooms/{n:08d}" + "y" * (WITHIN - 8))
            # Long headers the access log writes: cut short as well.
            await ask("headers", "GET", "/api/rooms", headers={
                "User-Agent": "u" * 7000, "Referer": "r\"" * 3000})
            # A header over its limit: refused like an over-long line.
            await ask("field", "GET", "/api/rooms", headers={"X-Long": "x" * 9000})
        async with session.get("/api/rooms") as response:
            seen[f"after {response.status}"] += 1
    return seen


def test_the_log_stays_small_under_long_requests(tmp_path: Path) -> None:
    server = ServerProcess(tmp_path / "rooms.db")
    try:
        before = settled_size(server.log, 0)
        seen = asyncio.run(asyncio.wait_for(send_long_requests(server.url), 120))
        after = settled_size(server.log, 4 * REQUESTS + 1 - seen["over cut"] - seen["field cut"])
    finally:
        server.stop()
    assert seen["over 400"] + seen["over cut"] == REQUESTS and seen["over 400"], seen
    assert seen["field 400"] + seen["field cut"] == REQUESTS, seen
    assert seen["within 404"] == REQUESTS and seen["headers 200"] == REQUESTS, seen
    assert seen["after 200"] == 1, seen

    text = server.log.read_text()
    lines = text.splitlines()
    assert "Traceback" not in text and "Error handling request" not in text
    assert max(len(line) for line in lines) <= LONGEST_LINE, max(lines, key=len)[:300]
    # Some 4 x 200 requests of 3 to 9 KB each (about 4 MB) added a short line each.
    assert after - before < 4 * REQUESTS * 300, after - before
    cut = [line for line in lines if "/api/rooms/00000001yyy" in line]
    more = len("/api/rooms/") + WITHIN - LOGGED_CHARACTERS
    assert len(cut) == 1 and f'...(+{more}) HTTP/1.1" 404 ' in cut[0], cut
    agent = next(line for line in lines if '"uuu' in line)
    assert f'"{"u" * LOGGED_CHARACTERS}...(+{7000 - LOGGED_CHARACTERS})"' in agent
    assert '"r\\"r\\"r' in agent   # quotes escaped: the fields stay apart


def test_behind_a_trusted_proxy_the_log_names_the_client(tmp_path: Path) -> None:
    server = ServerProcess(tmp_path / "rooms.db", options=["--trusted-proxy", "127.0.0.1"])

    async def ask() -> None:
        async with aiohttp.ClientSession(server.url) as session:
            # The proxy appends the address it was connected from; what the client
            # wrote before it is its own to forge and is not believed.
            async with session.get("/api/rooms", headers={
                    "X-Forwarded-For": "198.51.100.7, 203.0.113.9"}) as response:
                assert response.status == 200

    try:
        asyncio.run(asyncio.wait_for(ask(), 30))
        settled_size(server.log, 1)
    finally:
        server.stop()
    line = next(line for line in server.log.read_text().splitlines() if "aiohttp.access" in line)
    assert ' 203.0.113.9 via 127.0.0.1 "GET /api/rooms HTTP/1.1" 200 ' in line, line
