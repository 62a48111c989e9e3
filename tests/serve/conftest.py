"""Fixtures of the varno-serve tests: an in-process server on a loopback port."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("aiohttp")
import pytest_asyncio  # noqa: E402

from serve_helpers import LOOPBACK, make_server  # noqa: E402
from varno_serve.app import make_app  # noqa: E402


@pytest_asyncio.fixture
async def start(aiohttp_client: Any, tmp_path: Path) -> Any:
    """``await start(**options)``: a server on a fresh database and a client of it."""

    async def starting(db: Path | None = None, **options: Any) -> Any:
        # Scripted clients move far faster than people: no rate limit unless asked.
        options.setdefault("rate_burst", 1_000_000)
        server = make_server(db or tmp_path / "rooms.db", **options)
        client = await aiohttp_client(make_app(server), server_kwargs={"host": LOOPBACK})
        client.varno = server
        return client

    return starting


@pytest_asyncio.fixture
async def client(start: Any) -> Any:
    return await start()
