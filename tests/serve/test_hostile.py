"""What an anonymous client on the open internet may try, and what the server does about
it: made-up room identifiers, floods from one address over many connections, bodies
that are not what they claim, clients that hang up, the database file's permissions."""

from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any

import aiohttp
from serve_helpers import ServerProcess, create

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
            response = await session.post(f"/api/rooms/{room}/join")
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
    """Joins of, and moves in, ``count`` rooms of made-up 8 KB identifiers: each a 404."""
    for n in range(start, start + count):
        room = f"{n:08d}" + "z" * 7992
        if n % 2:
            response = await session.post(f"/api/rooms/{room}/join")
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
        # (its 8 KB key among it): some 40 MiB here.
        assert after - before < 8 * 1024, (before, after)
