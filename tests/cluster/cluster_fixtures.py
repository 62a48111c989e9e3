"""Fixtures of the whole-cluster tests: one server process on SQLite beside the session's
cluster (``conftest.py``), and a client of either that speaks the API.

A test module takes the fixtures it uses by importing them from here.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("psycopg")
pytest.importorskip("redis")
import aiohttp  # noqa: E402
import pytest_asyncio  # noqa: E402
from cluster_services import Cluster  # noqa: E402
from serve_helpers import ServerProcess  # noqa: E402


@pytest.fixture(params=["one process", "cluster"])
def site(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[str]:
    """The URL of one ``varno-serve`` on SQLite with its own bot workers, or of the
    cluster through HAProxy: the API must not tell them apart."""
    if request.param == "cluster":
        cluster: Cluster = request.getfixturevalue("cluster")
        assert cluster.start()["url"] == cluster.url      # every part up
        yield cluster.url
        return
    server = ServerProcess(tmp_path / "rooms.db", workers=1)
    try:
        yield server.url
    finally:
        server.stop()


class Api:
    """A client of the API at one URL: each call the status and the JSON answer."""

    def __init__(self, session: aiohttp.ClientSession) -> None:
        self.session = session

    async def call(self, method: str, path: str, body: Any = None,
                   **options: Any) -> tuple[int, Any]:
        async with self.session.request(method, path, json=body, **options) as response:
            text = await response.text()
            try:
                return response.status, (await response.json(content_type=None)) if text \
                    else None
            except ValueError:
                return response.status, text

    async def ok(self, method: str, path: str, body: Any = None) -> Any:
        status, answer = await self.call(method, path, body)
        assert status in (200, 201), (method, path, status, answer)
        return answer

    async def state(self, room: str) -> dict[str, Any]:
        found: dict[str, Any] = await self.ok("GET", f"/api/rooms/{room}")
        return found

    async def humans(self) -> tuple[str, dict[str, str]]:
        """A room for two with both seats taken: its id and the seats' secrets."""
        made = await self.ok("POST", "/api/rooms", {"mode": "humans"})
        joined = await self.ok("POST", f"/api/rooms/{made['room']}/join",
                               {"invite": made["invite"]})
        return made["room"], {made["seat"]: made["token"], joined["seat"]: joined["token"]}

    async def move(self, room: str, token: str, move: str) -> tuple[int, Any]:
        return await self.call("POST", f"/api/rooms/{room}/moves",
                               {"move": move, "token": token})


@pytest_asyncio.fixture
async def api(site: str) -> AsyncIterator[Api]:
    async with aiohttp.ClientSession(site) as session:
        yield Api(session)
